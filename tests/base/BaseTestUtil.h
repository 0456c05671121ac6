// Helpers shared by the tests of the runtime layer.
#pragma once

#include <string>

#include "base/QdfException.h"

namespace qdf_test {

// The message of the runtime exception E (or one derived from it) that f
// raises, or "<no error>".
template <typename E = qdf::Exception, typename F>
std::string TextOf(F&& f) {
  try {
    f();
  } catch (const E& e) {
    return e.what();
  }
  return "<no error>";
}

}  // namespace qdf_test
