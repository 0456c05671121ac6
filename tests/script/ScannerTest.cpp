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
  // The texts of the items joined by '|', or "!" and the message of the
  // error the scan raises (the items of an earlier scan are gone).
  std::string Texts(const std::string& text) {
    std::string out;
    const std::string error = qdf_test::TextOf([&] {
      for (const Scanned& s : Scan(text)) out += (out.empty() ? "" : "|") + s.text;
    });
    return error == "<no error>" ? out : "!" + error;
  }
};

TEST_F(ScriptScanner, ItemsAndErrorsOfTexts) {
  const std::string long_text = "'" + std::string(300, 'x');
  const std::pair<std::string, std::string> cases[] = {
      // "1." is the integer 1 and the operator "."; a leading sign is an operator.
      {"1.", "1|."},
      {"-5", "-|5"},
      // An exponent without digits or a letter after the number: no number.
      {"1.5e", "!Error at: 1.5e"},
      {"12E", "!Error at: 12E"},
      {"1e+", "!Error at: 1e+"},
      {"12abc", "!Error at: 12abc"},
      {"1 + 12_x", "!Error at: 12_x"},
      {"1e999", "!'1e999' is not a valid floating point value"},
      // Strings: adjacent pieces with the same quote join, escapes unfold.
      {"'abc'", "abc"},
      {"\"abc\"", "abc"},
      {"'ab''cd'", "abcd"},
      {"'ab' 'cd'", "abcd"},
      {"'ab'\r\n  'cd'", "abcd"},
      {"'a\"b'", "a\"b"},
      {"'a\\'b'", "a'b"},
      {"\"a\\\"b\"", "a\"b"},
      {"'a\\\nb'", "ab"},
      {"'a\\\r\nb'", "ab"},
      {"'\\#n\\#L\\#c\\#T'", "\r\n\n\r\t"},
      {"'\\#''", "'"},
      {"'\\##'", "\\#"},
      {"'\\#x'", "\\#x"},
      {"'a\\b'", "a\\b"},
      {"'a' \"b\"", "a|b"},
      {"'abc", "!Error at: 'abc"},
      {"'ab\ncd'", "!Error at: 'ab\ncd'"},
      {"'ab\rcd'", "!Error at: 'ab\rcd'"},
      {"'ab\\\rcd'", "!Error at: 'ab\\\rcd'"},
      {"x = 'ab\\", "!Error at: 'ab\\"},
      // Operator runs: the longest known operator.
      {"a<=b", "a|<=|b"},
      {"a>=b", "a|>=|b"},
      {"a<>b", "a|<>|b"},
      {"a==b", "a|==|b"},
      {">>=", ">>="},
      {"+=", "+="},
      {"--", "--"},
      {"+-", "+|-"},
      {"=>", "=|>"},
      {"a<-1", "a|<|-|1"},
      {"((a))", "(|(|a|)|)"},
      {"-(", "-|("},
      {"::", "::"},
      {"[]{}@;^", "[|]|{|}|@|;|^"},
      // Comments, nested; unterminated also when only the inner one closes.
      {"1 /* c */ + 2", "1|+|2"},
      {"1 /* a /* b */ c */ + 2", "1|+|2"},
      {"1 // rest\n+ 2", "1|+|2"},
      {"1 // rest", "1"},
      {"a / b", "a|/|b"},
      {"/**/1", "1"},
      {"1 /* open", "!Error at: /* open"},
      {"/* a /* b */", "!Error at: /* a /* b */"},
      {"1 \\ 2", "!unexpected Char"},
      {"`", "!unexpected Char"},
      {"\x80", "!unexpected Char"},
      // At most 100 characters of context; a zero byte ends the text.
      {long_text, "!Error at: " + long_text.substr(0, 100)},
      {std::string("1 + 2\0 garbage `", 16), "1|+|2"},
      {"   ", ""},
      {"", ""},
  };
  for (const auto& [text, expected] : cases) EXPECT_EQ(Texts(text), expected) << text;
  script_.SetReceiver(nullptr);
  EXPECT_EQ(Texts("1"), "!no Context for parsing");
}

TEST_F(ScriptScanner, LiteralTypesAndFlags) {
  const std::pair<const char*, TScriptType> numbers[] = {
      {"0", kTypeInteger},
      {"2147483647", kTypeInteger},
      {"2147483648", kTypeInt64},
      {"9223372036854775807", kTypeInt64},
      {"9223372036854775808", kTypeDouble},   // 2^63
      {"18446744073709551615", kTypeDouble},  // 2^64 - 1
      {"18446744073709551616", kTypeDouble},  // overflows 64 bits
      {"1.5", kTypeDouble},
      {"1E+5", kTypeDouble},
      {"1e-999", kTypeDouble},
      {"''", kTypePChar},
  };
  for (const auto& [text, type] : numbers) {
    auto items = Scan(text);
    ASSERT_EQ(items.size(), 1u) << text;
    EXPECT_EQ(items[0].flags, kWfLiteral) << text;
    EXPECT_EQ(items[0].type, type) << text;
  }
  script_.Scan("2147483647 2147483648 9223372036854775807 2.5e-3");
  TParseItem* i = script_.Result().Head();
  EXPECT_EQ(i->info.value.i, 2147483647);
  EXPECT_EQ(i->next->info.value.i64, int64_t{2147483648});
  EXPECT_EQ(i->next->next->info.value.i64, INT64_MAX);
  EXPECT_DOUBLE_EQ(i->next->next->next->info.value.d, 0.0025);
  // Known operators are bound to their word, found without regard to case;
  // unknown ones become TOKEN values.
  auto items = Scan("a + b # c . NOT unknownName");
  EXPECT_EQ(items[1].flags, kWfOperator);
  EXPECT_EQ(items[3].flags, kWfNamed);
  EXPECT_EQ(items[3].type, kTypeToken);
  EXPECT_EQ(items[5].flags, kWfMember);
  EXPECT_EQ(items[6].flags, kWfOperator | kWfPrefix);
  EXPECT_EQ(items[7].type, kTypeToken);
}

}  // namespace
}  // namespace qdf::testing
