// The message of the engine error a call raises, for tests that check texts.
#pragma once

#include <functional>
#include <string>

#include "base/QdfException.h"

namespace qdf_test {

// The message of the EQdfException that f raises, or "<no error>".
inline std::string MessageOf(const std::function<void()>& f) {
  try {
    f();
  } catch (const qdf::EQdfException& e) {
    return e.Message();
  }
  return "<no error>";
}

}  // namespace qdf_test
