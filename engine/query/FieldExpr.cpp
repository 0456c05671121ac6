#include "query/FieldExpr.h"

#include <bit>
#include <cstring>

#include "base/Bytes.h"
#include "base/Helpers.h"
#include "base/QdfException.h"
#include "record/Field.h"
#include "record/Fields.h"
#include "script/NodesArith.h"

namespace qdf {

QDF_DEFINE_NODE_CLASS(TndField, TvNode, nullptr);
QDF_DEFINE_NODE_CLASS(TndNullField, TndField, nullptr);
QDF_DEFINE_NODE_CLASS(TfComp, TvBool, "o?");
QDF_DEFINE_NODE_CLASS(TifComp, TfComp, "oi");
QDF_DEFINE_NODE_CLASS(TsfComp, TfComp, "os");
QDF_DEFINE_NODE_CLASS(TdfComp, TfComp, "od");
QDF_DEFINE_NODE_CLASS(ToidfComp, TfComp, "ol");
QDF_DEFINE_NODE_CLASS(TsField, TvString, "o");
QDF_DEFINE_NODE_CLASS(TsFieldAsString, TvString, "o");
QDF_DEFINE_NODE_CLASS(TsfLike, TvBool, "os");
QDF_DEFINE_NODE_CLASS(TsfLikeNoOpt, TsfLike, "os");

namespace {

constexpr const char* kUnit = "QdfFieldExpr";

// The field operand of a node whose first operand must be a field node.
// Checked once when the node is built (CheckFieldOperand), so evaluation
// only casts.
inline TQdfField* FieldOperand(TvNode* node) {
  auto* f = static_cast<TndField*>(node);
  EvaluateIfNeeded(f);
  return f->Field();
}

void CheckFieldOperand(const TvNode* node, const char* cls) {
  if (node == nullptr || !node->InheritsFrom(TndField::kClass)) {
    throw Exception(Format("%s needs a field operand", cls));
  }
}

inline const std::string& StrArg(const TvNode* n) { return static_cast<const TvString*>(n)->Str(); }

}  // namespace

// ---- field nodes -----------------------------------------------------------------

TndField::TndField() {
  value_tag_ = 7;
  kind_ = kKindObject;
  SetNotFoldable();
}

TndField::TndField(TQdfField* field) : TndField() {
  field_ = field;
  bound_ = true;
  SetConstant(true);
}

std::unique_ptr<TvNode> TndField::ConstCopy() const {
  if (!bound_) return nullptr;
  return std::make_unique<TndField>(field_);
}

bool TndField::RefersTo(const void* item_list) const {
  if (field_ != nullptr && field_->Provider() != nullptr &&
      static_cast<const void*>(field_->Provider()->List()) == item_list) {
    return true;
  }
  return TvNode::RefersTo(item_list);
}

void TndField::GetVariant(TVariant& out) const {
  if (field_ == nullptr) {
    out.Clear();
    return;
  }
  out = field_->GetAsVariant();
}

TndNullField::TndNullField() {
  field_ = NullField();
  bound_ = true;
  SetConstant(true);
}

TQdfField* NullField() {
  // A field of no class and no cursor: every read gives null.
  static const std::unique_ptr<TQdfPersistentObject> field =
      TQdfPersistentObject::Create(TQdfField::kClassInfo, nullptr);
  return static_cast<TQdfField*>(field.get());
}

TndNullField& NullFieldNode() {
  static TndNullField node;
  return node;
}

std::string_view CharFieldText(TQdfField* field) {
  if (field == nullptr) return {};
  int length = 0;
  const uint8_t* data = field->GetData(&length);
  if (data == nullptr || length <= 0) return {};
  const void* zero = std::memchr(data, 0, static_cast<size_t>(length));
  const size_t n = zero != nullptr ? static_cast<size_t>(static_cast<const uint8_t*>(zero) - data)
                                   : static_cast<size_t>(length);
  return std::string_view(reinterpret_cast<const char*>(data), n);
}

// ---- comparisons ------------------------------------------------------------------

int CompareVariants(const TVariant& a, const TVariant& b) {
  auto is_integral = [](TVarType t) {
    return t == TVarType::kInteger || t == TVarType::kInt64 || t == TVarType::kBoolean;
  };
  if (a.IsString() && b.IsString()) {
    // std::string compares through char_traits<char>: unsigned bytes.
    const int c = a.RawString().compare(b.RawString());
    return c < 0 ? -1 : c > 0 ? 1 : 0;
  }
  if (is_integral(a.Type()) && is_integral(b.Type())) {
    const int64_t x = a.AsInt64();
    const int64_t y = b.AsInt64();
    return x < y ? -1 : x > y ? 1 : 0;
  }
  const double x = a.AsDouble();
  const double y = b.AsDouble();
  return x < y ? -1 : x > y ? 1 : 0;
}

void TfComp::RebindField(TQdfField* field) { args_[0] = std::make_unique<TndField>(field); }

void TfComp::Evaluate() {
  TQdfField* field = FieldOperand(args_[0].get());
  TvNode* v = args_[1].get();
  EvaluateIfNeeded(v);
  TVariant value;
  OperandVariant(v, value);
  if (v->InheritsFrom(TndField::kClass) &&
      (field == nullptr || field->IsNull() || value.IsNull())) {
    // Two fields: a null on either side fails every comparison, as a null
    // field fails the typed comparisons with a value.
    value_ = false;
    return;
  }
  if (field != nullptr && !field->IsNull()) {
    if (value.IsNull()) {
      value_ = mask_ == kMaskGT;  // "<> null" / "isnot null"
      return;
    }
    value_ = Result(CompareVariants(field->GetAsVariant(), value));
    return;
  }
  if (value.IsNull()) {
    value_ = mask_ == kMaskEQ;  // "= null" / "is null"
  } else if (value.IsString()) {
    // A null field is the empty text, below every other text.
    value_ = value.RawString().empty() ? mask_ == kMaskEQ : (mask_ & kMaskLT) != 0;
  } else {
    value_ = false;
  }
}

void TifComp::Evaluate() {
  TQdfField* field = FieldOperand(args_[0].get());
  TvNode* v = args_[1].get();
  EvaluateIfNeeded(v);
  int length = 0;
  const uint8_t* data = field != nullptr ? field->GetData(&length) : nullptr;
  if (data == nullptr || length <= 0) {
    value_ = false;
    return;
  }
  QDF_ASSERT(length == 4, kUnit);
  const int32_t x = static_cast<int32_t>(LoadU32(data));
  const int32_t y = static_cast<const TvInt*>(v)->Int();
  value_ = Result(x < y ? -1 : x > y ? 1 : 0);
}

void TdfComp::Evaluate() {
  TQdfField* field = FieldOperand(args_[0].get());
  TvNode* v = args_[1].get();
  EvaluateIfNeeded(v);
  int length = 0;
  const uint8_t* data = field != nullptr ? field->GetData(&length) : nullptr;
  if (data == nullptr || length <= 0) {
    value_ = false;
    return;
  }
  QDF_ASSERT(length == 8, kUnit);
  const double x = std::bit_cast<double>(LoadU64(data));
  const double y = static_cast<const TvDouble*>(v)->Dbl();
  // Unordered values compare equal, as the index key order has it.
  value_ = Result(x < y ? -1 : x > y ? 1 : 0);
}

void ToidfComp::Evaluate() {
  TQdfField* field = FieldOperand(args_[0].get());
  TvNode* v = args_[1].get();
  EvaluateIfNeeded(v);
  int length = 0;
  const uint8_t* data = field != nullptr ? field->GetData(&length) : nullptr;
  if (data == nullptr || length <= 0) {
    value_ = false;
    return;
  }
  QDF_ASSERT(length == 8, kUnit);
  const uint64_t raw = LoadU64(data);
  if (raw == 0) {  // an ID of 0 is null
    value_ = false;
    return;
  }
  const int64_t x = static_cast<int64_t>(raw);
  const int64_t y = Int64Of(v);
  value_ = Result(x < y ? -1 : x > y ? 1 : 0);
}

void TsfComp::Evaluate() {
  TQdfField* field = FieldOperand(args_[0].get());
  TvNode* v = args_[1].get();
  EvaluateIfNeeded(v);
  // No null test: a null char field is the empty text.
  const int c = CharFieldText(field).compare(StrArg(v));
  value_ = Result(c);
}

// ---- text of a field --------------------------------------------------------------

void TsField::Evaluate() { value_.assign(CharFieldText(FieldOperand(args_[0].get()))); }

std::unique_ptr<TvNode> TsField::Optimize() {
  CheckFieldOperand(args_[0].get(), "TsField");
  return nullptr;
}

std::unique_ptr<TvNode> TsFieldAsString::Optimize() {
  CheckFieldOperand(args_[0].get(), "TsFieldAsString");
  return nullptr;
}

void TsFieldAsString::Evaluate() {
  TQdfField* field = FieldOperand(args_[0].get());
  if (field == nullptr) {
    value_.clear();
    return;
  }
  value_ = field->GetAsString();
}

// ---- LIKE -------------------------------------------------------------------------

void TsfLike::Evaluate() {
  TQdfField* field = FieldOperand(args_[0].get());
  TvNode* pattern = args_[1].get();
  EvaluateIfNeeded(pattern);
  value_ = Like(CharFieldText(field), StrArg(pattern));
}

std::unique_ptr<TvNode> TsfLike::Optimize() {
  CheckFieldOperand(args_[0].get(), "TsfLike");
  TvNode* pattern = args_[1].get();
  if (!pattern->FoldsAsConstant()) return nullptr;
  const std::string p = StrArg(pattern);
  const size_t wildcard = p.find_first_of("%_");
  if (wildcard == std::string::npos) {
    return NewFieldComparison(std::move(args_[0]), std::move(args_[1]), kMaskEQ);
  }
  if (wildcard == 0) return nullptr;
  std::unique_ptr<TvNode> bound_field = args_[0]->ConstCopy();
  std::unique_ptr<TvNode> like_field = args_[0]->ConstCopy();
  if (!bound_field || !like_field || !bound_field->InheritsFrom(TndField::kClass)) return nullptr;
  const std::string prefix = p.substr(0, wildcard);
  std::unique_ptr<TvNode> range =
      NewFieldComparison(std::move(bound_field), NewStringLiteral(prefix), kMaskGE);
  const std::string upper = PrefixUpperBound(prefix);
  if (!upper.empty()) {
    std::unique_ptr<TvNode> upper_field = args_[0]->ConstCopy();
    if (!upper_field) return nullptr;
    range =
        CreateNode(TbAnd::kClass, std::move(range),
                   NewFieldComparison(std::move(upper_field), NewStringLiteral(upper), kMaskLT));
  }
  std::unique_ptr<TvNode> like =
      CreateNode(TsfLikeNoOpt::kClass, std::move(like_field), NewStringLiteral(p));
  // Nested conjunctions flatten, so the bounds stand beside the LIKE.
  return CreateNode(TbAnd::kClass, std::move(range), std::move(like));
}

std::string PrefixUpperBound(std::string_view prefix) {
  // Texts compare byte-wise unsigned: every text that begins with the prefix
  // sorts below the prefix whose last byte below 0xFF is raised by one (the
  // 0xFF bytes after it dropped). Only 0xFF bytes: no such text exists.
  std::string upper(prefix);
  while (!upper.empty() && static_cast<uint8_t>(upper.back()) == 0xFF) upper.pop_back();
  if (!upper.empty()) upper.back() = static_cast<char>(static_cast<uint8_t>(upper.back()) + 1);
  return upper;
}

// ---- the builder ------------------------------------------------------------------

std::unique_ptr<TvNode> NewFieldComparison(std::unique_ptr<TvNode> field,
                                           std::unique_ptr<TvNode> value, uint8_t mask) {
  CheckFieldOperand(field.get(), "Field comparison");
  if (!value) throw Exception("Field comparison needs a value");
  const auto* f = static_cast<const TndField*>(field.get());
  const TNodeClass* cls = &TfComp::kClass;
  TQdfField* target = f->IsBound() ? f->Field() : nullptr;
  // Another number field as the value may be null in a record: the typed
  // forms would have to cast that null, so the generic comparison takes it
  // (a null compares as the lowest value, as in the key order).
  // The parser may already have wrapped that field in a cast: take it out.
  const bool number_target = target != nullptr && (target->IsKindOf(TQdfIntegerField::kClassInfo) ||
                                                   target->IsKindOf(TQdfFloatField::kClassInfo));
  if (number_target) {
    const TvNode* n = value.get();
    while ((n->InheritsFrom(TiCast::kClass) || n->InheritsFrom(TdCast::kClass)) &&
           n->ArgCount() == 1) {
      n = n->Arg(0);
    }
    if (n != value.get() && n->InheritsFrom(TndField::kClass)) {
      TvNode* holder = value.get();
      while (holder->Arg(0) != n) holder = holder->Arg(0);
      std::unique_ptr<TvNode> inner = std::move(holder->Args()[0]);
      value = std::move(inner);
    }
  }
  const bool number_field_value = number_target && value->InheritsFrom(TndField::kClass);
  if (target != nullptr && !value->InheritsFrom(TvNull::kClass) && !number_field_value) {
    if (target->IsKindOf(TQdfIntegerField::kClassInfo)) {
      cls = &TifComp::kClass;
      if (value->Kind() != kKindInt) value = CreateNode(TiCast::kClass, std::move(value));
    } else if (target->IsKindOf(TQdfCharField::kClassInfo)) {
      cls = &TsfComp::kClass;
      if (value->InheritsFrom(TndField::kClass)) {
        const auto* vf = static_cast<const TndField*>(value.get());
        if (vf->IsBound() && vf->Field() != nullptr &&
            vf->Field()->IsKindOf(TQdfCharField::kClassInfo)) {
          value = CreateNode(TsField::kClass, std::move(value));
        }
      }
      if (value->Kind() != kKindString) value = CreateNode(TsCast::kClass, std::move(value));
    } else if (target->IsKindOf(TQdfFloatField::kClassInfo)) {
      cls = &TdfComp::kClass;
      if (value->Kind() != kKindDouble) value = CreateNode(TdCast::kClass, std::move(value));
    } else if (target->IsKindOf(TQdfObjectIDField::kClassInfo)) {
      cls = &ToidfComp::kClass;
      if (!value->InheritsFrom(TvObjectID::kClass)) {
        value = CreateNode(ToidCast::kClass, std::move(value));
      }
    }
  }
  return CreateNode(*cls, std::move(field), std::move(value), mask);
}

}  // namespace qdf
