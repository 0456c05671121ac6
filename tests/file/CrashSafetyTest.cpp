// Power loss at every write and sync of a commit: afterwards the file holds
// exactly the previous committed state or the new one, and every page of it
// reads back correctly.
#include <gtest/gtest.h>

#include <filesystem>

#include "TestDir.h"
#include "base/QdfException.h"
#include "file/FileCheck.h"
#include "file/FileTestUtil.h"
#include "platform/FaultFileSystem.h"

namespace qdf {
namespace {

using qdf_test::PageIs;
using qdf_test::PutPage;
using qdf_test::TFilerRef;

constexpr int kOldPages = 24;
constexpr int kNewPages = 40;

// State A: pages 1..kOldPages with tag 1 (committed as transaction 2).
void MakeStateA(const std::string& path) {
  TFilerRef f(path, false);
  TQdfIndirectPageReader r(f.filer);
  r.Open(false);
  r.StartTransaction();
  for (int i = 0; i < kOldPages; ++i) PutPage(r, 0, 1, i % 3 != 0);
  r.Flush(kFlushWriteUnpin);
  r.Commit(false);
}

// Transaction B: rewrites every old page with tag 2 and adds kNewPages more
// (crossing into the second page-table block), then commits.
void RunTransactionB(TQdfLocalFiler* filer) {
  TQdfIndirectPageReader r(filer);
  r.Open(false);
  r.StartTransaction();
  for (uint32_t p = 1; p <= kOldPages; ++p) PutPage(r, p, 2, p % 3 != 1);
  for (int i = 0; i < kNewPages; ++i) PutPage(r, 0, 2, i % 2 == 0);
  r.Flush(kFlushWriteUnpin);
  r.Commit(false);
}

enum class TState { kA, kB, kBroken };

TState Inspect(const std::string& path) {
  TFilerRef f(path, true);
  TQdfIndirectPageReader r(f.filer);
  r.Open(true);
  const uint32_t tan = r.TransactionNumber();
  if (tan == 2) {
    for (uint32_t p = 1; p <= kOldPages; ++p) {
      if (!PageIs(r, p, 1, (p - 1) % 3 != 0)) return TState::kBroken;
    }
    if (r.NextPageNumber() != kOldPages + 1) return TState::kBroken;
    return TState::kA;
  }
  if (tan == 3) {
    for (uint32_t p = 1; p <= kOldPages; ++p) {
      if (!PageIs(r, p, 2, p % 3 != 1)) return TState::kBroken;
    }
    uint32_t p = kOldPages + 1;
    for (int i = 0; i < kNewPages; ++i, ++p) {
      if (p % 640 == 0) ++p;
      if (!PageIs(r, p, 2, i % 2 == 0)) return TState::kBroken;
    }
    return TState::kB;
  }
  return TState::kBroken;
}

int OpsOfTransactionB(const std::string& base, const std::string& work) {
  std::filesystem::copy_file(base, work, std::filesystem::copy_options::overwrite_existing);
  TFaultFileSystem fs;
  SetDatabaseFileSystem(&fs);
  int ops = 0;
  {
    TFilerRef f(work, false);
    const int before = fs.OpCount();
    RunTransactionB(f.filer);
    ops = fs.OpCount() - before;
  }
  SetDatabaseFileSystem(nullptr);
  EXPECT_EQ(Inspect(work), TState::kB);
  return ops;
}

TEST(CrashSafety, PowerLossAtEveryOperationOfACommit) {
  qdf_test::TTestDir dir;
  const std::string base = dir.File("base.qdf");
  const std::string work = dir.File("work.qdf");
  MakeStateA(base);
  ASSERT_EQ(Inspect(base), TState::kA);
  const int ops = OpsOfTransactionB(base, work);
  ASSERT_GT(ops, kOldPages + kNewPages);  // pages, tables, two syncs, the header

  int saw_a = 0, saw_b = 0;
  for (int op = 1; op <= ops; ++op) {
    // 0: the process dies after the op-th write or sync, then the power goes;
    // 1: that operation fails, then the power goes; 2: the process dies and
    // everything it wrote stays.
    for (int mode : {0, 1, 2}) {
      const bool crash = mode != 1;
      std::filesystem::copy_file(base, work, std::filesystem::copy_options::overwrite_existing);
      TFaultFileSystem fs;
      SetDatabaseFileSystem(&fs);
      {
        TFilerRef f(work, false);
        // Either the process dies right after the op-th write or sync landed,
        // or that operation fails; then the power goes.
        if (crash) {
          fs.CrashAfterOp(op);
        } else {
          fs.FailOpAfter(op);
        }
        bool raised = false;
        try {
          RunTransactionB(f.filer);
        } catch (const EQdfException&) {
          raised = true;
        }
        EXPECT_TRUE(raised || (crash && op == ops)) << "op " << op;
        if (mode != 2) fs.SimulatePowerLoss();
      }
      SetDatabaseFileSystem(nullptr);
      TState s = Inspect(work);
      ASSERT_NE(s, TState::kBroken) << "op " << op << " mode " << mode;
      // The pages here belong to no list: the block-level check applies.
      TQdfCheckReport check;
      TQdfFileCheck(work).Run(check);
      EXPECT_TRUE(check.Sound()) << "op " << op << " mode " << mode << ": "
                                 << check.problems.front();
      (s == TState::kA ? saw_a : saw_b)++;
      // With the power gone only a crash after the final sync shows the new
      // state; without, the new header counts from the moment it is written.
      const bool new_state = mode == 0 ? op == ops : mode == 2 ? op >= ops - 1 : false;
      EXPECT_EQ(s == TState::kB, new_state) << "op " << op << " mode " << mode;
    }
  }
  EXPECT_GT(saw_a, 0);
  EXPECT_GT(saw_b, 0);
}

TEST(CrashSafety, FullDiskDuringCommitLeavesTheCommittedState) {
  qdf_test::TTestDir dir;
  const std::string path = dir.File("full.qdf");
  MakeStateA(path);
  TFaultFileSystem fs;
  SetDatabaseFileSystem(&fs);
  {
    TFilerRef f(path, false);
    TQdfIndirectPageReader r(f.filer);
    r.Open(false);
    r.StartTransaction();
    for (uint32_t p = 1; p <= kOldPages; ++p) PutPage(r, p, 2, true);
    fs.SetDiskFull(true);
    EXPECT_THROW(r.Flush(kFlushWriteUnpin), EQdfException);
    EXPECT_THROW(r.Commit(false), EQdfException);
    r.Rollback();
    fs.SetDiskFull(false);
  }
  SetDatabaseFileSystem(nullptr);
  EXPECT_EQ(Inspect(path), TState::kA);
  TQdfCheckReport check;
  TQdfFileCheck(path).Run(check);
  EXPECT_TRUE(check.Sound()) << check.problems.front();
}

}  // namespace
}  // namespace qdf
