// TQdfTableQueries: the filter operations of tables and indexes, which the
// query layer (one layer up) carries out. The query layer installs them with
// InstallTableQueries when it is put to use (UseQueryLayer); until then the
// members that need them raise an EQdfException that says so.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "table/Table.h"

namespace qdf {

class TQdfIndex;
class TQdfItemClass;
class TvNode;

struct TQdfTableQueries {
  std::unique_ptr<TvNode> (*compile_filter)(TQdfTable& table, const std::string& text,
                                            TQdfItemClass* cls) = nullptr;
  void (*for_each_match)(TQdfTable& table, std::unique_ptr<TvNode> filter, uint8_t options,
                         const TRecordVisitor& visitor, const TRecordVisitor& deferred,
                         const TVisitNeeds& needs) = nullptr;
  int64_t (*delete_where)(TQdfTable& table, std::unique_ptr<TvNode> filter,
                          TQdfItemClass* cls) = nullptr;
  int (*apply_filter)(TQdfIndex& index, TvNode* filter) = nullptr;
};

// Installs the query layer's operations (process-wide; installing again
// replaces them).
void InstallTableQueries(const TQdfTableQueries& queries);
// The installed operations. Raises EQdfException when none are installed.
const TQdfTableQueries& TableQueries();

}  // namespace qdf
