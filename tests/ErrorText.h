// What an engine error looks like to a test: its message and help context.
#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "base/QdfException.h"

namespace qdf_test {

// The message of the EQdfException that f raises, or "<no error>"; its help
// context goes to `help` when given.
inline std::string MessageOf(const std::function<void()>& f, int* help = nullptr) {
  try {
    f();
  } catch (const qdf::EQdfException& e) {
    if (help != nullptr) *help = e.HelpContext();
    return e.Message();
  }
  return "<no error>";
}

// Success when f raises an EQdfException whose message contains `part` and,
// when `help` is not negative, whose help context is `help`. Any other
// outcome (no error, another exception, another text) is a failure that
// says what happened instead.
inline ::testing::AssertionResult RaisesQdf(const std::function<void()>& f, const std::string& part,
                                            int help = -1) {
  try {
    f();
  } catch (const qdf::EQdfException& e) {
    if (e.Message().find(part) == std::string::npos) {
      return ::testing::AssertionFailure()
             << "raised \"" << e.Message() << "\", expected a message with \"" << part << "\"";
    }
    if (help >= 0 && e.HelpContext() != help) {
      return ::testing::AssertionFailure() << "raised \"" << e.Message() << "\" with help context "
                                           << e.HelpContext() << ", expected " << help;
    }
    return ::testing::AssertionSuccess();
  } catch (const std::exception& e) {
    return ::testing::AssertionFailure() << "raised another exception: " << e.what();
  }
  return ::testing::AssertionFailure() << "raised nothing, expected \"" << part << "\"";
}

}  // namespace qdf_test

// EXPECT_QDF_ERROR(statement, "part of the message") and the variant with a
// help context: the statement must raise the engine's error.
#define EXPECT_QDF_ERROR(statement, part) \
  EXPECT_TRUE(::qdf_test::RaisesQdf([&] { statement; }, part))
#define EXPECT_QDF_ERROR_HELP(statement, part, help) \
  EXPECT_TRUE(::qdf_test::RaisesQdf([&] { statement; }, part, help))
