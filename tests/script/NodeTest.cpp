// Expression nodes: folding, rewrites, comparisons, rounding, casts and the
// 64-bit variant form.
#include <gtest/gtest.h>

#include <limits>
#include <string>
#include <utility>

#include "ScriptTestUtil.h"

namespace qdf::testing {
namespace {

using ScriptNode = ScriptFixture;

// A non-constant boolean: v < 10.
std::unique_ptr<TvNode> Below10(const int32_t* v) {
  return CreateNode(TiLT::kClass, NewIntVar(v), NewIntLiteral(10));
}
// Conjunctions flatten and drop constants: whatever their shape, the value
// is that of the plain formula, and operands after the deciding one are not
// evaluated (the failing cast would raise).
TEST_F(ScriptNode, ConjunctionAndDisjunctionKeepTheirValueAndStopEarly) {
  int32_t v1 = 1, v2 = 20, v3 = 3;
  TvNodeArray inner;
  inner.push_back(Below10(&v1));
  inner.push_back(Below10(&v2));
  auto node = CreateNode(TbAnd::kClass, CreateNode(TbAnd::kClass, std::move(inner)), Below10(&v3));
  EXPECT_FALSE(BoolOf(node));
  v2 = 2;
  EXPECT_TRUE(BoolOf(node));
  node = CreateNode(TbAnd::kClass, Below10(&v1), NewBoolLiteral(false));
  EXPECT_TRUE(node->IsConstant());
  EXPECT_FALSE(BoolOf(node));
  TvNodeArray with_gap;
  with_gap.push_back(nullptr);
  with_gap.push_back(Below10(&v1));
  EXPECT_TRUE(BoolOf(CreateNode(TbAnd::kClass, std::move(with_gap))));
  EXPECT_TRUE(Build("a = 1 and false")->IsConstant());
  EXPECT_TRUE(Build("a = 7 or true")->IsConstant());
  auto empty = TbAnd::Create(nullptr);
  EXPECT_TRUE(empty->Bool());
  empty->AddOperand(Below10(&v2));
  v2 = 50;
  EXPECT_FALSE(BoolOf(empty));

  std::string bad = "abc";
  auto failing = [&] { return CreateNode(TbCast::kClass, NewStringVar(&bad)); };
  EXPECT_FALSE(BoolOf(CreateNode(TbAnd::kClass, NewBoolLiteral(false) /*folded*/, failing())));
  int32_t v = 50;
  EXPECT_FALSE(BoolOf(CreateNode(TbAnd::kClass, Below10(&v), failing())));
  v = 5;
  node = CreateNode(TbOr::kClass, Below10(&v), failing());
  EXPECT_TRUE(BoolOf(node));
  v = 50;
  EXPECT_THROW(BoolOf(node), EConvertError);
  EXPECT_TRUE(BoolOf(CreateNode(TbOr::kClass, Below10(&v), NewBoolLiteral(true))));
  EXPECT_FALSE(BoolOf(CreateNode(TbOr::kClass, NewBoolLiteral(false), Below10(&v))));
}

TEST_F(ScriptNode, LikeMatchesAndRewritesAndComparisonMasks) {
  // The matching rules themselves are the runtime's Like (its own test);
  // without wildcards the pattern is an equality.
  const std::pair<const char*, const char*> cases[] = {
      {"someonehere", "s like '%one%'"}, {"twoone", "not (s like 'one%')"},
      {"oe", "not (s like 'o_e')"},      {"ONE", "not (s like 'one')"},
      {"abc", "s like 'abc'"},           {"abc", "'abc' like s"},
  };
  for (const auto& [value, text] : cases) {
    s_ = value;
    EXPECT_EQ(Value(text), "BOOLEAN true") << value << ": " << text;
  }
  // A constant pattern and text fold.
  EXPECT_TRUE(Build("'abc' like 'a%'")->IsConstant());

  const std::pair<const TNodeClass*, uint8_t> classes[] = {{&TsLT::kClass, 1},  {&TsEq::kClass, 2},
                                                           {&TsLE::kClass, 3},  {&TsGT::kClass, 4},
                                                           {&TsNEQ::kClass, 5}, {&TsGE::kClass, 6}};
  std::string left, right;
  for (const auto& [cls, mask] : classes) {
    auto node = CreateNode(*cls, NewStringVar(&left), NewStringVar(&right));
    EXPECT_EQ(static_cast<TsComp*>(node.get())->Mask(), mask) << cls->name;
    const std::pair<const char*, const char*> pairs[] = {{"a", "b"}, {"b", "b"}, {"c", "b"}};
    for (int rel = 0; rel < 3; ++rel) {
      left = pairs[rel].first;
      right = pairs[rel].second;
      EXPECT_EQ(BoolOf(node), (mask >> rel & 1) != 0) << cls->name << " " << left;
    }
  }
  // Explicit masks on the base classes.
  auto node = CreateNode(TdComp::kClass, NewDoubleLiteral(1), NewDoubleVar(&x_), kMaskGE);
  x_ = 1;
  EXPECT_TRUE(BoolOf(node));
  x_ = 2;
  EXPECT_FALSE(BoolOf(node));
  EXPECT_THROW(CreateNode(TiLT::kClass, NewIntLiteral(1), NewIntLiteral(2), kMaskEQ), Exception);
  // NaN is unordered: every comparison with it is false but "<>".
  x_ = std::numeric_limits<double>::quiet_NaN();
  y_ = 1;
  EXPECT_EQ(Value("x >= y or y >= x"), "BOOLEAN false");
  EXPECT_EQ(Value("x <> y"), "BOOLEAN true");
}

TEST_F(ScriptNode, CastsTheVariantFormAndOperandChecks) {
  // TbCast: null is false.
  EXPECT_FALSE(BoolOf(CreateNode(TbCast::kClass, NewVariantLiteral(TVariant()))));
  // The 64-bit form: 0x01 and eight bytes, least significant first.
  auto node = NewInt64Literal(0x0102030405060708);
  TVariant v;
  node->GetVariant(v);
  ASSERT_TRUE(v.IsString());
  EXPECT_EQ(v.RawString(), std::string("\x01\x08\x07\x06\x05\x04\x03\x02\x01", 9));
  EXPECT_EQ(VariantToInt64(v), 0x0102030405060708);
  EXPECT_EQ(VariantToInt64(TVariant("-42")), -42);
  EXPECT_EQ(VariantToInt64(TVariant(int32_t{7})), 7);
  EXPECT_THROW(VariantToInt64(TVariant("x")), EConvertError);
  node = CreateNode(ToidCast::kClass, NewVariantLiteral(TVariant(Int64ToVariantForm(-5))));
  EXPECT_EQ(static_cast<TvObjectID*>(node.get())->I64(), -5);
  EXPECT_EQ(node->ValueTag(), 51);
  // Casts from 64-bit nodes convert numerically.
  node = CreateNode(TdCast::kClass, NewInt64Literal(int64_t{1} << 40));
  EXPECT_DOUBLE_EQ(static_cast<TvDouble*>(node.get())->Dbl(), 1099511627776.0);
  node = CreateNode(TvCast::kClass, NewInt64Literal(5000000000));
  EXPECT_EQ(static_cast<TvVariant*>(node.get())->Var(), TVariant(int64_t{5000000000}));
  // A cast that fails keeps the previous value.
  std::string text = "12";
  node = CreateNode(TiCast::kClass, NewStringVar(&text));
  node->Evaluate();
  text = "twelve";
  EXPECT_THROW(node->Evaluate(), EConvertError);
  EXPECT_EQ(static_cast<TvInt*>(node.get())->Int(), 12);
  EXPECT_THROW(CreateNode(TiPlus::kClass, NewStringLiteral("a"), NewIntLiteral(1)), Exception);
  EXPECT_THROW(CreateNode(TiPlus::kClass, NewIntLiteral(1)), Exception);
  EXPECT_THROW(CreateNode(TiIntOp2::kClass, NewIntLiteral(1), NewIntLiteral(2)), Exception);
  EXPECT_THROW(CreateNode(TiVar::kClass, TvNodeArray()), Exception);
  TvNodeArray missing;
  missing.push_back(NewIntLiteral(1));
  missing.push_back(nullptr);
  EXPECT_THROW(CreateNode(TiPlus::kClass, std::move(missing)), Exception);
  EXPECT_TRUE(TiPlus::kClass.InheritsFrom(TvInt::kClass));
  EXPECT_FALSE(TiPlus::kClass.InheritsFrom(TvBool::kClass));
}

}  // namespace
}  // namespace qdf::testing
