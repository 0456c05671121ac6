// Scanner: numbers, strings, operator runs, comments and scan errors.
#include <gtest/gtest.h>

#include <string>

#include "ScriptTestUtil.h"
#include "base/BaseTestUtil.h"

namespace qdf::testing {
namespace {

class ScriptScanner : public ScriptFixture {
 protected:
  // The texts of the items joined by '|', or "!" and the message of the
  // error the scan raises (the items of an earlier scan are gone).
  std::string Texts(const std::string& text) {
    std::string out;
    const std::string error = qdf_test::TextOf([&] {
      script_.Scan(text);
      for (TParseItem* i = script_.Result().Head(); i != nullptr; i = i->next) {
        out += (out.empty() ? "" : "|") + i->info.text;
      }
    });
    return error == "<no error>" ? out : "!" + error;
  }
};

TEST_F(ScriptScanner, ItemsAndErrorsOfTexts) {
  // Integer literals past 64 bits, or past the signed range, are doubles.
  for (const char* big : {"9223372036854775808", "18446744073709551616"}) {
    script_.Scan(big);
    EXPECT_EQ(script_.Result().Head()->info.type, kTypeDouble) << big;
  }
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

}  // namespace
}  // namespace qdf::testing
