#include "script/NodesLogic.h"

#include <cmath>

#include "base/Helpers.h"

namespace qdf {

QDF_DEFINE_NODE_CLASS(TbNot, TvBool, "b");
QDF_DEFINE_ABSTRACT_NODE_CLASS(TvBoolOp2, TvBool);
QDF_DEFINE_NODE_CLASS(TbAnd, TvBoolOp2, "*b");
QDF_DEFINE_NODE_CLASS(TbOr, TvBoolOp2, "bb");
QDF_DEFINE_ABSTRACT_NODE_CLASS(TbIntOp2, TvBool);
QDF_DEFINE_NODE_CLASS(TiLT, TbIntOp2, "ii");
QDF_DEFINE_NODE_CLASS(TiLE, TbIntOp2, "ii");
QDF_DEFINE_NODE_CLASS(TiEQ, TbIntOp2, "ii");
QDF_DEFINE_NODE_CLASS(TiNEQ, TbIntOp2, "ii");
QDF_DEFINE_NODE_CLASS(TiGE, TbIntOp2, "ii");
QDF_DEFINE_NODE_CLASS(TiGT, TbIntOp2, "ii");
QDF_DEFINE_NODE_CLASS(TsComp, TvBool, "ss");
QDF_DEFINE_NODE_CLASS(TsLT, TsComp, "ss");
QDF_DEFINE_NODE_CLASS(TsEq, TsComp, "ss");
QDF_DEFINE_NODE_CLASS(TsLE, TsComp, "ss");
QDF_DEFINE_NODE_CLASS(TsGT, TsComp, "ss");
QDF_DEFINE_NODE_CLASS(TsNEQ, TsComp, "ss");
QDF_DEFINE_NODE_CLASS(TsGE, TsComp, "ss");
QDF_DEFINE_NODE_CLASS(TdComp, TvBool, "dd");
QDF_DEFINE_NODE_CLASS(TdLT, TdComp, "dd");
QDF_DEFINE_NODE_CLASS(TdEq, TdComp, "dd");
QDF_DEFINE_NODE_CLASS(TdLE, TdComp, "dd");
QDF_DEFINE_NODE_CLASS(TdGT, TdComp, "dd");
QDF_DEFINE_NODE_CLASS(TdNEQ, TdComp, "dd");
QDF_DEFINE_NODE_CLASS(TdGE, TdComp, "dd");
QDF_DEFINE_NODE_CLASS(TsLike, TvBool, "ss");
QDF_DEFINE_NODE_CLASS(TbCast, TvBool, "?");

namespace {

inline bool BoolArg(const TvNode* n) { return static_cast<const TvBool*>(n)->Bool(); }
inline int32_t IntArg(const TvNode* n) { return static_cast<const TvInt*>(n)->Int(); }
inline double DblArg(const TvNode* n) { return static_cast<const TvDouble*>(n)->Dbl(); }
inline const std::string& StrArg(const TvNode* n) { return static_cast<const TvString*>(n)->Str(); }

}  // namespace

void TbNot::Evaluate() {
  TvNode* a = args_[0].get();
  EvaluateIfNeeded(a);
  value_ = !BoolArg(a);
}

// ---- TbAnd ---------------------------------------------------------------------

std::unique_ptr<TbAnd> TbAnd::Create(std::unique_ptr<TvNode> node) {
  auto result = std::make_unique<TbAnd>();
  if (node) {
    result->args_.push_back(std::move(node));
  } else {
    result->value_ = true;
    result->SetConstant(true);
  }
  return result;
}

void TbAnd::AddOperand(std::unique_ptr<TvNode> node) {
  args_.push_back(std::move(node));
  SetConstant(false);
}

void TbAnd::Evaluate() {
  for (auto& a : args_) {
    TvNode* n = a.get();
    if (n == nullptr) continue;
    EvaluateIfNeeded(n);
    if (!BoolArg(n)) {
      value_ = false;
      return;
    }
  }
  value_ = true;
}

std::unique_ptr<TvNode> TbAnd::Optimize() {
  // Flatten nested plain conjunctions in place, keeping the order.
  bool nested = false;
  for (const auto& a : args_)
    if (a && &a->ClassInfo() == &TbAnd::kClass) nested = true;
  if (nested) {
    TvNodeArray flat;
    for (auto& a : args_) {
      if (a && &a->ClassInfo() == &TbAnd::kClass) {
        for (auto& inner : a->Args()) flat.push_back(std::move(inner));
      } else {
        flat.push_back(std::move(a));
      }
    }
    args_ = std::move(flat);
  }
  // Drop missing and constant-true operands; a constant false decides.
  for (size_t i = args_.size(); i-- > 0;) {
    TvNode* n = args_[i].get();
    if (n == nullptr) {
      args_.erase(args_.begin() + static_cast<ptrdiff_t>(i));
    } else if (n->FoldsAsConstant()) {
      if (BoolArg(n)) {
        args_.erase(args_.begin() + static_cast<ptrdiff_t>(i));
      } else {
        args_.clear();
        value_ = false;
        SetConstant(true);
        break;
      }
    }
  }
  if (args_.empty() && !is_constant_) {
    value_ = true;
    SetConstant(true);
  }
  return TvBool::Optimize();
}

// ---- TbOr -----------------------------------------------------------------------

void TbOr::Evaluate() {
  TvNode* a = args_[0].get();
  EvaluateIfNeeded(a);
  if (BoolArg(a)) {
    value_ = true;
    return;
  }
  TvNode* b = args_[1].get();
  EvaluateIfNeeded(b);
  value_ = BoolArg(b);
}

std::unique_ptr<TvNode> TbOr::Optimize() {
  if (!is_constant_) {
    for (const auto& a : args_)
      if (a->FoldsAsConstant() && BoolArg(a.get())) return NewBoolLiteral(true);
  }
  return TvBool::Optimize();
}

// ---- comparisons -------------------------------------------------------------------

#define QDF_DEFINE_INT_COMPARE(T, OP) \
  void T::Evaluate() {                \
    TvNode* a = args_[0].get();       \
    TvNode* b = args_[1].get();       \
    EvaluateIfNeeded(a);              \
    EvaluateIfNeeded(b);              \
    value_ = IntArg(a) OP IntArg(b);  \
  }
QDF_DEFINE_INT_COMPARE(TiLT, <)
QDF_DEFINE_INT_COMPARE(TiLE, <=)
QDF_DEFINE_INT_COMPARE(TiEQ, ==)
QDF_DEFINE_INT_COMPARE(TiNEQ, !=)
QDF_DEFINE_INT_COMPARE(TiGE, >=)
QDF_DEFINE_INT_COMPARE(TiGT, >)
#undef QDF_DEFINE_INT_COMPARE

void TsComp::Evaluate() {
  TvNode* a = args_[0].get();
  TvNode* b = args_[1].get();
  EvaluateIfNeeded(a);
  EvaluateIfNeeded(b);
  // std::string compares through char_traits<char>, i.e. memcmp: unsigned bytes.
  const int c = StrArg(a).compare(StrArg(b));
  const uint8_t relation = c < 0 ? kMaskLT : c == 0 ? kMaskEQ : kMaskGT;
  value_ = (mask_ & relation) != 0;
}

void TdComp::Evaluate() {
  TvNode* a = args_[0].get();
  TvNode* b = args_[1].get();
  EvaluateIfNeeded(a);
  EvaluateIfNeeded(b);
  const double x = DblArg(a);
  const double y = DblArg(b);
  if (std::isnan(x) || std::isnan(y)) {
    // NaN is unordered: every comparison with it is false but "<>".
    value_ = mask_ == kMaskNEQ;
    return;
  }
  const uint8_t relation = x < y ? kMaskLT : x == y ? kMaskEQ : kMaskGT;
  value_ = (mask_ & relation) != 0;
}

// ---- LIKE -------------------------------------------------------------------------

void TsLike::Evaluate() {
  TvNode* a = args_[0].get();
  TvNode* b = args_[1].get();
  EvaluateIfNeeded(a);
  EvaluateIfNeeded(b);
  value_ = Like(StrArg(a), StrArg(b));
}

std::unique_ptr<TvNode> TsLike::Optimize() {
  if (is_constant_) return TvBool::Optimize();
  TvNode* pattern = args_[1].get();
  if (pattern->FoldsAsConstant() && StrArg(pattern).find_first_of("%_") == std::string::npos) {
    return CreateNode(TsComp::kClass, std::move(args_[0]), std::move(args_[1]), kMaskEQ);
  }
  return nullptr;
}

// ---- cast ---------------------------------------------------------------------------

void TbCast::Evaluate() {
  TvNode* a = args_[0].get();
  EvaluateIfNeeded(a);
  if (a->Kind() == kKindBool) {
    value_ = BoolArg(a);
    return;
  }
  TVariant v;
  OperandVariant(a, v);
  value_ = v.IsNull() ? false : v.AsBoolean();
}

}  // namespace qdf
