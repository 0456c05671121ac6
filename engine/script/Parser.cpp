// The operator-precedence parser of TBasicScript.
//
// Two states: the value state expects a value, possibly after prefix
// operators, opening pairs and function calls; the operator state expects a
// binary operator, a closing pair, a separator or a member access. An
// operator stack and a value-type stack drive the reductions; every
// reduction chooses the operation's overload by its operand types and wraps
// operands in cast items where the winner needs a conversion.
#include <vector>

#include "base/QdfException.h"
#include "script/BasicScript.h"

namespace qdf {

namespace {

// Deeper trees would make evaluation and destruction recurse too far.
constexpr int kMaxTreeDepth = 1000;

inline bool HasAll(const TParseItem* item, uint16_t bits) {
  return (item->info.flags & bits) == bits;
}
inline bool IsOpener(const TParseItem* item) { return HasAll(item, kWfOpener); }
// "(" as it opens an argument list: an opening pair of type TOKEN.
inline bool IsOpenParen(const TParseItem* item) {
  return IsOpener(item) && item->info.type == kTypeToken;
}
// A value bound to a word (constant, field, class word) that a TOKEN
// argument accepts by its name.
inline bool IsWordValue(const TParseItem* item) {
  return item->info.flags == kWfLiteral && item->info.word != nullptr;
}

}  // namespace

class TBasicScript::Parser {
 public:
  explicit Parser(TBasicScript& script)
      : s_(script), items_(script.receiver_ ? script.receiver_ : script.result_.get()) {}

  TParseItem* Run(TParseItem* first);

 private:
  // One entry of the value-type stack: the operand's type, the last output
  // item of its subexpression (casts go after it) and the depth of its tree.
  struct Value {
    TScriptType type;
    TParseItem* last;
    int depth;
  };

  [[noreturn]] void Fail(const std::string& message) { throw Exception(message); }
  std::string Describe(const TParseItem* item) const { return s_.Describe(*item); }

  void Output(TParseItem* item);
  void InsertAfter(TParseItem* pos, TParseItem* item);
  void PushValue(TParseItem* item, TScriptType type, int depth);
  // The first enabled, non-member form of the item's name whose prefix flag
  // is `prefix`, or null.
  TScriptWord* FindForm(const TParseItem* item, bool prefix) const;
  // Pushes a function and, when "(" follows, its argument list; returns the
  // item after them and whether an argument list was opened.
  TParseItem* PushCall(TParseItem* function, uint16_t receiver_args, bool* opened);
  void Reduce();
  void ReduceAll();
  void ClosePair(TParseItem* closer);
  // The cheapest enabled overload of op's name for the n operands, or null.
  TScriptWord* ChooseOverload(TParseItem* op, size_t n, const Value* operands) const;

  TBasicScript& s_;
  TParserResultList* items_;  // owner of the cast items
  std::vector<TParseItem*> ops_;
  std::vector<Value> vals_;
  TParseItem* out_head_ = nullptr;
  TParseItem* out_tail_ = nullptr;
};

TParseItem* TBasicScript::Parse(TParseItem* first) {
  if (!casts_valid_) BuildCastTable();
  Parser parser(*this);
  return parser.Run(first);
}

void TBasicScript::Parser::Output(TParseItem* item) {
  item->output_link = nullptr;
  if (out_tail_ != nullptr) {
    out_tail_->output_link = item;
  } else {
    out_head_ = item;
  }
  out_tail_ = item;
}

void TBasicScript::Parser::InsertAfter(TParseItem* pos, TParseItem* item) {
  item->output_link = pos->output_link;
  pos->output_link = item;
  if (out_tail_ == pos) out_tail_ = item;
}

void TBasicScript::Parser::PushValue(TParseItem* item, TScriptType type, int depth) {
  if (depth > kMaxTreeDepth) Fail("Expression too deeply nested");
  vals_.push_back({static_cast<TScriptType>(type & kTypeMask), item, depth});
}

TScriptWord* TBasicScript::Parser::FindForm(const TParseItem* item, bool prefix) const {
  const TScriptWord* word = item->info.word;
  if (word == nullptr) return nullptr;
  for (TScriptWord* w = word->Book()->ChainHead(word->Name()); w != nullptr; w = w->Next()) {
    if (!w->Enabled() || (w->Flags() & kWfMember)) continue;
    if (((w->Flags() & kWfPrefix) != 0) == prefix) return w;
  }
  return nullptr;
}

TParseItem* TBasicScript::Parser::PushCall(TParseItem* function, uint16_t receiver_args,
                                           bool* opened) {
  function->arg_count = receiver_args;
  function->is_call = false;
  ops_.push_back(function);
  TParseItem* next = function->next;
  *opened = next != nullptr && IsOpenParen(next);
  if (!*opened) return next;
  next->arg_count = 0;
  next->is_call = true;
  ops_.push_back(next);
  return next->next;
}

TScriptWord* TBasicScript::Parser::ChooseOverload(TParseItem* op, size_t n,
                                                  const Value* operands) const {
  const TScriptWord* word = op->info.word;
  TScriptWord* best = nullptr;
  int32_t best_cost = 0;
  for (TScriptWord* w = word->Book()->ChainHead(word->Name()); w != nullptr; w = w->Next()) {
    // A candidate must declare exactly the operands present: a shorter one
    // would leave values behind, a longer one would read missing operands.
    if (!w->Enabled() || (w->Flags() & kWfMember) || w->ArgTypes().size() != n) continue;
    int32_t cost = 0;
    bool fits = true;
    for (size_t i = 0; i < n && fits; ++i) {
      const TScriptType wanted = w->ArgTypes()[i];
      const TScriptType given = operands[i].type;
      if (wanted == given) continue;
      if (wanted == kTypeToken && IsWordValue(operands[i].last)) continue;
      const TCastPath* path = s_.FindCast(given, wanted);
      if (path == nullptr) {
        fits = false;
      } else {
        cost += path->cost;
      }
    }
    if (!fits) continue;
    if (best == nullptr || cost < best_cost) {
      best = w;
      best_cost = cost;
      if (cost == 0) break;
    }
  }
  return best;
}

void TBasicScript::Parser::Reduce() {
  TParseItem* op = ops_.back();
  ops_.pop_back();
  if (IsOpener(op)) Fail("unmatched pair - right missing");
  const TScriptWord* word = op->info.word;
  const size_t n = (op->info.flags & kWfFunction) ? op->arg_count : word->ArgTypes().size();
  if (vals_.size() < n) Fail("Value expected");
  Value* operands = vals_.data() + (vals_.size() - n);

  TScriptWord* winner = ChooseOverload(op, n, operands);
  if (winner == nullptr) {
    std::string message = "could not find matching cast for " + Describe(op) + " presented types: ";
    for (size_t i = 0; i < n; ++i) {
      if (i > 0) message += ", ";
      message += Describe(operands[i].last);
    }
    Fail(message);
  }

  int depth = 0;
  for (size_t i = 0; i < n; ++i) {
    Value& operand = operands[i];
    const TScriptType wanted = winner->ArgTypes()[i];
    if (operand.depth > depth) depth = operand.depth;
    if (wanted == operand.type) continue;
    if (wanted == kTypeToken && IsWordValue(operand.last)) {
      // The word is passed by its name.
      TWordInfo& info = operand.last->info;
      info.text = info.word->Name();
      info.flags = kWfNamed;
      info.type = kTypeToken;
      info.word = nullptr;
      continue;
    }
    const TCastPath* path = s_.FindCast(operand.type, wanted);
    for (const TCastStep& step : path->steps) {
      TParseItem* cast = items_->NewItem();
      BindItem(cast, step.word);
      cast->info.type = step.to;
      InsertAfter(operand.last, cast);
      operand.last = cast;
    }
    const int cast_depth = operand.depth + static_cast<int>(path->steps.size());
    if (cast_depth > depth) depth = cast_depth;
  }
  op->info.word = winner;
  op->info.type = winner->ResultType();
  vals_.resize(vals_.size() - n);
  Output(op);
  PushValue(op, winner->ResultType(), depth + 1);
}

void TBasicScript::Parser::ReduceAll() {
  while (!ops_.empty()) Reduce();
}

void TBasicScript::Parser::ClosePair(TParseItem* closer) {
  while (!ops_.empty() && !IsOpener(ops_.back())) Reduce();
  if (ops_.empty()) Fail("unmatched pair - left missing");
  TParseItem* opener = ops_.back();
  ops_.pop_back();
  if (opener->info.type != closer->info.type) Fail("unmatched pair - left <> right");
  // Only an argument list sets its function's count; a grouping pair inside
  // an argument list leaves the enclosing count alone.
  if (opener->is_call) {
    TParseItem* function = ops_.back();
    function->arg_count = static_cast<uint16_t>(function->arg_count + opener->arg_count + 1);
  }
  // The pair's value is the last value inside it, already on the value stack.
  // The opener item itself stays as scanned, so the list can be parsed again.
}

TParseItem* TBasicScript::Parser::Run(TParseItem* first) {
  TParseItem* c = first;
  TParseItem* last_value = nullptr;
  for (;;) {
    // ---- value state ----
    while (c != nullptr && HasAll(c, kWfOperator)) {
      if (c->info.flags & kWfFunction) {
        bool opened;
        TParseItem* after = PushCall(c, 0, &opened);
        if (!opened) Fail("( expected after " + Describe(c));
        c = after;
        continue;
      }
      TScriptWord* form = FindForm(c, /*prefix=*/true);
      if (form == nullptr) Fail(Describe(c) + " does nor bind to right side");
      BindItem(c, form);
      c->arg_count = 0;
      c->is_call = false;
      ops_.push_back(c);
      c = c->next;
    }
    if (c == nullptr) Fail("Value expected");
    if ((c->info.flags & kWfValue) == 0) Fail("VALUE expected");
    Output(c);
    PushValue(c, c->info.type, 1);
    last_value = c;
    c = c->next;

    // ---- operator state ----
    for (;;) {
      while (c != nullptr && HasAll(c, kWfCloser)) {
        if (c->info.flags & kWfPair) {
          ClosePair(c);
        } else {
          // A postfix operation.
          TScriptWord* form = FindForm(c, /*prefix=*/false);
          if (form == nullptr) Fail("linke Seite falsch");
          while (!ops_.empty() && !IsOpener(ops_.back()) &&
                 ops_.back()->info.precedence >= form->Precedence())
            Reduce();
          BindItem(c, form);
          ops_.push_back(c);
          Reduce();
        }
        c = c->next;
      }
      if (c == nullptr) {
        ReduceAll();
        if (vals_.size() != 1) Fail("Operator expected");
        return out_head_;
      }
      const uint16_t flags = c->info.flags;
      if (flags & kWfSeparator) {
        while (!ops_.empty() && !(ops_.back()->info.flags & kWfPair)) Reduce();
        if (ops_.empty() || !IsOpener(ops_.back()) || !ops_.back()->is_call)
          Fail("Invalid delimiter: " + Describe(c));
        ++ops_.back()->arg_count;
        c = c->next;
        break;  // a value follows
      }
      if (flags & kWfMember) {
        // value.Function(args) calls Function(value, args).
        while (!ops_.empty() && !IsOpener(ops_.back()) &&
               ops_.back()->info.precedence >= c->info.precedence)
          Reduce();
        TParseItem* function = c->next;
        if (function == nullptr || !(function->info.flags & kWfFunction))
          Fail(Describe(c) + " no function call");
        bool opened;
        TParseItem* after = PushCall(function, 1, &opened);
        c = after;
        if (opened) break;  // arguments follow
        Reduce();
        continue;
      }
      if (HasAll(c, kWfOperator) && !(flags & kWfFunction)) {
        // The form with a left operand decides the precedence ("-" is listed
        // first as the prefix form).
        TScriptWord* form = FindForm(c, /*prefix=*/false);
        if (form != nullptr) {
          const uint16_t precedence = form->Precedence();
          while (!ops_.empty() && !IsOpener(ops_.back())) {
            const TParseItem* top = ops_.back();
            const bool reduce = (top->info.flags & kWfPrefix) ? top->info.precedence > precedence
                                                              : precedence <= top->info.precedence;
            if (!reduce) break;
            Reduce();
          }
          BindItem(c, form);
          c->arg_count = 0;
          c->is_call = false;
          ops_.push_back(c);
          if (c->next == nullptr) {
            Fail("Term " + Describe(last_value) + " " + Describe(c) +
                 " not complete, Value expected");
          }
          c = c->next;
          break;  // a value follows
        }
        if (!(flags & kWfPrefix)) Fail("linke Seite falsch");
      }
      Fail("Operator expected between " + Describe(last_value) + " and " + Describe(c));
    }
  }
}

}  // namespace qdf
