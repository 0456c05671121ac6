#include "script/CustomScript.h"

#include "base/QdfException.h"

namespace qdf {

// ---- words ----------------------------------------------------------------------

TvNode* TCustomScriptWord::BuildNode(TCustomScript& /*script*/, TParseItem*& /*item*/,
                                     TvNodeArray& stack) {
  return stack.empty() ? nullptr : stack.back().get();
}

TvNode* TObjectVarWord::BuildNode(TCustomScript& /*script*/, TParseItem*& /*item*/,
                                  TvNodeArray& stack) {
  const TNodeClass* cls = NodeClass();
  if (cls == nullptr || cls->create == nullptr || !cls->InheritsFrom(TvObjectNode::kClass)) {
    throw Exception(Format("Object word %s needs an object node class", Name().c_str()));
  }
  std::unique_ptr<TvNode> node(cls->create());
  static_cast<TvObjectNode*>(node.get())->SetObject(object_);
  stack.push_back(std::move(node));
  return stack.back().get();
}

// ---- script -----------------------------------------------------------------------

TCustomScript::TCustomScript() { RegisterSystemArithmetic(); }

TCustomScript::~TCustomScript() {
  result_node_.reset();
  books_.clear();
}

TScriptWord* TCustomScript::UnknownWord(const std::string& name) {
  for (auto it = books_.rbegin(); it != books_.rend(); ++it) {
    const TScriptBook* book = it->second.get();
    if (!book->Enabled()) continue;
    if (TScriptWord* word = book->FindWord(name)) return word;
  }
  return TBasicScript::UnknownWord(name);
}

bool TCustomScript::ResolveMember(TScriptWord& /*member_word*/, const char*& pos) {
  TParserResultList* list = Receiver();
  TParseItem* last = list != nullptr ? list->Tail() : nullptr;
  if (last == nullptr || last->info.word == nullptr || !last->info.word->MemberResolver())
    return false;
  const char* p = pos;
  TToken token;
  if (!ScanToken(p, token)) return false;
  TScriptWord* member = last->info.word->MemberResolver()(token.text);
  if (member == nullptr) return false;
  BindItem(last, member);
  last->info.text = token.text;
  pos = p;
  return true;
}

void TCustomScript::UseBook(std::string_view name, std::unique_ptr<TScriptBook> book) {
  std::string key(name);
  if (!book) {
    books_.erase(key);
    return;
  }
  auto it = books_.find(key);
  if (it != books_.end()) {
    it->second = std::move(book);
  } else {
    books_.emplace(std::move(key), std::move(book));
  }
}

std::unique_ptr<TScriptBook> TCustomScript::ReleaseBook(std::string_view name) {
  auto it = books_.find(std::string(name));
  if (it == books_.end()) return nullptr;
  std::unique_ptr<TScriptBook> book = std::move(it->second);
  books_.erase(it);
  return book;
}

TScriptBook* TCustomScript::ExternalBook(std::string_view name) const {
  auto it = books_.find(std::string(name));
  return it != books_.end() ? it->second.get() : nullptr;
}

std::unique_ptr<TvNode> TCustomScript::BuildValue(const TParseItem& item) const {
  const TWordInfo& info = item.info;
  const bool by_ref = (info.type & kTypeByRef) != 0;
  switch (info.type & kTypeMask) {
    case kTypeToken:
      return NewStringLiteral(info.text);
    case kTypeInteger:
      return by_ref ? NewIntVar(static_cast<const int32_t*>(info.value.ref))
                    : NewIntLiteral(info.value.i);
    case kTypeDouble:
    case kTypeDateTime:
      return by_ref ? NewDoubleVar(static_cast<const double*>(info.value.ref))
                    : NewDoubleLiteral(info.value.d);
    case kTypeBoolean:
      if (!by_ref) return NewBoolLiteral(info.value.b);
      break;
    case kTypeString:
    case kTypePChar:
      return by_ref ? NewStringVar(static_cast<const std::string*>(info.value.ref))
                    : NewStringLiteral(info.text);
    case kTypeInt64:
      if (!by_ref) return NewInt64Literal(info.value.i64);
      break;
    case kTypeNullVar:
      return NewVariantLiteral(TVariant());
    default:
      break;
  }
  throw Exception(Format("%s has no value of its own", Describe(item).c_str()));
}

TScriptType TCustomScript::Compile(TParseItem* first) {
  result_node_.reset();
  if (first == nullptr && Receiver() != nullptr) first = Receiver()->Head();
  TParseItem* item = Parse(first);

  TvNodeArray stack;
  TScriptType type = kTypeNull;
  for (; item != nullptr; item = item->output_link) {
    type = item->info.type;
    TScriptWord* word = item->info.word;
    if (auto* custom = dynamic_cast<TCustomScriptWord*>(word)) {
      custom->BuildNode(*this, item, stack);
      if (item == nullptr) break;
      continue;
    }
    const uint16_t flags = item->info.flags;
    if (flags & kWfPair) continue;
    if ((flags & kWfOperation) == 0) {
      stack.push_back(BuildValue(*item));
      continue;
    }
    if (word == nullptr || word->NodeClass() == nullptr || (flags & kWfNoNode)) {
      continue;  // relabelling cast: the operand stays with its new type
    }
    size_t n = 0;
    for (TScriptType t : word->ArgTypes())
      if (t != kTypeNull) ++n;
    if (stack.size() < n) {
      throw Exception(Format("%s is missing an operand", Describe(*item).c_str()));
    }
    TvNodeArray args;
    args.reserve(n);
    for (size_t i = stack.size() - n; i < stack.size(); ++i) args.push_back(std::move(stack[i]));
    stack.resize(stack.size() - n);
    stack.push_back(CreateNode(*word->NodeClass(), std::move(args)));
  }
  if (stack.size() != 1) throw Exception("Expression does not yield one value");
  result_node_ = std::move(stack.back());
  return type & kTypeMask;
}

// ---- registration shorthands ------------------------------------------------------

TScriptWord* TCustomScript::AddBoolConst(TScriptWords* section, std::string_view name, bool value) {
  TScriptWord* w = AddWord(section, name, &TvBool::kClass, kWfLiteral, 0, {}, kTypeBoolean);
  w->Info().value.i64 = 0;
  w->Info().value.b = value;
  return w;
}

TScriptWord* TCustomScript::AddDoubleConst(TScriptWords* section, std::string_view name,
                                           double value) {
  TScriptWord* w = AddWord(section, name, &TvDouble::kClass, kWfLiteral, 0, {}, kTypeDouble);
  w->Info().value.d = value;
  return w;
}

TScriptWord* TCustomScript::AddIntConst(TScriptWords* section, std::string_view name,
                                        TScriptType type, int32_t value) {
  TScriptWord* w = AddWord(section, name, &TvInt::kClass, kWfLiteral, 0, {}, type);
  w->Info().value.i64 = 0;
  w->Info().value.i = value;
  return w;
}

TObjectVarWord* TCustomScript::AddObjectWord(TScriptWords* section, std::string_view name,
                                             TObject* object, TScriptType type,
                                             const TNodeClass* node_class) {
  auto word = std::make_unique<TObjectVarWord>(section);
  if (node_class != nullptr) word->SetNodeClass(node_class);
  word->SetObject(object);
  word->Info().flags = kWfLiteral;
  word->Info().type = type;
  TObjectVarWord* added = word.get();
  Book().AddWord(section, name, word.release());
  return added;
}

TScriptWord* TCustomScript::AddVariable(TScriptWords* section, std::string_view name,
                                        TScriptType type, const void* variable) {
  switch (type & kTypeMask) {
    case kTypeInteger:
    case kTypeDouble:
    case kTypeDateTime:
    case kTypeString:
    case kTypePChar:
      break;
    default:
      throw Exception(Format("No variables of type %s", TypeName(type).c_str()));
  }
  TScriptWord* w =
      AddWord(section, name, nullptr, kWfNamed, 0, {}, static_cast<TScriptType>(type | kTypeByRef));
  w->Info().value.ref = variable;
  return w;
}

}  // namespace qdf
