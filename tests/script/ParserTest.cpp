// Parser: precedence and grouping, overload choice through casts, and the
// exact text of every message.
#include <gtest/gtest.h>

#include <string>

#include "ScriptTestUtil.h"

namespace qdf::testing {
namespace {

using ScriptParser = ScriptFixture;

// Values and messages of texts over a = 1, b = 2, c = 3, d = 4, x = 0.5,
// y = 2.0, s = 'text': grouping and precedence, overload choice through
// casts, constants, functions, folding and rounding.
TEST_F(ScriptParser, ValuesAndMessagesAndDeeplyNestedTextsAreRejected) {
  const std::pair<const char*, const char*> cases[] = {
      // Binary operators group to the left; prefix ones bind tighter.
      {"1 - 2 - 3", "INTEGER -4"},
      {"2 * 3 - 1", "INTEGER 5"},
      {"1 - 2 * 3", "INTEGER -5"},
      {"10 - 2 + 3", "INTEGER 11"},
      {"a - b - c", "INTEGER -4"},
      {"d - b * c", "INTEGER -2"},
      {"(1 - 2) * 3", "INTEGER -3"},
      {"y - x - x", "DOUBLE 1"},
      {"'a' + 'b' + s", "PCHAR abtext"},
      {"-2 * 3", "INTEGER -6"},
      {"-a - b", "INTEGER -3"},
      {"1 - -a", "INTEGER 2"},
      {"- - 3", "INTEGER 3"},
      {"-x * y", "DOUBLE -1"},
      // not a = b groups as (not a) = b: "not" meets an INTEGER.
      {"not a = b", "!could not find matching cast for BOOLEAN operator not presented types: a"},
      {"not (a = b)", "BOOLEAN true"},
      {"not true = false",
       "!could not find matching cast for BOOLEAN operator = presented types: BOOLEAN operator "
       "not, false"},
      // Comparisons bind tighter than "and", "and" tighter than "or"; "or" and
      // "like" share a precedence and group to the left.
      {"a < b and c < d", "BOOLEAN true"},
      {"a > b or c > d", "BOOLEAN false"},
      {"a + 1 = b", "BOOLEAN true"},
      {"a = 1 or a = 2 and b = 3", "BOOLEAN true"},
      {"s like 't%' or s like 'x%'",
       "!could not find matching cast for BOOLEAN operator or presented types: BOOLEAN operator "
       "like, s"},
      {"(s like 't%') or (s like 'x%')", "BOOLEAN true"},
      {"'abc' like 'a%' and s = 'text'",
       "!could not find matching cast for BOOLEAN operator and presented types: PCHAR (a%), "
       "BOOLEAN operator ="},
      {"('abc' like 'a%') and s = 'text'", "BOOLEAN true"},
      {"s = 'text' and s <> 'x' or a = 5", "BOOLEAN true"},
      // INTEGER against DOUBLE takes the DOUBLE form; INT64 converts
      // numerically; date-times are doubles by relabelling.
      {"1 + 2.5", "DOUBLE 3.5"},
      {"a < x + 0.75", "BOOLEAN true"},
      {"x + 0.75 <= a", "BOOLEAN false"},
      {"3000000000 > a", "BOOLEAN true"},
      {"3000000000 + 1", "DOUBLE 3000000001"},
      {"ToStr(3000000000)", "PCHAR 3000000000"},
      {"Date(1900, 1, 1) * 2", "DOUBLE 4"},
      {"Date(1900, 1, 1) + 1", "DOUBLE 3"},
      {"ToStr(a)", "PCHAR 1"},
      {"ToStr(x)", "PCHAR 0.5"},
      {"ToInt('42')", "INTEGER 42"},
      {"ToInt(2.5)", "INTEGER 2"},
      {"ToBoolean('true')", "BOOLEAN true"},
      {"false", "BOOLEAN false"},
      // The types of the parser's value table (values of these kinds read "?").
      {"null", "NULLVAR ?"},
      {"2147483648", "INT64 ?"},
      {"unknown", "TOKEN unknown"},
      {"pi", "DOUBLE 3.141592653589793"},
      {"true and a = 1", "BOOLEAN true"},
      {"1 true", "!Operator expected between INTEGER (1) and true"},
      // Functions: nested, parenthesised and member-call arguments.
      {"Copy('abcdef', 2, 3)", "PCHAR bcd"},
      {"Copy(('abc'), (1), ((2)))", "PCHAR ab"},
      {"Round((2.5))", "INTEGER 2"},
      {"Round((2.5), (0))", "DOUBLE 3"},
      {"Upper(Copy(s, 1, a + 1))", "PCHAR TE"},
      {"Round(x * 5) + 1", "INTEGER 3"},
      {"'abc'.Upper", "PCHAR ABC"},
      {"s.Copy(2, 2)", "PCHAR ex"},
      {"s.Copy(2, 2).Upper + '!'", "PCHAR EX!"},
      {"Copy('abc')",
       "!could not find matching cast for PCHAR function Copy presented types: PCHAR (abc)"},
      {"Copy('abc', 1)",
       "!could not find matching cast for PCHAR function Copy presented types: PCHAR (abc), "
       "INTEGER (1)"},
      {"Upper('a', 'b')",
       "!could not find matching cast for PCHAR function Upper presented types: PCHAR (a), "
       "PCHAR (b)"},
      {"Round(1.5, 2, 3)",
       "!could not find matching cast for INTEGER function Round presented types: DOUBLE (1.5), "
       "INTEGER (2), INTEGER (3)"},
      {"Upper", "!( expected after PCHAR function Upper"},
      {"1 + Upper", "!( expected after PCHAR function Upper"},
      {"Upper()", "!TOKEN operator ) does nor bind to right side"},
      {"Copy('abcdef', 0, 2)", "PCHAR ab"},
      {"Copy('abcdef', -5, 2)", "PCHAR ab"},
      {"Copy('abcdef', 5, 10)", "PCHAR ef"},
      {"Copy('abcdef', 7, 1)", "PCHAR "},
      {"Copy('abcdef', 2, -1)", "PCHAR "},
      {"Upper('a\xE9z1')", "PCHAR A\xE9Z1"},
      // Integers wrap; rounding is to even for Round(x), away from zero with
      // a precision; Trunc keeps the low 32 bits.
      {"2147483647 + 1", "INTEGER -2147483648"},
      {"-2147483647 - 2", "INTEGER 2147483647"},
      {"65536 * 65536", "INTEGER 0"},
      {"-(a - 2147483647 - 2)", "INTEGER -2147483648"},
      {"Round(3.5)", "INTEGER 4"},
      {"Round(-2.5)", "INTEGER -2"},
      {"Round(2.6)", "INTEGER 3"},
      {"Round(1.25, 1)", "DOUBLE 1.3"},
      {"Round(-2.5, 0)", "DOUBLE -3"},
      {"Round(1234.5, -2)", "DOUBLE 1200"},
      {"Round(1.23456, 9)", "DOUBLE 1.23456"},
      {"Round(1.23456, -9)", "DOUBLE 1.23456"},
      {"Trunc(-1.7)", "INTEGER -1"},
      {"Trunc(1.7)", "INTEGER 1"},
      {"Trunc(4294967297.5)", "INTEGER 1"},
      {"Round(1e300)", "!Invalid floating point operation: 1e+300 out of integer range"},
      // Dates count days from 1899-12-30; folding errors are compile errors.
      {"Date(1899, 12, 30)", "DATETIME 0"},
      {"Date(2000, 1, 1)", "DATETIME 36526"},
      {"Date(1800, 1, 1)", "DATETIME -36522"},
      {"Time(12, 0, 0, 0)", "DATETIME 0.5"},
      {"Date(2000, 1, 1) + Time(6, 0, 0, 0)", "DATETIME 36526.25"},
      {"Time(24, 0, 0, 0)", "!Invalid argument to time encode"},
      {"Date(2000, 13, 1)", "!Invalid argument to date encode"},
      {"Date(2023, 2, 29)", "!Invalid argument to date encode"},
      {"ToInt('abc')", "!'abc' is not a valid integer value"},
      // Text compares byte-wise, unsigned and case-sensitive.
      {"'B' < 'a'", "BOOLEAN true"},
      {"'abc' = 'ABC'", "BOOLEAN false"},
      {"'ab' < 'abc'", "BOOLEAN true"},
      {"1.5 >= 1.5 and 2.5 <> 2 and x <= 2", "BOOLEAN true"},
      {"a <> b and a <= b and b >= a and b > a and a < b", "BOOLEAN true"},
      // Parser messages.
      {"", "!Value expected"},
      {"-", "!Value expected"},
      {"1 + -", "!Value expected"},
      {"1 + ,", "!VALUE expected"},
      {"()", "!TOKEN operator ) does nor bind to right side"},
      {"1 + )", "!TOKEN operator ) does nor bind to right side"},
      {"1)", "!unmatched pair - left missing"},
      {"(1))", "!unmatched pair - left missing"},
      {"(1", "!unmatched pair - right missing"},
      {"((1)", "!unmatched pair - right missing"},
      {"Upper('a'", "!unmatched pair - right missing"},
      {"1 2", "!Operator expected between INTEGER (1) and INTEGER (2)"},
      {"1 'x'", "!Operator expected between INTEGER (1) and PCHAR (x)"},
      {"a (b)", "!Operator expected between a and TOKEN operator ("},
      {"1 Upper('a')", "!Operator expected between INTEGER (1) and PCHAR function Upper"},
      {"1 not 2", "!Operator expected between INTEGER (1) and BOOLEAN operator not"},
      {"2.5 unknown", "!Operator expected between DOUBLE (2.5) and TOKEN (unknown)"},
      {"1 +", "!Term INTEGER (1) INTEGER operator + not complete, Value expected"},
      {"a * b =", "!Term b BOOLEAN operator = not complete, Value expected"},
      {"1, 2", "!Invalid delimiter: ,"},
      {"(1, 2)", "!Invalid delimiter: ,"},
      {"1.", "!. no function call"},
      {"a.b", "!. no function call"},
      {"1 = 'a'",
       "!could not find matching cast for BOOLEAN operator = presented types: INTEGER (1), "
       "PCHAR (a)"},
      {"a + 'x'",
       "!could not find matching cast for INTEGER operator + presented types: a, PCHAR (x)"},
      {"abc = 'x'",
       "!could not find matching cast for BOOLEAN operator = presented types: TOKEN (abc), "
       "PCHAR (x)"},
      {"true + 1.5",
       "!could not find matching cast for INTEGER operator + presented types: true, "
       "DOUBLE (1.5)"},
      {"-'a'", "!could not find matching cast for INTEGER operator - presented types: PCHAR (a)"},
  };
  for (const auto& [text, expected] : cases) EXPECT_EQ(Value(text), expected) << text;
  x_ = 0.5;
  s_ = "\xE9t\xE9";
  EXPECT_EQ(Value("s > 'z'"), "BOOLEAN true");
  // Values with no fraction left at that precision stay as they are.
  for (double v : {1e308, -1e308, 1e300, 4503599627370497.0}) {
    x_ = v;
    EXPECT_EQ(Value("Round(x, 8) = x and Round(x, 1) = x"), "BOOLEAN true") << v;
  }
  EXPECT_TRUE(Build("null")->InheritsFrom(TvNull::kClass));
  EXPECT_EQ(script_.FindWord("pi")->Flags(), kWfLiteral);
  // Deeply nested texts are rejected before the stack runs out.
  std::string ok, deep;
  for (int i = 0; i < 400; ++i) ok += "-(";
  ok += "a";
  for (int i = 0; i < 400; ++i) ok += ")";
  EXPECT_EQ(EvalInt(ok), 1);
  for (int i = 0; i < 1200; ++i) deep += "- ";
  deep += "a";
  EXPECT_EQ(Value(deep), "!Expression too deeply nested");
}

TEST_F(ScriptParser, SectionsAddPairsOfOtherShapesAndPostfixWordsOrHideTheirWords) {
  // A pair whose halves have different types.
  TScriptWords* extra = script_.AddSection("TEST_EXTRA");
  script_.AddWord(extra, "]", nullptr, kWfPair | kWfClosing, 255, {}, kTypeNull);
  EXPECT_EQ(Value("(1]"), "!unmatched pair - left <> right");
  // A postfix operator: binds to the left only.
  script_.AddWord(extra, "!", &TiNeg::kClass, kWfClosing, 20, {kTypeInteger}, kTypeInteger);
  EXPECT_EQ(EvalInt("a! + 5"), 4);
  EXPECT_EQ(EvalInt("2 * b!"), -4);
  // A closing word that has only prefix forms.
  script_.AddWord(extra, "~", &TiNeg::kClass, kWfClosing | kWfPrefix, 20, {kTypeInteger},
                  kTypeInteger);
  EXPECT_EQ(Value("a~"), "!linke Seite falsch");
  // A disabled section hides its words; section names are unique.
  vars_->SetEnabled(false);
  EXPECT_EQ(script_.FindWord("a"), nullptr);
  vars_->SetEnabled(true);
  EXPECT_NE(script_.FindWord("A"), nullptr);
  EXPECT_THROW(script_.AddSection("test_variables"), EAListError);
}

TEST_F(ScriptParser, CastTableClosure) {
  script_.CompileText("1");
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
  EXPECT_EQ(Value("ToStr(Date(2000, 1, 2))"), "PCHAR 36527");

  // Removing a cast word invalidates the table; the next parse rebuilds it
  // and finds the longer way round.
  TScriptWord* direct = nullptr;
  for (TScriptWord* w = script_.Book().ChainHead(kCastWordName); w; w = w->Next())
    if (w->ArgTypes()[0] == kTypeInteger && w->ResultType() == kTypeDouble) direct = w;
  ASSERT_NE(direct, nullptr);
  direct->Section()->DeleteWord(direct);
  EXPECT_FALSE(script_.CastsValid());
  EXPECT_EQ(Value("1 + 2.5"), "DOUBLE 3.5");
  p = script_.FindCast(kTypeInteger, kTypeDouble);
  ASSERT_NE(p, nullptr);
  EXPECT_EQ(p->steps.size(), 2u);  // INTEGER -> INT64 -> DOUBLE
  EXPECT_EQ(p->cost, 2);
}

}  // namespace
}  // namespace qdf::testing
