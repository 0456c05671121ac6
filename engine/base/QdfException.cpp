#include "base/QdfException.h"

#include <cstdio>
#include <vector>

namespace qdf {

std::string FormatV(const char* fmt, va_list args) {
  va_list copy;
  va_copy(copy, args);
  char small[256];
  int n = std::vsnprintf(small, sizeof small, fmt, copy);
  va_end(copy);
  if (n < 0) return std::string(fmt);
  if (static_cast<size_t>(n) < sizeof small) return std::string(small, n);
  std::string out(static_cast<size_t>(n), '\0');
  std::vsnprintf(out.data(), out.size() + 1, fmt, args);
  return out;
}

std::string Format(const char* fmt, ...) {
  va_list args;
  va_start(args, fmt);
  std::string s = FormatV(fmt, args);
  va_end(args);
  return s;
}

EQdfException EQdfException::Fmt(const char* fmt, ...) {
  va_list args;
  va_start(args, fmt);
  std::string s = FormatV(fmt, args);
  va_end(args);
  return EQdfException(std::move(s), kHelpNone);
}

EQdfException EQdfException::FmtHelp(int help_context, const char* fmt, ...) {
  va_list args;
  va_start(args, fmt);
  std::string s = FormatV(fmt, args);
  va_end(args);
  return EQdfException(std::move(s), help_context);
}

EQdfDataNotAllocated::EQdfDataNotAllocated(uint32_t page)
    : EQdfException(Format("Block: %x  not allocated", page), kHelpDataNotAllocated), page_(page) {}

EAssertionFailed::EAssertionFailed(const char* unit, int line)
    : Exception(Format("Assertion fehlges (%s, line %d)", unit, line)) {}

EAssertionFailed::EAssertionFailed(const std::string& text, const char* unit, int line)
    : Exception(Format("%s: Assertion fehlges (%s, line %d)", text.c_str(), unit, line)) {}

void AssertionFailed(const char* unit, int line) { throw EAssertionFailed(unit, line); }

void AssertionFailed(const char* text, const char* unit, int line) {
  throw EAssertionFailed(text, unit, line);
}

}  // namespace qdf
