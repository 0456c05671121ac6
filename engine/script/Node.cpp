#include "script/Node.h"

#include "base/QdfException.h"
#include "script/NodesArith.h"

namespace qdf {

const TNodeClass TvNode::kClass{"TvNode", nullptr, nullptr, nullptr};
QDF_DEFINE_NODE_CLASS(TvBool, TvNode, "");
QDF_DEFINE_NODE_CLASS(TvInt, TvNode, "");
QDF_DEFINE_NODE_CLASS(TvString, TvNode, "");
QDF_DEFINE_NODE_CLASS(TvDouble, TvNode, "");
QDF_DEFINE_NODE_CLASS(TvVariant, TvNode, "");
QDF_DEFINE_NODE_CLASS(TvObjectID, TvNode, "");
QDF_DEFINE_NODE_CLASS(TvInt64, TvNode, "");
QDF_DEFINE_NODE_CLASS(TvObjectNode, TvNode, "");

void TvNode::Evaluate() {
  for (auto& a : args_)
    if (a) EvaluateIfNeeded(a.get());
}

bool TvNode::FixedDuringWalk() const {
  if (is_constant_) return true;
  if (!foldable_) return false;
  if (by_ref_) return true;
  if (args_.empty()) return false;
  for (const auto& a : args_) {
    if (a != nullptr && !a->FixedDuringWalk()) return false;
  }
  return true;
}

bool TvNode::RefersTo(const void* item_list) const {
  for (const auto& a : args_)
    if (a && a->RefersTo(item_list)) return true;
  return false;
}

namespace {

bool KindMatches(char wanted, const TvNode* node) {
  if (wanted == '?') return true;
  return node->Kind() == wanted;
}

// Checks `args` against the class's operand signature.
void CheckOperands(const TNodeClass& cls, const TvNodeArray& args) {
  const char* sig = cls.operands;
  if (sig == nullptr) {
    throw Exception(Format("Node class %s takes no operands", cls.name));
  }
  if (sig[0] == '*') {
    for (const auto& a : args)
      if (a && !KindMatches(sig[1], a.get()))
        throw Exception(Format("Operand of wrong type for %s", cls.name));
    return;
  }
  size_t n = std::char_traits<char>::length(sig);
  if (args.size() != n) {
    throw Exception(Format("%s expects %zu operands, got %zu", cls.name, n, args.size()));
  }
  for (size_t i = 0; i < n; ++i) {
    if (!args[i]) throw Exception(Format("Missing operand %zu for %s", i + 1, cls.name));
    if (!KindMatches(sig[i], args[i].get()))
      throw Exception(Format("Operand %zu of wrong type for %s", i + 1, cls.name));
  }
}

}  // namespace

std::unique_ptr<TvNode> CreateNode(const TNodeClass& cls, TvNodeArray args, int mask) {
  if (cls.create == nullptr) {
    throw Exception(Format("Cannot create a node of abstract class %s", cls.name));
  }
  CheckOperands(cls, args);
  std::unique_ptr<TvNode> node(cls.create());
  node->args_ = std::move(args);
  if (mask >= 0 && !node->SetMask(static_cast<uint8_t>(mask))) {
    throw Exception(Format("Node class %s takes no comparison mask", cls.name));
  }
  bool all_constant = true;
  for (const auto& a : node->args_) {
    if (a && !a->FoldsAsConstant()) {
      all_constant = false;
      break;
    }
  }
  if (all_constant && node->foldable_) {
    node->Evaluate();
    node->SetConstant(true);
  }
  std::unique_ptr<TvNode> replacement = node->Optimize();
  return replacement ? std::move(replacement) : std::move(node);
}

std::unique_ptr<TvNode> CreateNode(const TNodeClass& cls, std::unique_ptr<TvNode> a) {
  TvNodeArray args;
  args.push_back(std::move(a));
  return CreateNode(cls, std::move(args));
}

std::unique_ptr<TvNode> CreateNode(const TNodeClass& cls, std::unique_ptr<TvNode> a,
                                   std::unique_ptr<TvNode> b, int mask) {
  TvNodeArray args;
  args.push_back(std::move(a));
  args.push_back(std::move(b));
  return CreateNode(cls, std::move(args), mask);
}

// ---- base-type classes: a constant node of a subclass becomes a literal ----

std::unique_ptr<TvNode> TvBool::Optimize() {
  if (is_constant_ && &ClassInfo() != &TvBool::kClass) return NewBoolLiteral(Bool());
  return nullptr;
}
std::unique_ptr<TvNode> TvBool::ConstCopy() const {
  return is_constant_ ? NewBoolLiteral(Bool()) : nullptr;
}

std::unique_ptr<TvNode> TvInt::Optimize() {
  if (is_constant_ && &ClassInfo() != &TvInt::kClass) return NewIntLiteral(Int());
  return nullptr;
}
std::unique_ptr<TvNode> TvInt::ConstCopy() const {
  return is_constant_ ? NewIntLiteral(Int()) : nullptr;
}

std::unique_ptr<TvNode> TvString::Optimize() {
  if (is_constant_ && &ClassInfo() != &TvString::kClass) return NewStringLiteral(Str());
  return nullptr;
}
std::unique_ptr<TvNode> TvString::ConstCopy() const {
  return is_constant_ ? NewStringLiteral(Str()) : nullptr;
}

std::unique_ptr<TvNode> TvDouble::Optimize() {
  if (is_constant_ && &ClassInfo() != &TvDouble::kClass) return NewDoubleLiteral(Dbl());
  return nullptr;
}
std::unique_ptr<TvNode> TvDouble::ConstCopy() const {
  return is_constant_ ? NewDoubleLiteral(Dbl()) : nullptr;
}

std::unique_ptr<TvNode> TvVariant::Optimize() {
  if (!is_constant_) return nullptr;
  if (value_.IsNull()) {
    if (&ClassInfo() == &TvNull::kClass) return nullptr;
    return NewVariantLiteral(TVariant());
  }
  if (&ClassInfo() != &TvVariant::kClass) return NewVariantLiteral(value_);
  return nullptr;
}
std::unique_ptr<TvNode> TvVariant::ConstCopy() const {
  return is_constant_ ? NewVariantLiteral(value_) : nullptr;
}

std::unique_ptr<TvNode> TvObjectID::Optimize() {
  if (is_constant_ && &ClassInfo() != &TvObjectID::kClass) return NewObjectIDLiteral(I64());
  return nullptr;
}
std::unique_ptr<TvNode> TvObjectID::ConstCopy() const {
  return is_constant_ ? NewObjectIDLiteral(I64()) : nullptr;
}

std::unique_ptr<TvNode> TvInt64::Optimize() {
  if (is_constant_ && &ClassInfo() != &TvInt64::kClass) return NewInt64Literal(I64());
  return nullptr;
}
std::unique_ptr<TvNode> TvInt64::ConstCopy() const {
  return is_constant_ ? NewInt64Literal(I64()) : nullptr;
}

std::unique_ptr<TvNode> TvObjectNode::Optimize() {
  if (is_constant_ && &ClassInfo() != &TvObjectNode::kClass) return NewObjectLiteral(object_);
  return nullptr;
}
std::unique_ptr<TvNode> TvObjectNode::ConstCopy() const {
  return is_constant_ ? NewObjectLiteral(object_) : nullptr;
}

// ---- 64-bit form ------------------------------------------------------------

std::string Int64ToVariantForm(int64_t v) {
  std::string s(9, '\0');
  s[0] = '\x01';
  uint64_t u = static_cast<uint64_t>(v);
  for (int i = 0; i < 8; ++i) s[1 + i] = static_cast<char>((u >> (8 * i)) & 0xFF);
  return s;
}

int64_t VariantToInt64(const TVariant& v) {
  if (v.IsString()) {
    const std::string& s = v.RawString();
    if (s.size() == 9 && s[0] == '\x01') {
      uint64_t u = 0;
      for (int i = 0; i < 8; ++i) u |= uint64_t{static_cast<uint8_t>(s[1 + i])} << (8 * i);
      return static_cast<int64_t>(u);
    }
    return TextToInt64(s);
  }
  return v.AsInt64();
}

void OperandVariant(const TvNode* n, TVariant& out) {
  if (n->Kind() == kKindInt64) {
    out.SetInt64(Int64Of(n));
  } else {
    n->GetVariant(out);
  }
}

// ---- literals and variables ---------------------------------------------------

namespace {

template <typename T, typename V>
std::unique_ptr<TvNode> MakeLiteral(V&& value) {
  auto node = std::make_unique<T>();
  node->SetValue(std::forward<V>(value));
  node->SetConstant(true);
  return node;
}

}  // namespace

std::unique_ptr<TvNode> NewIntLiteral(int32_t v) { return MakeLiteral<TvInt>(v); }
std::unique_ptr<TvNode> NewBoolLiteral(bool v) { return MakeLiteral<TvBool>(v); }
std::unique_ptr<TvNode> NewStringLiteral(std::string v) {
  return MakeLiteral<TvString>(std::move(v));
}
std::unique_ptr<TvNode> NewDoubleLiteral(double v) { return MakeLiteral<TvDouble>(v); }
std::unique_ptr<TvNode> NewInt64Literal(int64_t v) { return MakeLiteral<TvInt64>(v); }
std::unique_ptr<TvNode> NewObjectIDLiteral(int64_t v) { return MakeLiteral<TvObjectID>(v); }

std::unique_ptr<TvNode> NewVariantLiteral(TVariant v) {
  if (v.IsNull()) {
    auto node = std::make_unique<TvNull>();
    node->SetConstant(true);
    return node;
  }
  return MakeLiteral<TvVariant>(std::move(v));
}

std::unique_ptr<TvNode> NewObjectLiteral(TObject* object) {
  auto node = std::make_unique<TvObjectNode>();
  node->SetObject(object);
  return node;
}

std::unique_ptr<TvNode> NewIntVar(const int32_t* variable) {
  return std::make_unique<TiVar>(variable);
}
std::unique_ptr<TvNode> NewDoubleVar(const double* variable) {
  return std::make_unique<TdVar>(variable);
}
std::unique_ptr<TvNode> NewStringVar(const std::string* variable) {
  return std::make_unique<TsVar>(variable);
}

}  // namespace qdf
