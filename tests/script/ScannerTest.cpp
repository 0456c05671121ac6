// Scanner: numbers, strings, operator runs, comments and scan errors.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "ScriptTestUtil.h"
#include "base/BaseTestUtil.h"

namespace qdf::testing {
namespace {

struct Scanned {
  uint16_t flags;
  TScriptType type;
  std::string text;
};

class ScriptScanner : public ScriptFixture {
 protected:
  std::vector<Scanned> Scan(const std::string& text) {
    script_.Scan(text);
    std::vector<Scanned> out;
    for (TParseItem* i = script_.Result().Head(); i != nullptr; i = i->next)
      out.push_back({i->info.flags, i->info.type, i->info.text});
    return out;
  }
  std::vector<std::string> Texts(const std::string& text) {
    std::vector<std::string> out;
    for (const Scanned& s : Scan(text)) out.push_back(s.text);
    return out;
  }
  std::string ScanError(const std::string& text) {
    return qdf_test::TextOf([&] { script_.Scan(text); });
  }
};

TEST_F(ScriptScanner, IntegerLiteralTypesAtTheBorders) {
  struct Case {
    const char* text;
    TScriptType type;
  } cases[] = {
      {"0", kTypeInteger},
      {"2147483647", kTypeInteger},
      {"2147483648", kTypeInt64},
      {"9223372036854775807", kTypeInt64},
      {"9223372036854775808", kTypeDouble},   // 2^63
      {"18446744073709551615", kTypeDouble},  // 2^64 - 1
      {"18446744073709551616", kTypeDouble},  // overflows 64 bits
      {"99999999999999999999", kTypeDouble},
      {"1.5", kTypeDouble},
      {"1e5", kTypeDouble},
      {"1E+5", kTypeDouble},
      {"2.5e-3", kTypeDouble},
  };
  for (const Case& c : cases) {
    auto items = Scan(c.text);
    ASSERT_EQ(items.size(), 1u) << c.text;
    EXPECT_EQ(items[0].flags, kWfLiteral) << c.text;
    EXPECT_EQ(items[0].type, c.type) << c.text;
    EXPECT_EQ(items[0].text, c.text);
  }
  script_.Scan("2147483647 2147483648 9223372036854775807 2.5e-3");
  TParseItem* i = script_.Result().Head();
  EXPECT_EQ(i->info.value.i, 2147483647);
  EXPECT_EQ(i->next->info.value.i64, int64_t{2147483648});
  EXPECT_EQ(i->next->next->info.value.i64, INT64_MAX);
  EXPECT_DOUBLE_EQ(i->next->next->next->info.value.d, 0.0025);
}

TEST_F(ScriptScanner, NumberEndings) {
  // "1." is the integer 1 and the operator ".".
  auto items = Scan("1.");
  ASSERT_EQ(items.size(), 2u);
  EXPECT_EQ(items[0].type, kTypeInteger);
  EXPECT_EQ(items[0].text, "1");
  EXPECT_EQ(items[1].text, ".");
  EXPECT_EQ(items[1].flags, kWfMember);
  // An exponent without digits or a letter after the number: no number.
  EXPECT_EQ(ScanError("1.5e"), "Error at: 1.5e");
  EXPECT_EQ(ScanError("12E"), "Error at: 12E");
  EXPECT_EQ(ScanError("1e+"), "Error at: 1e+");
  EXPECT_EQ(ScanError("12abc"), "Error at: 12abc");
  EXPECT_EQ(ScanError("1 + 12_x"), "Error at: 12_x");
  // A leading sign is the prefix operator.
  EXPECT_EQ(Texts("-5"), (std::vector<std::string>{"-", "5"}));
  // A real literal beyond the double range is rejected when converted.
  EXPECT_EQ(ScanError("1e999"), "'1e999' is not a valid floating point value");
  EXPECT_EQ(Scan("1e-999")[0].type, kTypeDouble);
}

TEST_F(ScriptScanner, StringsJoinAdjacentPiecesAndUnescape) {
  struct Case {
    const char* text;
    const char* value;
  } cases[] = {
      {"'abc'", "abc"},
      {"\"abc\"", "abc"},
      {"'ab''cd'", "abcd"},  // a doubled quote joins two pieces
      {"'ab' 'cd'", "abcd"},
      {"'ab'\r\n  'cd'", "abcd"},  // also across line ends
      {"'a\"b'", "a\"b"},          // the other quote is ordinary
      {"'a\\'b'", "a'b"},
      {"\"a\\\"b\"", "a\"b"},
      {"'a\\\nb'", "ab"},  // line continuation
      {"'a\\\r\nb'", "ab"},
      {"'\\#n\\#L\\#c\\#T'", "\r\n\n\r\t"},
      {"'\\#''", "'"},
      {"'\\##'", "\\#"},
      {"'\\#x'", "\\#x"},
      {"'a\\b'", "a\\b"},
      {"''", ""},
  };
  for (const Case& c : cases) {
    auto items = Scan(c.text);
    ASSERT_EQ(items.size(), 1u) << c.text;
    EXPECT_EQ(items[0].flags, kWfLiteral);
    EXPECT_EQ(items[0].type, kTypePChar);
    EXPECT_EQ(items[0].text, c.value) << c.text;
  }
  // Two pieces with different quotes stay two strings.
  EXPECT_EQ(Texts("'a' \"b\""), (std::vector<std::string>{"a", "b"}));
}

TEST_F(ScriptScanner, UnterminatedStringsFail) {
  EXPECT_EQ(ScanError("'abc"), "Error at: 'abc");
  EXPECT_EQ(ScanError("'ab\ncd'"), "Error at: 'ab\ncd'");
  EXPECT_EQ(ScanError("'ab\rcd'"), "Error at: 'ab\rcd'");
  EXPECT_EQ(ScanError("'ab\\\rcd'"), "Error at: 'ab\\\rcd'");
  EXPECT_EQ(ScanError("x = 'ab\\"), "Error at: 'ab\\");
}

TEST_F(ScriptScanner, OperatorRuns) {
  EXPECT_EQ(Texts("a<=b"), (std::vector<std::string>{"a", "<=", "b"}));
  EXPECT_EQ(Texts("a>=b"), (std::vector<std::string>{"a", ">=", "b"}));
  EXPECT_EQ(Texts("a<>b"), (std::vector<std::string>{"a", "<>", "b"}));
  EXPECT_EQ(Texts("a==b"), (std::vector<std::string>{"a", "==", "b"}));
  EXPECT_EQ(Texts(">>="), (std::vector<std::string>{">>="}));
  EXPECT_EQ(Texts("+="), (std::vector<std::string>{"+="}));
  EXPECT_EQ(Texts("--"), (std::vector<std::string>{"--"}));
  EXPECT_EQ(Texts("+-"), (std::vector<std::string>{"+", "-"}));
  EXPECT_EQ(Texts("=>"), (std::vector<std::string>{"=", ">"}));
  EXPECT_EQ(Texts("a<-1"), (std::vector<std::string>{"a", "<", "-", "1"}));
  EXPECT_EQ(Texts("((a))"), (std::vector<std::string>{"(", "(", "a", ")", ")"}));
  EXPECT_EQ(Texts("-("), (std::vector<std::string>{"-", "("}));
  EXPECT_EQ(Texts("::"), (std::vector<std::string>{"::"}));
  EXPECT_EQ(Texts("[]{}@;^"), (std::vector<std::string>{"[", "]", "{", "}", "@", ";", "^"}));
  // Known operators are bound to their word; unknown ones become TOKEN values.
  auto items = Scan("a + b # c");
  EXPECT_EQ(items[1].flags, kWfOperator);
  EXPECT_EQ(items[3].flags, kWfNamed);
  EXPECT_EQ(items[3].type, kTypeToken);
  // Words are found without regard to case.
  EXPECT_EQ(Scan("NOT")[0].flags, kWfOperator | kWfPrefix);
  EXPECT_EQ(Scan("unknownName")[0].type, kTypeToken);
}

TEST_F(ScriptScanner, Comments) {
  EXPECT_EQ(Texts("1 /* c */ + 2"), (std::vector<std::string>{"1", "+", "2"}));
  EXPECT_EQ(Texts("1 /* a /* b */ c */ + 2"), (std::vector<std::string>{"1", "+", "2"}));
  EXPECT_EQ(Texts("1 // rest\n+ 2"), (std::vector<std::string>{"1", "+", "2"}));
  EXPECT_EQ(Texts("1 // rest"), (std::vector<std::string>{"1"}));
  EXPECT_EQ(Texts("a / b"), (std::vector<std::string>{"a", "/", "b"}));
  EXPECT_EQ(Texts("/**/1"), (std::vector<std::string>{"1"}));
  // Unterminated, also when only the inner comment is closed.
  EXPECT_EQ(ScanError("1 /* open"), "Error at: /* open");
  EXPECT_EQ(ScanError("/* a /* b */"), "Error at: /* a /* b */");
}

TEST_F(ScriptScanner, ScanErrors) {
  EXPECT_EQ(ScanError("1 \\ 2"), "unexpected Char");
  EXPECT_EQ(ScanError("`"), "unexpected Char");
  EXPECT_EQ(ScanError("\x80"), "unexpected Char");
  // At most 100 characters of context.
  const std::string long_text = "'" + std::string(300, 'x');
  EXPECT_EQ(ScanError(long_text), "Error at: " + long_text.substr(0, 100));
  // A zero byte ends the text.
  EXPECT_EQ(Texts(std::string("1 + 2\0 garbage `", 16)), (std::vector<std::string>{"1", "+", "2"}));
  script_.SetReceiver(nullptr);
  EXPECT_EQ(ScanError("1"), "no Context for parsing");
}

TEST_F(ScriptScanner, ScanReplacesThePreviousItems) {
  Scan("1 + 2");
  EXPECT_EQ(Texts("3").size(), 1u);
  EXPECT_TRUE(Texts("   ").empty());
  EXPECT_TRUE(Texts("").empty());
}

}  // namespace
}  // namespace qdf::testing
