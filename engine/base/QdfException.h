// The engine's exception classes.
//
// Every error the engine reports is an exception: `Exception` is the runtime's
// general class (message + help context) that expression errors raise;
// `EQdfException` is the engine's own class. Help contexts that carry a meaning
// are listed as constants below; everything else uses 0.
#pragma once

#include <cstdarg>
#include <cstdint>
#include <exception>
#include <string>

namespace qdf {

// Help contexts of EQdfException.
inline constexpr int kHelpNone = 0;
inline constexpr int kHelpDataNotAllocated = 257;  // page without stored block
inline constexpr int kHelpReadOnlyReader = 258;    // change through a read-only reader
inline constexpr int kHelpReleasedPage = 259;      // cache page released meanwhile
inline constexpr int kHelpNoCachePage = 260;       // no cache page for a new page
inline constexpr int kHelpDuplicateKey = 261;      // a unique index holds the key already
inline constexpr int kHelpSyntax = 262;            // a statement the language does not accept
inline constexpr int kHelpUnknownName = 263;       // a statement names no existing object
inline constexpr int kHelpConstraint = 264;        // other objects depend on what would change

// printf-style formatting into a std::string (C locale).
std::string Format(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
std::string FormatV(const char* fmt, va_list args);

// The runtime's base exception: a message and an integer help context.
class Exception : public std::exception {
 public:
  explicit Exception(std::string message, int help_context = kHelpNone)
      : message_(std::move(message)), help_context_(help_context) {}

  const char* what() const noexcept override { return message_.c_str(); }
  const std::string& Message() const { return message_; }
  int HelpContext() const { return help_context_; }

 private:
  std::string message_;
  int help_context_;
};

// The engine's own error class.
class EQdfException : public Exception {
 public:
  explicit EQdfException(std::string message, int help_context = kHelpNone)
      : Exception(std::move(message), help_context) {}
  // Only a help context: empty message.
  explicit EQdfException(int help_context) : Exception(std::string(), help_context) {}

  // Formatted message with help context 0.
  static EQdfException Fmt(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
  // Formatted message with the given help context.
  static EQdfException FmtHelp(int help_context, const char* fmt, ...)
      __attribute__((format(printf, 2, 3)));
};

// A page that has no stored block: "Block: %x  not allocated", help context 257.
class EQdfDataNotAllocated : public EQdfException {
 public:
  explicit EQdfDataNotAllocated(uint32_t page);
  uint32_t Page() const { return page_; }

 private:
  uint32_t page_;
};

// Errors of THashList.
class EHashList : public Exception {
 public:
  using Exception::Exception;
};

// Errors of the template lists (index out of range, forbidden duplicates).
class EAListError : public Exception {
 public:
  using Exception::Exception;
};

// The runtime's conversion errors (text to number, version strings).
class EConvertError : public Exception {
 public:
  using Exception::Exception;
};

// The quiet abort: an operation was stopped on purpose (behind "Key Violation").
class EAbort : public Exception {
 public:
  using Exception::Exception;
};

// A failed engine assertion: "Assertion fehlges (<unit>, line <n>)".
class EAssertionFailed : public Exception {
 public:
  EAssertionFailed(const char* unit, int line);
  EAssertionFailed(const std::string& text, const char* unit, int line);
};

[[noreturn]] void AssertionFailed(const char* unit, int line);
[[noreturn]] void AssertionFailed(const char* text, const char* unit, int line);

}  // namespace qdf

// Engine assertion, always compiled in. `unit` names the source unit
// ("QdfBase", "QdfReader", ...). Marks states that correct callers never produce.
#define QDF_ASSERT(cond, unit)                \
  do {                                        \
    if (!(cond)) [[unlikely]]                 \
      ::qdf::AssertionFailed(unit, __LINE__); \
  } while (0)

// As QDF_ASSERT, with an explanatory text placed before the unit and line.
#define QDF_ASSERT_MSG(cond, text, unit)            \
  do {                                              \
    if (!(cond)) [[unlikely]]                       \
      ::qdf::AssertionFailed(text, unit, __LINE__); \
  } while (0)
