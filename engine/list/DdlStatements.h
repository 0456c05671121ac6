// The data-definition statements a storage runs (TQdfStorage::Execute).
#pragma once

#include <string>

namespace qdf {

}  // namespace qdf
