// Parser: precedence and grouping, overload choice through casts, and the
// exact text of every message.
#include <gtest/gtest.h>

#include <string>

#include "ScriptTestUtil.h"

namespace qdf::testing {
namespace {

using ScriptParser = ScriptFixture;

TEST_F(ScriptParser, BinaryOperatorsGroupToTheLeft) {
  EXPECT_EQ(EvalInt("1 - 2 - 3"), -4);
  EXPECT_EQ(EvalInt("2 * 3 - 1"), 5);
  EXPECT_EQ(EvalInt("1 - 2 * 3"), -5);
  EXPECT_EQ(EvalInt("10 - 2 + 3"), 11);
  EXPECT_EQ(EvalInt("a - b - c"), -4);
  EXPECT_EQ(EvalInt("d - b * c"), -2);
  EXPECT_EQ(EvalInt("(1 - 2) * 3"), -3);
  EXPECT_DOUBLE_EQ(EvalDouble("y - x - x"), 1.0);
  EXPECT_EQ(EvalString("'a' + 'b' + s"), "abtext");
}

TEST_F(ScriptParser, PrefixOperatorsBindTighterThanBinaryOnes) {
  // -a * b groups as (-a) * b.
  auto node = Build("-a * b");
  ASSERT_TRUE(node->InheritsFrom(TiMul::kClass));
  EXPECT_TRUE(node->Arg(0)->InheritsFrom(TiNeg::kClass));
  EXPECT_EQ(EvalInt("-2 * 3"), -6);
  EXPECT_EQ(EvalInt("-a - b"), -3);
  EXPECT_EQ(EvalInt("1 - -a"), 2);
  EXPECT_EQ(EvalInt("- - 3"), 3);
  EXPECT_DOUBLE_EQ(EvalDouble("-x * y"), -1.0);
  // not a = b groups as (not a) = b: "not" meets an INTEGER.
  EXPECT_EQ(Error("not a = b"),
            "could not find matching cast for BOOLEAN operator not presented types: a");
  EXPECT_TRUE(EvalBool("not (a = b)"));
  EXPECT_EQ(Error("not true = false"),
            "could not find matching cast for BOOLEAN operator = presented types: "
            "BOOLEAN operator not, false");
}

TEST_F(ScriptParser, ComparisonsBindTighterThanAndAndOr) {
  EXPECT_TRUE(EvalBool("a < b and c < d"));
  EXPECT_FALSE(EvalBool("a > b or c > d"));
  EXPECT_TRUE(EvalBool("a + 1 = b"));
  // "and" binds tighter than "or".
  EXPECT_TRUE(EvalBool("a = 1 or a = 2 and b = 3"));
  // "or" and "like" share a precedence and group to the left, and "like"
  // binds more weakly than "and": LIKE tests joined by them need parentheses.
  EXPECT_EQ(Error("s like 't%' or s like 'x%'"),
            "could not find matching cast for BOOLEAN operator or presented types: "
            "BOOLEAN operator like, s");
  EXPECT_TRUE(EvalBool("(s like 't%') or (s like 'x%')"));
  EXPECT_EQ(Error("'abc' like 'a%' and s = 'text'"),
            "could not find matching cast for BOOLEAN operator and presented types: "
            "PCHAR (a%), BOOLEAN operator =");
  EXPECT_TRUE(EvalBool("('abc' like 'a%') and s = 'text'"));
  // String comparisons parse at the INTEGER form's precedence.
  EXPECT_TRUE(EvalBool("s = 'text' and s <> 'x' or a = 5"));
}

TEST_F(ScriptParser, OverloadChoiceThroughCasts) {
  auto node = Build("1 + 2.5");
  EXPECT_EQ(type_, kTypeDouble);
  ASSERT_TRUE(node->IsConstant());
  EXPECT_DOUBLE_EQ(static_cast<TvDouble*>(node.get())->Dbl(), 3.5);

  // INTEGER against DOUBLE takes the DOUBLE form: the INTEGER operand is
  // cast, not the DOUBLE one truncated.
  x_ = 0.5;
  EXPECT_TRUE(EvalBool("a < x + 0.75"));
  EXPECT_FALSE(EvalBool("x + 0.75 <= a"));
  // INT64 values convert numerically.
  EXPECT_TRUE(EvalBool("3000000000 > a"));
  EXPECT_DOUBLE_EQ(EvalDouble("3000000000 + 1"), 3000000001.0);
  EXPECT_EQ(EvalString("ToStr(3000000000)"), "3000000000");
  // Date-times are doubles by relabelling.
  EXPECT_DOUBLE_EQ(EvalDouble("Date(1900, 1, 1) * 2"), 4.0);
  EXPECT_EQ(Error("Date(1900, 1, 1) + 1"), "<compiled>");
  // Functions choose by argument types too.
  EXPECT_EQ(EvalString("ToStr(a)"), "1");
  EXPECT_EQ(EvalString("ToStr(x)"), "0.5");
  EXPECT_EQ(EvalInt("ToInt('42')"), 42);
  EXPECT_EQ(EvalInt("ToInt(2.5)"), 2);
  EXPECT_TRUE(EvalBool("ToBoolean('true')"));
}

TEST_F(ScriptParser, ConstantsAreValues) {
  EXPECT_TRUE(EvalBool("true"));
  EXPECT_FALSE(EvalBool("false"));
  EXPECT_DOUBLE_EQ(EvalDouble("pi"), 3.141592653589793);
  auto node = Build("null");
  EXPECT_EQ(type_, kTypeNullVar);
  EXPECT_TRUE(node->InheritsFrom(TvNull::kClass));
  EXPECT_TRUE(EvalBool("true and a = 1"));
  EXPECT_EQ(Error("1 true"), "Operator expected between INTEGER (1) and true");
  EXPECT_EQ(script_.FindWord("pi")->Flags(), kWfLiteral);
}

TEST_F(ScriptParser, FunctionArguments) {
  EXPECT_EQ(EvalString("Copy('abcdef', 2, 3)"), "bcd");
  EXPECT_EQ(EvalString("Copy('abc', 1, (2))"), "ab");
  EXPECT_EQ(EvalString("Copy(('abc'), (1), ((2)))"), "ab");
  EXPECT_EQ(EvalInt("Round((2.5))"), 2);
  EXPECT_EQ(type_, kTypeInteger);
  EXPECT_DOUBLE_EQ(EvalDouble("Round((2.5), (0))"), 3.0);
  EXPECT_EQ(type_, kTypeDouble);
  EXPECT_EQ(EvalString("Upper(Copy(s, 1, a + 1))"), "TE");
  EXPECT_EQ(EvalInt("Round(x * 5) + 1"), 3);
  // Member call: value.Function(args) is Function(value, args).
  EXPECT_EQ(EvalString("'abc'.Upper"), "ABC");
  EXPECT_EQ(EvalString("s.Copy(2, 2)"), "ex");
  EXPECT_EQ(EvalString("s.Copy(2, 2).Upper + '!'"), "EX!");
}

TEST_F(ScriptParser, ArgumentCountMustMatch) {
  EXPECT_EQ(Error("Copy('abc')"),
            "could not find matching cast for PCHAR function Copy presented types: PCHAR (abc)");
  EXPECT_EQ(Error("Copy('abc', 1)"),
            "could not find matching cast for PCHAR function Copy presented types: "
            "PCHAR (abc), INTEGER (1)");
  EXPECT_EQ(Error("Upper('a', 'b')"),
            "could not find matching cast for PCHAR function Upper presented types: "
            "PCHAR (a), PCHAR (b)");
  EXPECT_EQ(Error("Round(1.5, 2, 3)"),
            "could not find matching cast for INTEGER function Round presented types: "
            "DOUBLE (1.5), INTEGER (2), INTEGER (3)");
  EXPECT_EQ(Error("Upper"), "( expected after PCHAR function Upper");
  EXPECT_EQ(Error("1 + Upper"), "( expected after PCHAR function Upper");
  EXPECT_EQ(Error("Upper()"), "TOKEN operator ) does nor bind to right side");
}

TEST_F(ScriptParser, MessagesOfTheParser) {
  struct Case {
    const char* text;
    const char* message;
  } cases[] = {
      {"", "Value expected"},
      {"-", "Value expected"},
      {"1 + -", "Value expected"},
      {"1 + ,", "VALUE expected"},
      {"()", "TOKEN operator ) does nor bind to right side"},
      {"1 + )", "TOKEN operator ) does nor bind to right side"},
      {"1)", "unmatched pair - left missing"},
      {"(1))", "unmatched pair - left missing"},
      {"(1", "unmatched pair - right missing"},
      {"((1)", "unmatched pair - right missing"},
      {"Upper('a'", "unmatched pair - right missing"},
      {"1 2", "Operator expected between INTEGER (1) and INTEGER (2)"},
      {"1 'x'", "Operator expected between INTEGER (1) and PCHAR (x)"},
      {"a (b)", "Operator expected between a and TOKEN operator ("},
      {"1 Upper('a')", "Operator expected between INTEGER (1) and PCHAR function Upper"},
      {"1 not 2", "Operator expected between INTEGER (1) and BOOLEAN operator not"},
      {"2.5 unknown", "Operator expected between DOUBLE (2.5) and TOKEN (unknown)"},
      {"1 +", "Term INTEGER (1) INTEGER operator + not complete, Value expected"},
      {"a * b =", "Term b BOOLEAN operator = not complete, Value expected"},
      {"1, 2", "Invalid delimiter: ,"},
      {"(1, 2)", "Invalid delimiter: ,"},
      {"1.", ". no function call"},
      {"a.b", ". no function call"},
      {"1 = 'a'",
       "could not find matching cast for BOOLEAN operator = presented types: INTEGER (1), "
       "PCHAR (a)"},
      {"a + 'x'",
       "could not find matching cast for INTEGER operator + presented types: a, PCHAR (x)"},
      {"abc = 'x'",
       "could not find matching cast for BOOLEAN operator = presented types: TOKEN (abc), "
       "PCHAR (x)"},
      {"true + 1.5",
       "could not find matching cast for INTEGER operator + presented types: true, "
       "DOUBLE (1.5)"},
      {"-'a'", "could not find matching cast for INTEGER operator - presented types: PCHAR (a)"},
  };
  for (const Case& c : cases) EXPECT_EQ(Error(c.text), c.message) << c.text;
}

TEST_F(ScriptParser, PairsOfOtherShapesAndPostfixWords) {
  // A pair whose halves have different types.
  TScriptWords* extra = script_.AddSection("TEST_EXTRA");
  script_.AddWord(extra, "]", nullptr, kWfPair | kWfClosing, 255, {}, kTypeNull);
  EXPECT_EQ(Error("(1]"), "unmatched pair - left <> right");
  // A postfix operator: binds to the left only.
  script_.AddWord(extra, "!", &TiNeg::kClass, kWfClosing, 20, {kTypeInteger}, kTypeInteger);
  EXPECT_EQ(EvalInt("a! + 5"), 4);
  EXPECT_EQ(EvalInt("2 * b!"), -4);
  // A closing word that has only prefix forms.
  script_.AddWord(extra, "~", &TiNeg::kClass, kWfClosing | kWfPrefix, 20, {kTypeInteger},
                  kTypeInteger);
  EXPECT_EQ(Error("a~"), "linke Seite falsch");
}

TEST_F(ScriptParser, DeeplyNestedTextsAreRejected) {
  std::string ok, deep;
  for (int i = 0; i < 400; ++i) ok += "-(";
  ok += "a";
  for (int i = 0; i < 400; ++i) ok += ")";
  EXPECT_EQ(EvalInt(ok), 1);
  for (int i = 0; i < 1200; ++i) deep += "- ";
  deep += "a";
  EXPECT_EQ(Error(deep), "Expression too deeply nested");
}

TEST_F(ScriptParser, CastTableClosure) {
  script_.Scan("1");
  script_.Compile();
  ASSERT_TRUE(script_.CastsValid());
  const TCastPath* p = script_.FindCast(kTypeInteger, kTypeDouble);
  ASSERT_NE(p, nullptr);
  EXPECT_EQ(p->cost, 1);
  EXPECT_EQ(p->steps.size(), 1u);
  EXPECT_EQ(script_.FindCast(kTypePChar, kTypeInteger), nullptr);
  EXPECT_EQ(script_.FindCast(kTypeDouble, kTypeInteger), nullptr);
  // Joined: DATETIME -> DOUBLE (relabel) -> VARIANT.
  p = script_.FindCast(kTypeDateTime, kTypeVariant);
  ASSERT_NE(p, nullptr);
  EXPECT_EQ(p->cost, 3);
  ASSERT_EQ(p->steps.size(), 2u);
  EXPECT_EQ(p->steps[0].word->NodeClass(), nullptr);
  EXPECT_EQ(p->steps[1].to, kTypeVariant);
  // A date-time goes to ToStr's DOUBLE form (cost 1), not the VARIANT one.
  EXPECT_EQ(EvalString("ToStr(Date(2000, 1, 2))"), "36527");

  // Removing a cast word invalidates the table; the next parse rebuilds it
  // and finds the longer way round.
  TScriptWord* direct = nullptr;
  for (TScriptWord* w = script_.Book().ChainHead(kCastWordName); w; w = w->Next())
    if (w->ArgTypes()[0] == kTypeInteger && w->ResultType() == kTypeDouble) direct = w;
  ASSERT_NE(direct, nullptr);
  direct->Section()->DeleteWord(direct);
  EXPECT_FALSE(script_.CastsValid());
  EXPECT_DOUBLE_EQ(EvalDouble("1 + 2.5"), 3.5);
  p = script_.FindCast(kTypeInteger, kTypeDouble);
  ASSERT_NE(p, nullptr);
  EXPECT_EQ(p->steps.size(), 2u);  // INTEGER -> INT64 -> DOUBLE
  EXPECT_EQ(p->cost, 2);
}

TEST_F(ScriptParser, DisabledSectionsHideTheirWords) {
  vars_->SetEnabled(false);
  EXPECT_EQ(script_.FindWord("a"), nullptr);
  vars_->SetEnabled(true);
  EXPECT_NE(script_.FindWord("A"), nullptr);
  EXPECT_THROW(script_.AddSection("test_variables"), EAListError);
}

}  // namespace
}  // namespace qdf::testing
