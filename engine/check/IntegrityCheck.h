// The integrity check of a database file.
//
// CheckDatabase opens the file read-only and walks it twice: first as stored
// blocks (header, page table, every page read, expanded and stamped right,
// no two blocks overlapping, the free list's blocks apart from the live
// ones), then as objects (every page list's chain, slotted areas, B-trees,
// each index against its table, the object-ID index against the records'
// ThisID, the object tree). Every problem found is one line of the report;
// a damaged file gives lines, never a crash. The file is never changed.
#pragma once

#include <string>

#include "file/FileCheck.h"

namespace qdf {

// Checks the database file `file_name`. Raises EQdfException only when the
// file cannot be opened at all or is no database file (missing, empty,
// wrong magic); everything else is reported.
TQdfCheckReport CheckDatabase(const std::string& file_name);

}  // namespace qdf
