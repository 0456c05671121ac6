// Random texts from the token alphabet either compile or raise Exception;
// they never crash, hang or leak (run under the sanitizers). The count comes
// from QDF_FUZZ_ITERATIONS (default 20000).
#include <gtest/gtest.h>

#include <random>
#include <string>

#include "EnvSize.h"
#include "ScriptTestUtil.h"

namespace qdf::testing {
namespace {

using ScriptFuzz = ScriptFixture;

long Iterations() { return qdf_test::EnvSize("QDF_FUZZ_ITERATIONS", 20000); }

TEST_F(ScriptFuzz, RandomTextsCompileOrRaise) {
  static const char* const kPieces[] = {
      "1",       "0",       "2147483647", "2147483648", "9223372036854775808",
      "1.5",     "2e3",     "1.",         "12abc",      "'ab'",
      "'x' 'y'", "\"q\"",   "'\\#n'",     "'open",      "a",
      "b",       "x",       "s",          "pi",         "true",
      "false",   "null",    "unknown",    "+",          "-",
      "*",       "=",       "<>",         "<",          ">",
      "<=",      ">=",      "and",        "or",         "not",
      "like",    "(",       ")",          ",",          ".",
      "[",       "]",       "Copy",       "Upper",      "ToStr",
      "ToInt",   "ToFloat", "ToBoolean",  "Round",      "Trunc",
      "Date",    "Time",    "/*",         "*/",         "//",
      "\n",      " ",       "%",          "#",          "::",
      "'%a_'",   "@",       ";",          "\\",         "\x01",
      "Upper(",  "Copy(s,",
  };
  constexpr size_t kCount = sizeof kPieces / sizeof kPieces[0];
  std::mt19937 rng(12345);
  const int iterations = Iterations();
  int compiled = 0;
  for (int i = 0; i < iterations; ++i) {
    const int length = 1 + static_cast<int>(rng() % 12);
    std::string text;
    for (int k = 0; k < length; ++k) {
      text += kPieces[rng() % kCount];
      if (rng() % 3 == 0) text += ' ';
    }
    try {
      script_.CompileText(text);
      std::unique_ptr<TvNode> node = script_.TakeResult();
      ASSERT_NE(node, nullptr) << text;
      ++compiled;
      try {
        if (!node->IsConstant()) node->Evaluate();
        TVariant v;
        node->GetVariant(v);
      } catch (const Exception&) {
        // Conversion errors at run time are fine.
      }
    } catch (const Exception&) {
    }
  }
  // The alphabet is rich enough that some texts compile.
  if (iterations >= 1000) {
    EXPECT_GT(compiled, 0);
  }
}

TEST_F(ScriptFuzz, RandomBytesScanOrRaise) {
  static const char kAlphabet[] = "0123456789eE.abcsxyz_'\"()[]{}@,;<>=+-*/~!|$%&?:#^\\ \n\r\t";
  constexpr size_t kCount = sizeof kAlphabet - 1;
  std::mt19937 rng(54321);
  const int iterations = Iterations();
  for (int i = 0; i < iterations; ++i) {
    const int length = 1 + static_cast<int>(rng() % 24);
    std::string text;
    for (int k = 0; k < length; ++k) text += kAlphabet[rng() % kCount];
    try {
      script_.CompileText(text);
      std::unique_ptr<TvNode> node = script_.TakeResult();
      ASSERT_NE(node, nullptr) << text;
      if (!node->IsConstant()) node->Evaluate();
    } catch (const Exception&) {
    }
  }
}

}  // namespace
}  // namespace qdf::testing
