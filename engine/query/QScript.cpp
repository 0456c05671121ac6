#include "query/QScript.h"

#include "base/QdfException.h"
#include "object/PersistentObject.h"
#include "query/ClassExpr.h"
#include "query/FieldExpr.h"
#include "record/Field.h"
#include "record/ItemClass.h"
#include "script/NodesArith.h"
#include "script/NodesLogic.h"
#include "script/ScriptBook.h"
#include "script/ScriptParams.h"
#include "table/Table.h"

namespace qdf {

namespace {

constexpr const char* kFromBook = "FROM";
constexpr const char* kParamsBook = "PARAMS";
constexpr const char* kFromSection = "FROM_FIELDS";

// Adds a word made by the caller to `section` of its book.
template <typename W>
W* AddOwnWord(TScriptWords* section, std::string_view name, std::unique_ptr<W> word) {
  W* added = word.get();
  section->Book()->AddWord(section, name, word.release());
  return added;
}

}  // namespace

// ---- words ------------------------------------------------------------------------

TQFieldWord::TQFieldWord(TScriptWords* section, TQdfField* field)
    : TCustomScriptWord(section), field_(field) {
  Info().flags = kWfLiteral;
  Info().type = field->TypeCode();
}

TvNode* TQFieldWord::BuildNode(TCustomScript& /*script*/, TParseItem*& /*item*/,
                               TvNodeArray& stack) {
  stack.push_back(std::make_unique<TndField>(field_));
  return stack.back().get();
}

TQItemClassWord::TQItemClassWord(TScriptWords* section, TQdfItemClass* cls)
    : TObjectVarWord(section) {
  SetNodeClass(&TndItemClass::kClass);
  SetObject(cls);
  Info().flags = kWfLiteral;
  Info().type = kTypeItemClass;
  SetMemberResolver([this](const std::string& member) { return ResolveMember(member); });
}

TQdfItemClass* TQItemClassWord::Class() const { return static_cast<TQdfItemClass*>(Object()); }

TScriptWord* TQItemClassWord::ResolveMember(const std::string& member) {
  const std::string joined = Name() + "." + member;
  TScriptWords* section = Section();
  for (TScriptWord* w = section->Book()->ChainHead(joined); w != nullptr; w = w->Next()) {
    if (w->Section() == section) return w;
  }
  TQdfItemClass* cls = Class();
  if (cls == nullptr) return nullptr;
  if (TQdfField* field = cls->FieldByName(member)) {
    return AddOwnWord(section, joined, std::make_unique<TQFieldWord>(section, field));
  }
  TQdfItemClass* root = cls->RootClass() != nullptr ? cls->RootClass() : cls;
  TQdfItemClass* sub = root->ClassByName(member);
  if (sub != nullptr && cls->IsKindOfClass(sub)) {
    return AddOwnWord(section, joined, std::make_unique<TQItemClassWord>(section, sub));
  }
  return nullptr;
}

TQFieldCompareWord::TQFieldCompareWord(TScriptWords* section, uint8_t mask)
    : TCustomScriptWord(section), mask_(mask) {
  Info().flags = kWfOperator;
  Info().type = kTypeBoolean;
  Info().precedence = 4;
}

TvNode* TQFieldCompareWord::BuildNode(TCustomScript& script, TParseItem*& item,
                                      TvNodeArray& stack) {
  if (stack.size() < 2) {
    throw Exception(Format("%s is missing an operand", script.Describe(*item).c_str()));
  }
  std::unique_ptr<TvNode> value = std::move(stack.back());
  stack.pop_back();
  std::unique_ptr<TvNode> field = std::move(stack.back());
  stack.pop_back();
  stack.push_back(NewFieldComparison(std::move(field), std::move(value), mask_));
  return stack.back().get();
}

// ---- the script -------------------------------------------------------------------

TQScript::TQScript() { RegisterQueryArithmetic(); }

TQScript::~TQScript() {
  ClearFrom();
  spare_from_.reset();
}

TQFieldCompareWord* TQScript::AddCompare(TScriptWords* section, const char* name, uint8_t mask,
                                         TScriptType field_type, TScriptType value_type) {
  auto word = std::make_unique<TQFieldCompareWord>(section, mask);
  word->SetArgTypes({field_type, value_type});
  return AddOwnWord(section, name, std::move(word));
}

void TQScript::RegisterQueryArithmetic() {
  TScriptWords* q = AddSection("QUERY_ARITHMETIC");
  query_ = q;
  constexpr TScriptType I = kTypeInteger, D = kTypeDouble, B = kTypeBoolean, P = kTypePChar,
                        T = kTypeDateTime, V = kTypeVariant, L = kTypeInt64, N = kTypeNullVar,
                        K = kTypeToken, kClass = kTypeItemClass, kOid = kTypeObjectID,
                        kAny = kTypeAnyField, kUnknown = kTypeUnknownField;

  // Casts.
  AddCast(q, &TvCast::kClass, kOid, V, 2);
  AddCast(q, nullptr, kOid, L, 0);
  AddCast(q, nullptr, L, kOid, 0);
  AddCast(q, &TndItemClassOfProvider::kClass, kTypeItemProvider, kClass, 1);
  AddCast(q, &TiCast::kClass, kAny + I, I, 3);
  AddCast(q, &TdCast::kClass, kAny + D, D, 3);
  AddCast(q, &TdCast::kClass, kAny + T, T, 3);
  AddCast(q, &TsCast::kClass, kAny + P, P, 3);
  AddCast(q, &TbCast::kClass, kAny + B, B, 3);
  AddCast(q, &ToidCast::kClass, kAny + kOid, kOid, 3);
  AddCast(q, &TvCast::kClass, kAny, V, 4);
  for (TScriptType t : {66, 67, 71, 70, 68, 78, 79, 80, 81, 82, 83, 75}) {
    AddCast(q, nullptr, t, kAny, 0);
  }

  // Null tests, class test, texts, fields by name and through references.
  AddCompare(q, "=", kMaskEQ, kAny, N);
  AddCompare(q, "is", kMaskEQ, kAny, N);
  AddCompare(q, "<>", kMaskGT, kAny, N);
  AddCompare(q, "isnot", kMaskGT, kAny, N);
  AddWord(q, "is", &TbClassIs::kClass, 0, 4, {kClass, kClass}, B);
  AddFunction(q, "AsString", &TsFieldAsString::kClass, {kAny}, P);
  AddFunction(q, "ToString", &TsFieldAsString::kClass, {kAny}, P);
  AddFunction(q, "Field", &TfByName::kClass, {kClass, P}, kUnknown);
  AddWord(q, "::", &TfByName::kClass, 0, 255, {kClass, K}, kUnknown);
  AddFunction(q, "Ref", &TndFieldByObjectID::kClass, {kAny + kOid, P}, kUnknown);
  AddFunction(q, "Ref", &TndFieldByObjectID::kClass, {kUnknown, P}, kUnknown);
  AddFunction(q, "Ref", &TndItemClassByObjectID::kClass, {kAny + kOid}, kClass);
  AddFunction(q, "Ref", &TndItemClassByObjectID::kClass, {kUnknown}, kClass);
  AddWord(q, "::", &TndFieldByObjectID::kClass, 0, 255, {kAny + kOid, K}, kUnknown);
  AddWord(q, "::", &TndFieldByObjectID::kClass, 0, 255, {kUnknown, K}, kUnknown);

  // Field comparisons: for each value type the six with the typed field,
  // then the six with a field of unknown type. An exact signature costs
  // nothing, so "b >= 1000" on an integer field binds here, not to the system
  // operator (which would need a cost-3 cast of the field).
  struct Relation {
    const char* name;
    uint8_t mask;
  };
  static const Relation kRelations[] = {{"=", kMaskEQ},  {"<>", kMaskNEQ}, {"<=", kMaskLE},
                                        {">=", kMaskGE}, {"<", kMaskLT},   {">", kMaskGT}};
  for (TScriptType t : {I, D, T, P, B, kOid}) {
    for (const Relation& r : kRelations) AddCompare(q, r.name, r.mask, kAny + t, t);
    for (const Relation& r : kRelations) AddCompare(q, r.name, r.mask, kUnknown, t);
  }
  AddWord(q, "like", &TsfLike::kClass, 0, 2, {kAny + P, P}, B);
}

void TQScript::AddClassWords(TScriptWords* section, TQdfItemClass* cls, TQdfItemClass* from) {
  if (from->IsKindOfClass(cls)) {
    AddOwnWord(section, cls->ObjectName(), std::make_unique<TQItemClassWord>(section, cls));
  }
  for (TQdfItemClass* sub : cls->Subclasses()) AddClassWords(section, sub, from);
}

void TQScript::SetFrom(TQdfItemClass* cls) {
  ClearFrom();
  if (cls == nullptr) return;
  const uint32_t epoch = ObjectTreeEpoch();
  if (spare_from_ && spare_class_ == cls && spare_epoch_ == epoch &&
      static_cast<int>(spare_fields_.size()) == cls->FieldCount()) {
    bool same = true;
    for (int i = 0; i < cls->FieldCount() && same; ++i) {
      same = spare_fields_[static_cast<size_t>(i)] == cls->FieldAt(i);
    }
    if (same) {
      UseBook(kFromBook, std::move(spare_from_));
      from_class_ = cls;
      from_epoch_ = epoch;
      return;
    }
  }
  spare_from_.reset();
  // A small name table (a class has a few dozen names at most).
  auto book = std::make_unique<TScriptBook>(this, 61);
  TScriptWords* s = book->AddSection(kFromSection);
  // "This": the cursor of the class's records.
  auto self = std::make_unique<TObjectVarWord>(s);
  self->SetNodeClass(&TndItemProvider::kClass);
  self->SetObject(cls);
  self->Info().flags = kWfLiteral;
  self->Info().type = kTypeItemProvider;
  AddOwnWord(s, "This", std::move(self));
  for (int i = 0; i < cls->FieldCount(); ++i) {
    TQdfField* field = cls->FieldAt(i);
    AddOwnWord(s, field->ObjectName(), std::make_unique<TQFieldWord>(s, field));
  }
  TQdfItemClass* root = cls->RootClass() != nullptr ? cls->RootClass() : cls;
  AddClassWords(s, root, cls);
  UseBook(kFromBook, std::move(book));
  from_class_ = cls;
  from_epoch_ = epoch;
}

void TQScript::ClearFrom() {
  std::unique_ptr<TScriptBook> book = ReleaseBook(kFromBook);
  if (book && from_class_ != nullptr && from_epoch_ == ObjectTreeEpoch()) {
    spare_from_ = std::move(book);
    spare_class_ = from_class_;
    spare_epoch_ = from_epoch_;
    spare_fields_.clear();
    for (int i = 0; i < from_class_->FieldCount(); ++i)
      spare_fields_.push_back(from_class_->FieldAt(i));
  }
  // Without a book in use the spare stays: SetFrom clears before it looks.
  from_class_ = nullptr;
}

TQScript& QueryScript() {
  static TQScript script;
  return script;
}

// ---- filters of tables ------------------------------------------------------------

std::unique_ptr<TvNode> CompileTableFilter(TQdfTable& table, const std::string& text,
                                           TQdfItemClass* cls) {
  return CompileTableFilter(table, text, cls, nullptr);
}

std::unique_ptr<TvNode> CompileTableFilter(TQdfTable& table, const std::string& text,
                                           TQdfItemClass* cls, const TScriptParams* params) {
  TQdfItemClass* from = cls != nullptr ? cls : table.ItemClass();
  if (from == nullptr) throw EQdfException("Table " + table.ObjectName() + " has no record class");
  TQScript& script = QueryScript();
  TFromScope scope(script, from);
  // The parameters' words, for this compile only.
  struct TParamsScope {
    TQScript& script;
    ~TParamsScope() { script.UseBook(kParamsBook, nullptr); }
  } params_scope{script};
  if (params != nullptr) script.UseBook(kParamsBook, params->Book(&script));
  script.Scan(text);
  const TScriptType type = script.Compile();
  std::unique_ptr<TvNode> filter = script.TakeResult();
  if (type != kTypeBoolean || !filter || filter->Kind() != kKindBool) {
    throw Exception("Filter is no boolean expression: " + text);
  }
  return filter;
}

}  // namespace qdf
