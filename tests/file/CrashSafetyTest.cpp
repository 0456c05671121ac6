// Crashes, power losses and failed writes at every write and sync of a commit
// of bare pages: afterwards the file holds exactly the previous committed
// state or the new one, and every page of it reads back correctly. The same
// over three files committed together: all of them at the old state or all
// at the new one.
#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <vector>

#include "CrashHarness.h"
#include "file/FileCheck.h"
#include "file/FileTestUtil.h"
#include "file/MultiFileCommit.h"
#include "platform/FaultFileSystem.h"

namespace qdf {
namespace {

using qdf_test::PageIs;
using qdf_test::PutPage;
using qdf_test::TFilerRef;

constexpr int kOldPages = 24;
constexpr int kNewPages = 40;

// State A: pages 1..old_pages with tag 1 (committed as transaction 2).
void MakeStateA(const std::string& path, int old_pages = kOldPages) {
  TFilerRef f(path, false);
  TQdfIndirectPageReader r(f.filer);
  r.Open(false);
  r.StartTransaction();
  for (int i = 0; i < old_pages; ++i) PutPage(r, 0, 1, i % 3 != 0);
  r.Flush(kFlushWriteUnpin);
  r.Commit(false);
}

// "A", "B" or what is wrong: the pages of state A (transaction 2), or every
// old page rewritten with tag 2 and new_pages more (transaction 3).
std::string Inspect(const std::string& path, uint32_t old_pages = kOldPages,
                    int new_pages = kNewPages) {
  TFilerRef f(path, true);
  TQdfIndirectPageReader r(f.filer);
  r.Open(true);
  const uint32_t tan = r.TransactionNumber();
  if (tan == 2) {
    for (uint32_t p = 1; p <= old_pages; ++p) {
      if (!PageIs(r, p, 1, (p - 1) % 3 != 0)) return "A with page " + std::to_string(p) + " wrong";
    }
    if (r.NextPageNumber() != old_pages + 1) return "A with a wrong next page";
    return "A";
  }
  if (tan == 3) {
    for (uint32_t p = 1; p <= old_pages; ++p) {
      if (!PageIs(r, p, 2, p % 3 != 1)) return "B with page " + std::to_string(p) + " wrong";
    }
    uint32_t p = old_pages + 1;
    for (int i = 0; i < new_pages; ++i, ++p) {
      if (p % 640 == 0) ++p;
      if (!PageIs(r, p, 2, i % 2 == 0)) return "B with page " + std::to_string(p) + " wrong";
    }
    return "B";
  }
  return "transaction " + std::to_string(tan);
}

// Transaction B on a bare page reader: rewrites every old page with tag 2
// and adds kNewPages more (crossing into the second page-table block).
class TPageWorkload : public qdf_test::TCrashWorkload {
 public:
  void Prepare(const std::string& path) override { MakeStateA(path); }
  void Run(const std::string& path, qdf_test::TCrashRun& run) override {
    TFilerRef f(path, false);
    TQdfIndirectPageReader r(f.filer);
    r.Open(false);
    r.StartTransaction();
    for (uint32_t p = 1; p <= kOldPages; ++p) PutPage(r, p, 2, p % 3 != 1);
    for (int i = 0; i < kNewPages; ++i) PutPage(r, 0, 2, i % 2 == 0);
    run.Commit([&] {
      r.Flush(kFlushWriteUnpin);
      r.Commit(false);
    });
  }
  std::string Fingerprint(const std::string& path) override { return Inspect(path); }
  // The pages here belong to no list: the block-level check applies.
  std::string Problems(const std::string& path) override {
    TQdfCheckReport check;
    TQdfFileCheck(path).Run(check);
    return check.Sound() ? std::string() : check.problems.front();
  }
};

// Transaction B (fewer pages) on three files at once, committed all or none.
class TThreeFileWorkload : public TPageWorkload {
 public:
  static constexpr int kOld = 6;
  static constexpr int kNew = 8;
  int FileCount() const override { return 3; }
  void Prepare(const std::string& path) override {
    for (int i = 0; i < 3; ++i) MakeStateA(qdf_test::CrashFilePath(path, i), kOld);
  }
  std::string Fingerprint(const std::string& path) override { return Inspect(path, kOld, kNew); }
  void Run(const std::string& path, qdf_test::TCrashRun& run) override {
    std::vector<std::unique_ptr<TFilerRef>> filers;
    std::vector<std::unique_ptr<TQdfIndirectPageReader>> readers;
    std::vector<TQdfIndirectPageReader*> all;
    for (int i = 0; i < 3; ++i) {
      filers.push_back(std::make_unique<TFilerRef>(qdf_test::CrashFilePath(path, i), false));
      readers.push_back(std::make_unique<TQdfIndirectPageReader>(filers.back()->filer));
      TQdfIndirectPageReader& r = *readers.back();
      all.push_back(&r);
      r.Open(false);
      r.StartTransaction();
      for (uint32_t p = 1; p <= kOld; ++p) PutPage(r, p, 2, p % 3 != 1);
      for (int k = 0; k < kNew; ++k) PutPage(r, 0, 2, k % 2 == 0);
    }
    run.Commit([&] {
      for (TQdfIndirectPageReader* r : all) r->Flush(kFlushWriteUnpin);
      TMultiFileCommit::Commit(all);
      for (TQdfIndirectPageReader* r : all) r->Commit(false);
    });
  }
};

TEST(CrashSafety, ThreeFileCommitIsAllOrNoneAtEveryCrashAndFailedWrite) {
  TThreeFileWorkload workload;
  const qdf_test::TCrashFigures figures = qdf_test::RunCrashHarness(workload);
  // Three files' pages and syncs, two markers, the record, three headers.
  EXPECT_GT(figures.operations, 3 * (TThreeFileWorkload::kOld + TThreeFileWorkload::kNew) + 12);
}

TEST(CrashSafety, PageCommitSurvivesEveryCrashAndFailedWrite) {
  TPageWorkload workload;
  const qdf_test::TCrashFigures figures = qdf_test::RunCrashHarness(workload);
  EXPECT_GT(figures.operations, kOldPages + kNewPages);  // pages, tables, two syncs, the header
}

}  // namespace
}  // namespace qdf
