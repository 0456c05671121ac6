#include "list/DdlStatements.h"

#include "base/QdfException.h"
#include "list/Storage.h"

namespace qdf {

void TQdfStorage::Execute(const std::string&) {
  throw EQdfException("statements are being built");
}

}  // namespace qdf
