// The query layer put to use: filters of tables and indexes, and the result
// set class.
#pragma once

namespace qdf {

// Installs the query layer's filter operations for tables and indexes
// (TQdfTable::CompileFilter, ForEachMatch, DeleteWhere and
// TQdfIndex::ApplyFilter) and registers the persistent classes of this layer
// and the layers below. Opening the system does this; idempotent.
void UseQueryLayer();

}  // namespace qdf
