// Query operations over a table of 100,000 records (integer a, integer b,
// text c): a full scan with an integer range filter, point lookups through
// an index on a, and inserts into a table with two indexes.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <memory>
#include <random>
#include <string>

#include "file/IndirectPageReader.h"
#include "file/LocalFiler.h"
#include "platform/Directories.h"
#include "platform/FileSystem.h"
#include "query/FieldExpr.h"
#include "query/QueryLayer.h"
#include "query/TableOp.h"
#include "reader/CachePool.h"
#include "record/Fields.h"
#include "record/ItemClass.h"
#include "storage/Storage.h"
#include "table/Aggregat.h"
#include "table/Table.h"

namespace {

constexpr int kRecords = 100000;

// A new database file in a write transaction with the class TBench and the
// table t; `indexes` adds an index on a (ia) and one on b (ib).
class TQueryBenchDb {
 public:
  explicit TQueryBenchDb(bool indexes) {
    qdf::UseQueryLayer();
    qdf::TCachePool::Instance().SetCacheSize(32768);
    path_ = qdf::TempDir() + "qdf-query-bench-" + std::to_string(::getpid()) + ".qdf";
    qdf::TFileSystem::Native().Delete(path_);
    filer_ = new qdf::TQdfLocalFiler(path_, false, "QUERY");
    reader_ = std::make_unique<qdf::TQdfIndirectPageReader>(filer_);
    reader_->Open(false);
    reader_->StartTransaction();
    std::unique_ptr<qdf::TQdfPersistentObject> o =
        qdf::TQdfPersistentObject::Create(qdf::TQdfStorage::kClassInfo, nullptr);
    o->SetPageReader(reader_.get());
    storage_.reset(static_cast<qdf::TQdfStorage*>(o.release()));
    storage_->OpenRoot(reader_.get());
    storage_->Execute(
        "create TQdfItemClass TBench (TQdfIntegerField a; TQdfIntegerField b; TQdfCharField c;);"
        "create table t on TBench;");
    if (indexes) storage_->Execute("create index ia on t(a); create index ib on t(b);");
    table_ = storage_->TableByName("t");
    a_ = static_cast<qdf::TQdfIntegerField*>(table_->FieldByName("a"));
    b_ = static_cast<qdf::TQdfIntegerField*>(table_->FieldByName("b"));
    c_ = table_->FieldByName("c");
  }
  ~TQueryBenchDb() {
    table_.reset();
    storage_.reset();
    reader_->Rollback();
    reader_.reset();
    filer_->Release();
    qdf::TFileSystem::Native().Delete(path_);
  }

  // Records a = first .. first + n - 1, b random in 0..99999, c a short text.
  void Fill(int first, int n, std::mt19937& rng) {
    for (int i = first; i < first + n; ++i) {
      const int r = static_cast<int>(rng() % 100000);
      table_->Insert();
      a_->SetAsInteger(i);
      b_->SetAsInteger(r);
      c_->SetAsString("row number " + std::to_string(r));
      table_->Post();
    }
  }

  qdf::TQdfTable& Table() { return *table_; }
  qdf::TQdfIntegerField& A() { return *a_; }

 private:
  std::string path_;
  qdf::TQdfLocalFiler* filer_ = nullptr;
  std::unique_ptr<qdf::TQdfIndirectPageReader> reader_;
  std::unique_ptr<qdf::TQdfStorage> storage_;
  std::unique_ptr<qdf::TQdfTable> table_;
  qdf::TQdfIntegerField* a_ = nullptr;
  qdf::TQdfIntegerField* b_ = nullptr;
  qdf::TQdfField* c_ = nullptr;
};

// One pass over every record in physical order with "b >= 20000 and b < 30000"
// (no index); items/s is records examined per second.
void BM_QueryFullScanRange(benchmark::State& state) {
  TQueryBenchDb db(false);
  std::mt19937 rng(1);
  db.Fill(1, kRecords, rng);
  int64_t matched = 0;
  for (auto _ : state) {
    qdf::TQdfFilteredTableOp op(db.Table(), qdf::kOpDefault, nullptr, nullptr,
                                db.Table().CompileFilter("b >= 20000 and b < 30000"));
    op.First();
    int64_t n = 0;
    while (op.Next()) ++n;
    matched = n;
    benchmark::DoNotOptimize(n);
  }
  state.counters["matched"] = static_cast<double>(matched);
  state.SetItemsProcessed(state.iterations() * kRecords);
}
BENCHMARK(BM_QueryFullScanRange)->Unit(benchmark::kMillisecond);

// "a = k" for random k through the index on a, each a compiled filter and a
// new operation (as an application does); items/s is lookups per second.
void BM_QueryIndexedPointLookup(benchmark::State& state) {
  TQueryBenchDb db(true);
  std::mt19937 rng(2);
  db.Fill(1, kRecords, rng);
  int64_t found = 0;
  for (auto _ : state) {
    const int k = static_cast<int>(rng() % kRecords) + 1;
    qdf::TQdfFilteredTableOp op(db.Table(), qdf::kOpDefault, nullptr, nullptr,
                                db.Table().CompileFilter("a = " + std::to_string(k)));
    op.First();
    while (op.Next()) found += db.A().AsInteger() == k ? 1 : 0;
  }
  if (found != static_cast<int64_t>(state.iterations())) state.SkipWithError("lookup missed");
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_QueryIndexedPointLookup);

// The same lookups through one prepared operation whose filter reads k from
// a variable: each First positions the index on the current k again. This
// is the lookup without compiling a filter text.
void BM_QueryIndexedPointLookupPrepared(benchmark::State& state) {
  TQueryBenchDb db(true);
  std::mt19937 rng(2);
  db.Fill(1, kRecords, rng);
  int32_t k = 1;
  auto filter = qdf::NewFieldComparison(std::make_unique<qdf::TndField>(&db.A()),
                                        qdf::NewIntVar(&k), qdf::kMaskEQ);
  qdf::TQdfFilteredTableOp op(db.Table(), qdf::kOpDefault, nullptr, nullptr, std::move(filter));
  int64_t found = 0;
  for (auto _ : state) {
    k = static_cast<int32_t>(rng() % kRecords) + 1;
    op.First();
    while (op.Next()) found += db.A().AsInteger() == k ? 1 : 0;
  }
  if (op.ChosenIndex() == nullptr) state.SkipWithError("no index used");
  if (found != static_cast<int64_t>(state.iterations())) state.SkipWithError("lookup missed");
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_QueryIndexedPointLookupPrepared);

// "b >= k and b < k + 10" for k rising in steps of 10, summing b through the
// aggregator (about 10 rows a query): each query compiles its filter text,
// chooses the index on b and answers from its keys, as the short range
// queries of SpeedTrial's Test 7 do. items/s is queries per second.
void BM_QueryRangeSum(benchmark::State& state) {
  TQueryBenchDb db(true);
  std::mt19937 rng(4);
  db.Fill(1, kRecords, rng);
  qdf::TQdfAggregat aggregat({db.Table().FieldByName("b")});
  const qdf::TRecordVisitor accumulate = [&aggregat](qdf::TQdfTable& table, bool& stop) {
    aggregat.Accumulate(table, stop);
  };
  const qdf::TVisitNeeds needs = aggregat.Needs();
  int lo = 0;
  for (auto _ : state) {
    db.Table().ForEachMatch(db.Table().CompileFilter("b >= " + std::to_string(lo) + " and b < " +
                                                     std::to_string(lo + 10)),
                            qdf::kOpDefault, accumulate, nullptr, needs);
    lo = (lo + 10) % 100000;
  }
  state.counters["rows"] = static_cast<double>(aggregat.Counts().back());
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_QueryRangeSum);

// 10,000 inserts into a table of 100,000 records with indexes on a and b;
// items/s is records per second.
void BM_QueryInsertTwoIndexes(benchmark::State& state) {
  TQueryBenchDb db(true);
  std::mt19937 rng(3);
  db.Fill(1, kRecords, rng);
  int next = kRecords + 1;
  for (auto _ : state) {
    db.Fill(next, 10000, rng);
    next += 10000;
  }
  state.SetItemsProcessed(state.iterations() * 10000);
}
BENCHMARK(BM_QueryInsertTwoIndexes)->Unit(benchmark::kMillisecond)->Iterations(3);

}  // namespace
