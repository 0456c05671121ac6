// Sizes of long random and crash loops: modest by default so the sanitizer
// suite stays quick, larger from the environment for runs by hand.
#pragma once

#include <cstdlib>

namespace qdf_test {

// The positive number in environment variable `name`, or `fallback` when it
// is unset, empty, not a number or not positive.
inline long EnvSize(const char* name, long fallback) {
  const char* v = std::getenv(name);
  if (v == nullptr || *v == '\0') return fallback;
  char* end = nullptr;
  const long n = std::strtol(v, &end, 10);
  return end != v && *end == '\0' && n > 0 ? n : fallback;
}

}  // namespace qdf_test
