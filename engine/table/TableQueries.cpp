#include "table/TableQueries.h"

#include <atomic>

#include "base/QdfException.h"
#include "script/Node.h"
#include "table/Index.h"

namespace qdf {
namespace {

TQdfTableQueries g_queries;
std::atomic<bool> g_installed{false};

}  // namespace

void InstallTableQueries(const TQdfTableQueries& queries) {
  g_queries = queries;
  g_installed.store(true, std::memory_order_release);
}

const TQdfTableQueries& TableQueries() {
  if (!g_installed.load(std::memory_order_acquire)) {
    throw EQdfException(
        "Filters need the query layer: call qdf::UseQueryLayer() (opening the system does)");
  }
  return g_queries;
}

// The members of tables and indexes that run through the query layer.

std::unique_ptr<TvNode> TQdfTable::CompileFilter(const std::string& text, TQdfItemClass* cls) {
  return TableQueries().compile_filter(*this, text, cls);
}

void TQdfTable::ForEachMatch(std::unique_ptr<TvNode> filter, uint8_t options,
                             const TRecordVisitor& visitor, const TRecordVisitor& deferred,
                             const TVisitNeeds& needs) {
  TableQueries().for_each_match(*this, std::move(filter), options, visitor, deferred, needs);
}

int64_t TQdfTable::DeleteWhere(std::unique_ptr<TvNode> filter, TQdfItemClass* cls) {
  return TableQueries().delete_where(*this, std::move(filter), cls);
}

int TQdfIndex::ApplyFilter(TvNode* filter) { return TableQueries().apply_filter(*this, filter); }

}  // namespace qdf
