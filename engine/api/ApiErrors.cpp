// Engine exceptions as public errors: by help context where the engine
// gives one, by the exception's class, and for the few messages without
// either that a program must tell apart, by the message.
#include <cstring>
#include <string>
#include <typeinfo>

#include "api/ApiImpl.h"
#include "base/QdfException.h"

namespace dbquillon {

const char* ToString(ErrorCode code) {
  switch (code) {
    case ErrorCode::DuplicateKey:
      return "DuplicateKey";
    case ErrorCode::Busy:
      return "Busy";
    case ErrorCode::NotFound:
      return "NotFound";
    case ErrorCode::ReadOnly:
      return "ReadOnly";
    case ErrorCode::Syntax:
      return "Syntax";
    case ErrorCode::Type:
      return "Type";
    case ErrorCode::Range:
      return "Range";
    case ErrorCode::Io:
      return "Io";
    case ErrorCode::Damaged:
      return "Damaged";
    case ErrorCode::Constraint:
      return "Constraint";
    case ErrorCode::Misuse:
      return "Misuse";
    case ErrorCode::Internal:
      return "Internal";
  }
  return "Internal";
}

namespace detail {

std::recursive_mutex& ApiLock() {
  static std::recursive_mutex lock;
  return lock;
}

void Fail(ErrorCode code, const std::string& message) { throw Error(code, message); }

namespace {

bool StartsWith(const std::string& s, const char* prefix) {
  return s.compare(0, std::strlen(prefix), prefix) == 0;
}

ErrorCode CodeOf(const qdf::Exception& e) {
  const std::string& m = e.Message();
  switch (e.HelpContext()) {
    case qdf::kHelpDuplicateKey:
      return ErrorCode::DuplicateKey;
    case qdf::kHelpReadOnlyReader:
      return ErrorCode::ReadOnly;
    case qdf::kHelpDataNotAllocated:
      return ErrorCode::Damaged;
    case qdf::kHelpSyntax:
      return ErrorCode::Syntax;
    case qdf::kHelpUnknownName:
      return ErrorCode::NotFound;
    case qdf::kHelpConstraint:
      return ErrorCode::Constraint;
    default:
      break;
  }
  if (dynamic_cast<const qdf::EConvertError*>(&e) != nullptr) return ErrorCode::Type;
  // A broken invariant or a list structure that does not hold together:
  // what the engine meets in a file that is not sound.
  if (dynamic_cast<const qdf::EAssertionFailed*>(&e) != nullptr ||
      dynamic_cast<const qdf::EAListError*>(&e) != nullptr ||
      dynamic_cast<const qdf::EHashList*>(&e) != nullptr) {
    return ErrorCode::Damaged;
  }
  // Raised below the layers this one may change (the filer's).
  if (m == "Only one Write-Transaction allowed" || m.find("locked by another writer") != m.npos) {
    return ErrorCode::Busy;
  }
  if (StartsWith(m, "cannot open file: ")) return ErrorCode::Io;
  if (m.find("is not a dbQuillon-File") != m.npos) return ErrorCode::Damaged;
  if (StartsWith(m, "Parameter :")) return ErrorCode::Misuse;
  if (StartsWith(m, "Objekt: ") && m.find("existiert nicht") != m.npos) return ErrorCode::NotFound;
  // The expression compiler raises the runtime's plain class.
  if (typeid(e) == typeid(qdf::Exception)) return ErrorCode::Syntax;
  return ErrorCode::Internal;
}

}  // namespace

Error Translate(const qdf::Exception& e) { return Error(CodeOf(e), e.Message(), e.HelpContext()); }

}  // namespace detail
}  // namespace dbquillon
