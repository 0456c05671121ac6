#include "query/IndexFilter.h"

#include <algorithm>
#include <vector>

#include "base/QdfException.h"
#include "record/DynamicKeyBuffer.h"
#include "record/Fields.h"
#include "record/IndexObject.h"
#include "record/ItemClass.h"
#include "script/NodesArith.h"
#include "storage/Storage.h"
#include "table/Index.h"
#include "table/Table.h"

namespace qdf {

QDF_DEFINE_NODE_CLASS(TbIndexFilter, TbAnd, "*b");

namespace {

constexpr const char* kInvalidFilter = "Invalid Filter Type";

// Whether a comparison of this kind can read and key a field of this type.
bool FitsKeyField(const TfComp* comparison, const TQdfField* key_field) {
  if (comparison == nullptr || key_field == nullptr) return false;
  const TNodeClass& cls = comparison->ClassInfo();
  if (&cls == &TifComp::kClass) return key_field->IsKindOf(TQdfIntegerField::kClassInfo);
  if (&cls == &TsfComp::kClass) return key_field->IsKindOf(TQdfCharField::kClassInfo);
  if (&cls == &TdfComp::kClass) return key_field->IsKindOf(TQdfFloatField::kClassInfo);
  if (&cls == &ToidfComp::kClass) return key_field->IsKindOf(TQdfObjectIDField::kClassInfo);
  return &cls == &TfComp::kClass;
}

inline const std::string& StrOf(const TvNode* n) { return static_cast<const TvString*>(n)->Str(); }

}  // namespace

// ---- TbIndexFilter ----------------------------------------------------------------

void TbIndexFilter::Append(std::unique_ptr<TfComp> comparison, TQdfField* key_field) {
  if (!FitsKeyField(comparison.get(), key_field)) throw EQdfException(kInvalidFilter);
  comparison->RebindField(key_field);
  AddOperand(std::move(comparison));
}

std::unique_ptr<TbIndexFilter> TbIndexFilter::Create(std::unique_ptr<TfComp> comparison,
                                                     TQdfField* key_field) {
  auto filter = std::make_unique<TbIndexFilter>();
  filter->Add(std::move(comparison), key_field);
  return filter;
}

void TbIndexFilter::Add(std::unique_ptr<TfComp> comparison, TQdfField* key_field) {
  // Key comparisons lead: a check appended before stays behind them.
  Append(std::move(comparison), key_field);
  if (static_cast<int>(args_.size()) - 1 != key_count_) {
    std::rotate(args_.begin() + key_count_, args_.end() - 1, args_.end());
  }
  ++key_count_;
}

void TbIndexFilter::AddCheck(std::unique_ptr<TfComp> comparison, TQdfField* key_field) {
  Append(std::move(comparison), key_field);
}

TfComp* TbIndexFilter::Comparison(int position) const {
  if (position < 0 || position >= Count()) return nullptr;
  TvNode* n = args_[static_cast<size_t>(position)].get();
  return n != nullptr && n->InheritsFrom(TfComp::kClass) ? static_cast<TfComp*>(n) : nullptr;
}

// ---- TQdfIndex::ApplyFilter -------------------------------------------------------

namespace {

// Sets key field `key` (in edit mode) to the comparison's value; false when
// the value keys as null (a null variant, the empty text, object ID 0).
bool StoreKeyValue(TfComp* comparison, TQdfField* key) {
  TvNode* v = comparison->ValueNode();
  EvaluateIfNeeded(v);
  const TNodeClass& cls = comparison->ClassInfo();
  if (&cls == &TifComp::kClass) {
    static_cast<TQdfIntegerField*>(key)->SetAsInteger(static_cast<TvInt*>(v)->Int());
  } else if (&cls == &TdfComp::kClass) {
    static_cast<TQdfFloatField*>(key)->SetAsFloat(static_cast<TvDouble*>(v)->Dbl());
  } else if (&cls == &TsfComp::kClass) {
    if (StrOf(v).empty()) return false;
    key->SetAsString(StrOf(v));
  } else if (&cls == &ToidfComp::kClass) {
    const int64_t id = Int64Of(v);
    if (id == 0) return false;
    static_cast<TQdfObjectIDField*>(key)->SetAsInt64(id);
  } else {
    TVariant value;
    OperandVariant(v, value);
    if (value.IsNull()) return false;
    key->SetAsVariant(value);
  }
  return !key->IsNull();
}

}  // namespace

int ApplyIndexFilter(TQdfIndex& index, TvNode* filter) {
  if (filter == nullptr || !filter->InheritsFrom(TbIndexFilter::kClass) || !index.Active()) {
    throw EQdfException(kInvalidFilter);
  }
  auto* f = static_cast<TbIndexFilter*>(filter);
  const std::vector<TQdfField*>& keys = index.KeyFields();
  const int n = f->KeyCount();
  if (n > static_cast<int>(keys.size())) throw EQdfException(kInvalidFilter);
  for (int i = 0; i < n; ++i) {
    TfComp* c = f->Comparison(i);
    if (c == nullptr || c->FieldNode()->Field() != keys[static_cast<size_t>(i)] ||
        !FitsKeyField(c, keys[static_cast<size_t>(i)])) {
      throw EQdfException(kInvalidFilter);
    }
  }
  index.Insert();  // every key field null, edit mode
  int count = 0;
  for (int i = 0; i < n; ++i) {
    if (StoreKeyValue(f->Comparison(i), keys[static_cast<size_t>(i)])) count = i + 1;
  }
  index.BuildSearchKey(count);
  return count;
}

// ---- the index choice -------------------------------------------------------------

namespace {

// A comparison of the filter that an index could take.
struct TTerm {
  size_t operand = 0;  // position in the conjunction
  TfComp* comparison = nullptr;
  TQdfField* field = nullptr;
  uint8_t mask = 0;
  // The value keys as null, or is not known before the walk.
  bool null_valued = false;
  // The relation agrees with the key order, so it may bound a range.
  bool ordered = false;
  bool moved = false;
};

// An index that may serve the walk: its key fields and the table field each
// is built from (nullptr when none, or when the types differ).
struct TCandidate {
  TQdfIndex* index = nullptr;
  const std::vector<TQdfField*>* keys = nullptr;
  std::vector<TQdfField*> sources;
  TQdfItemClass* covered = nullptr;
  bool FirstAscending() const { return !keys->empty() && (*keys)[0]->Ascending(); }
};

// Whether `value` (a constant) keys as null for a comparison of class `cls`.
bool KeysAsNull(const TNodeClass& cls, const TvNode* value) {
  if (value->InheritsFrom(TvNull::kClass)) return true;
  if (&cls == &TsfComp::kClass) return StrOf(value).empty();
  if (&cls == &ToidfComp::kClass) return Int64Of(value) == 0;
  if (&cls == &TfComp::kClass) {
    TVariant v;
    OperandVariant(value, v);
    return v.IsNull();
  }
  return false;
}

// The term for operand `i`, when it is a comparison of a bound field of the
// walked table with a value that does not read the table.
bool MakeTerm(TvNode* node, size_t i, const void* list, TTerm* term) {
  if (node == nullptr || !node->InheritsFrom(TfComp::kClass)) return false;
  auto* c = static_cast<TfComp*>(node);
  TndField* f = c->FieldNode();
  TvNode* v = c->ValueNode();
  if (f == nullptr || v == nullptr || !f->IsBound() || f->Field() == nullptr) return false;
  if (!f->RefersTo(list) || v->RefersTo(list)) return false;
  const TNodeClass& cls = c->ClassInfo();
  term->operand = i;
  term->comparison = c;
  term->field = f->Field();
  term->mask = c->Mask();
  // A parameter's value is as good as a constant for one walk: the choice
  // takes its current value, and whoever binds a value that changes what
  // KeysAsNull or the length test below say must choose again
  // (TQdfPreparedFilter does).
  const bool fixed = v->FixedDuringWalk();
  if (fixed) EvaluateIfNeeded(v);
  term->null_valued = !fixed || KeysAsNull(cls, v);
  if (&cls == &TifComp::kClass || &cls == &TdfComp::kClass) {
    term->ordered = true;
  } else if (&cls == &TsfComp::kClass) {
    // A text too long for a key field matches no key; as a search key it
    // would raise instead.
    if (fixed && static_cast<int>(StrOf(v).size()) >= TDynamicKeyBuffer::kMaxFieldSize) {
      return false;
    }
    term->ordered = true;
  } else if (&cls == &TfComp::kClass) {
    // Through variants only booleans order as their stored bytes do.
    term->ordered = v->Kind() == kKindBool && term->field->IsKindOf(TQdfBooleanField::kClassInfo);
    if (!term->ordered && !term->null_valued) return false;
  }
  return true;
}

// Whether `term` may give the value of key field `j` of `candidate`.
bool GivesKey(const TTerm& term, const TCandidate& candidate, size_t j) {
  if (term.moved || candidate.sources[j] != term.field) return false;
  if (!FitsKeyField(term.comparison, (*candidate.keys)[j])) return false;
  // A null key value is dropped from the search key, which then starts at
  // the null keys: they come first only on an ascending field.
  if (term.null_valued) return j == 0 && (*candidate.keys)[j]->Ascending();
  return true;
}

// Whether `term` may bound a range on the first key field of `candidate`.
bool BoundsRange(const TTerm& term, const TCandidate& candidate) {
  return !term.moved && term.ordered && !term.null_valued && candidate.FirstAscending() &&
         !candidate.sources.empty() && candidate.sources[0] == term.field &&
         FitsKeyField(term.comparison, (*candidate.keys)[0]);
}

std::vector<TCandidate> Candidates(TQdfTable& table, TQdfItemClass* op_class, TQdfIndex* named) {
  std::vector<TCandidate> out;
  TQdfItemClass* root = table.ItemClass();
  if (root == nullptr) return out;
  std::vector<TQdfIndex*> indexes;
  if (named != nullptr) {
    indexes.push_back(named);
  } else {
    indexes = table.Indexes();
  }
  for (TQdfIndex* ix : indexes) {
    if (ix == nullptr || !ix->Active() || ix->Table() != &table) continue;
    TCandidate c;
    c.index = ix;
    c.keys = &ix->KeyFields();
    c.covered = root->ClassByName(ix->KeyClass()->IndexObjectHeader()->BaseObjectClass());
    if (c.covered == nullptr || !c.covered->IsKindOfClass(op_class)) continue;
    for (TQdfField* key : *c.keys) {
      TQdfField* source = c.covered->FieldByName(key->ObjectName());
      if (source != nullptr && source->ClassInfo() != key->ClassInfo()) source = nullptr;
      c.sources.push_back(source);
    }
    if (!c.sources.empty()) out.push_back(std::move(c));
  }
  return out;
}

}  // namespace

TIndexChoice ChooseIndex(std::unique_ptr<TvNode> filter, TQdfTable& table, TQdfItemClass* op_class,
                         TQdfIndex* named) {
  TIndexChoice choice;
  if (!filter) filter = NewBoolLiteral(true);
  if (op_class == nullptr) op_class = table.ItemClass();
  // Work on a conjunction; give the filter back unchanged when no index fits.
  const bool wrapped = &filter->ClassInfo() != &TbAnd::kClass;
  std::unique_ptr<TbAnd> all;
  if (wrapped) {
    all = TbAnd::Create(std::move(filter));
  } else {
    all.reset(static_cast<TbAnd*>(filter.release()));
  }
  auto give_back = [&]() {
    if (wrapped) {
      choice.remaining = std::move(all->Args()[0]);
    } else {
      choice.remaining = std::move(all);
    }
    return std::move(choice);
  };
  if (op_class == nullptr || all->IsConstant()) return give_back();

  const void* list = static_cast<const void*>(static_cast<TQdfItemList*>(&table));
  std::vector<TTerm> terms;
  TvNodeArray& args = all->Args();
  for (size_t i = 0; i < args.size(); ++i) {
    TTerm t;
    if (MakeTerm(args[i].get(), i, list, &t)) terms.push_back(t);
  }
  if (terms.empty()) return give_back();

  auto take = [&](TTerm& t) {
    t.moved = true;
    return std::unique_ptr<TfComp>(static_cast<TfComp*>(args[t.operand].release()));
  };

  // Equality: the object ID first.
  auto* storage = dynamic_cast<TQdfStorage*>(table.Storage());
  TQdfIndex* id_index = storage != nullptr ? storage->IDIndex() : nullptr;
  for (TTerm& t : terms) {
    if (t.mask != kMaskEQ || t.field != op_class->ThisIDField()) continue;
    if (id_index == nullptr || !id_index->Active() || id_index->KeyFields().empty()) break;
    TQdfField* key = id_index->KeyFields()[0];
    if (t.null_valued || &t.comparison->ClassInfo() != &ToidfComp::kClass ||
        !FitsKeyField(t.comparison, key)) {
      break;
    }
    choice.index = id_index;
    choice.object_id = true;
    choice.relation = TIndexRelation::kEqual;
    choice.index_filter = TbIndexFilter::Create(take(t), key);
    break;
  }

  std::vector<TCandidate> candidates;
  if (choice.index == nullptr) candidates = Candidates(table, op_class, named);

  // Equality on the leading key fields: the most of them wins.
  if (choice.index == nullptr) {
    const TCandidate* best = nullptr;
    std::vector<TTerm*> best_terms;
    for (const TCandidate& c : candidates) {
      std::vector<TTerm*> used;
      for (size_t j = 0; j < c.sources.size(); ++j) {
        TTerm* found = nullptr;
        for (TTerm& t : terms) {
          if (t.mask != kMaskEQ || !GivesKey(t, c, j)) continue;
          bool taken = false;
          for (TTerm* u : used) taken = taken || u == &t;
          if (!taken) {
            found = &t;
            break;
          }
        }
        if (found == nullptr) break;
        used.push_back(found);
      }
      if (!used.empty() && used.size() > best_terms.size()) {
        best = &c;
        best_terms = std::move(used);
      }
    }
    if (best != nullptr) {
      choice.index = best->index;
      choice.relation = TIndexRelation::kEqual;
      choice.check_class = best->covered != op_class;
      for (size_t j = 0; j < best_terms.size(); ++j) {
        TQdfField* key = (*best->keys)[j];
        if (j == 0) {
          choice.index_filter = TbIndexFilter::Create(take(*best_terms[j]), key);
        } else {
          choice.index_filter->Add(take(*best_terms[j]), key);
        }
      }
    }
  }

  // A lower bound, then an upper bound alone.
  for (const bool lower : {true, false}) {
    if (choice.index != nullptr) break;
    const uint8_t bit = lower ? kMaskGT : kMaskLT;
    for (TTerm& t : terms) {
      if (t.mask == kMaskNEQ || (t.mask & bit) == 0) continue;
      const TCandidate* hit = nullptr;
      for (const TCandidate& c : candidates) {
        if (BoundsRange(t, c)) {
          hit = &c;
          break;
        }
      }
      if (hit == nullptr) continue;
      TQdfField* key = (*hit->keys)[0];
      choice.index = hit->index;
      choice.relation = lower ? TIndexRelation::kLower : TIndexRelation::kUpper;
      choice.bound_mask = t.mask;
      choice.check_class = hit->covered != op_class;
      choice.index_filter = TbIndexFilter::Create(take(t), key);
      if (lower) {
        // The matching upper bound ends the walk; it is no search key.
        for (TTerm& u : terms) {
          if (u.mask == kMaskNEQ || (u.mask & kMaskLT) == 0 || !BoundsRange(u, *hit)) continue;
          choice.index_filter->AddCheck(take(u), key);
          break;
        }
      }
      break;
    }
  }

  if (choice.index == nullptr) return give_back();
  // What was moved leaves a hole; the conjunction drops it and constant trues.
  std::unique_ptr<TvNode> replacement = all->Optimize();
  if (replacement) {
    choice.remaining = std::move(replacement);
  } else if (all->ArgCount() == 1) {
    choice.remaining = std::move(all->Args()[0]);
  } else {
    choice.remaining = std::move(all);
  }
  return choice;
}

double EstimateRangeShare(TIndexChoice& choice) {
  QDF_ASSERT(choice.index != nullptr && !choice.object_id && choice.index_filter != nullptr,
             "QdfExpr");
  TQdfIndex* ix = choice.index;
  TbIndexFilter* f = choice.index_filter.get();
  if (ix->ApplyFilter(f) == 0) {
    ix->Cancel();
    return 0.0;
  }
  const std::vector<uint8_t> key(ix->KeyBuffer().Key(),
                                 ix->KeyBuffer().Key() + ix->KeyBuffer().Size());
  ix->Cancel();
  const bool with_equal = (choice.bound_mask & kMaskEQ) != 0;
  double low = 0.0;
  double high = 1.0;
  switch (choice.relation) {
    case TIndexRelation::kEqual:
      low = ix->EstimatePosition(key.data(), false);
      high = ix->EstimatePosition(key.data(), true);
      break;
    case TIndexRelation::kLower:
      low = ix->EstimatePosition(key.data(), !with_equal);
      if (f->Count() > f->KeyCount()) {
        // The upper bound that ends the walk.
        TfComp* check = f->Comparison(f->KeyCount());
        ix->Insert();
        if (check != nullptr && StoreKeyValue(check, ix->KeyFields()[0])) {
          ix->BuildSearchKey(1);
          high = ix->EstimatePosition(ix->KeyBuffer().Key(), (check->Mask() & kMaskEQ) != 0);
        }
        ix->Cancel();
      }
      break;
    case TIndexRelation::kUpper:
      high = ix->EstimatePosition(key.data(), with_equal);
      break;
  }
  return std::max(0.0, high - low);
}

void PositionOnRange(TIndexChoice& choice, bool move_table) {
  QDF_ASSERT(choice.index != nullptr && !choice.object_id && choice.index_filter != nullptr,
             "QdfExpr");
  TQdfIndex* ix = choice.index;
  ix->ClearRange();
  ix->ApplyFilter(choice.index_filter.get());
  const bool with_equal = (choice.bound_mask & kMaskEQ) != 0;
  switch (choice.relation) {
    case TIndexRelation::kEqual:
      ix->GotoNearest(true, move_table);
      break;
    case TIndexRelation::kLower:
      if (with_equal) {
        ix->GotoNearest(true, move_table);
      } else {
        ix->GotoKey(false, move_table);
      }
      break;
    case TIndexRelation::kUpper:
      if (with_equal) {
        ix->GotoKey(true, move_table);
      } else {
        ix->GotoNearest(false, move_table);
      }
      break;
  }
}

}  // namespace qdf
