// Readers in other processes: the reader table keeps a writer from reusing
// the blocks of a state another process reads, and a read-only process sees
// each commit whole.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "EnvSize.h"
#include "ErrorText.h"
#include "ProcessRun.h"
#include "base/QdfException.h"
#include "db/SystemTestUtil.h"
#include "file/IndirectPageReader.h"
#include "file/LocalFiler.h"
#include "file/ReaderTable.h"
#include "record/Field.h"
#include "record/Fields.h"
#include "table/Table.h"

namespace qdf {
namespace {

using qdf_test::MessageOf;
using qdf_test::TSystemFixture;

// A pipe the parent and a forked child pass single bytes through.
struct TSignal {
  TSignal() { EXPECT_EQ(pipe(fds), 0); }
  ~TSignal() {
    close(fds[0]);
    close(fds[1]);
  }
  void Send() { EXPECT_EQ(write(fds[1], "x", 1), 1); }
  bool Wait() {
    char c;
    return read(fds[0], &c, 1) == 1;
  }
  int fds[2];
};

int WaitExit(pid_t child) {
  int status = 0;
  if (waitpid(child, &status, 0) != child || !WIFEXITED(status)) return -1;
  return WEXITSTATUS(status);
}

TEST(ReaderTable, SlotsAreClaimedReleasedAndTakenOverFromDeadProcesses) {
  qdf_test::TTestDir dir;
  const std::string db = dir.File("t.qdf");
  EXPECT_EQ(TReaderTable::Open(db, false), nullptr);  // a writer never makes it
  std::unique_ptr<TReaderTable> table = TReaderTable::Open(db, true);
  ASSERT_NE(table, nullptr);

  // A live holder in another process counts; once it died, its slot is
  // neither counted nor kept from the next claimer.
  TSignal held, go;
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    std::unique_ptr<TReaderTable> own = TReaderTable::Open(db, true);
    own->Publish(own->Claim(), 7);
    held.Send();
    go.Wait();
    _exit(0);  // dies holding the slot
  }
  ASSERT_TRUE(held.Wait());
  std::vector<uint32_t> seen;
  table->Collect(seen);
  EXPECT_EQ(seen, std::vector<uint32_t>{7});
  EXPECT_EQ(table->HeldByOtherProcesses(), 1);
  go.Send();
  ASSERT_EQ(WaitExit(child), 0);
  table->Collect(seen);
  EXPECT_TRUE(seen.empty());
  EXPECT_EQ(table->HeldByOtherProcesses(), 0);

  // Every slot can be held; one more is refused with a clear message, and a
  // released slot serves again.
  std::vector<int> slots;
  for (int i = 0; i < TReaderTable::kSlots; ++i) {
    slots.push_back(table->Claim());
    table->Publish(slots.back(), 100 + i);
  }
  EXPECT_EQ(std::set<int>(slots.begin(), slots.end()).size(), slots.size());
  EXPECT_EQ(MessageOf([&] { table->Claim(); }),
            TReaderTable::PathFor(db) + ": all 252 reader slots are in use; close some readers");
  table->Release(slots[17]);
  EXPECT_EQ(table->Claim(), slots[17]);
  table->Collect(seen);
  EXPECT_EQ(seen.size(), static_cast<size_t>(TReaderTable::kSlots - 1));  // one unpublished
}

// Every page of the state `reader` reads, as bytes.
std::string PagesOf(TQdfIndirectPageReader& reader) {
  std::string all;
  std::vector<uint8_t> page(kPageSize);
  for (uint32_t p = 1; p < reader.NextPageNumber(); ++p) {
    try {
      reader.ReadPage(p, page.data());
    } catch (const EQdfException& e) {
      if (e.HelpContext() != kHelpDataNotAllocated) throw;
      continue;
    }
    all.append(reinterpret_cast<const char*>(page.data()), page.size());
  }
  return all;
}

TEST(ReaderProcess, SnapshotSurvivesAWriterThatReusesItsBlocks) {
  TSystemFixture fx;
  fx.Write([](TQdfInTransStorage* w) {
    w->Execute("create TQdfItemClass X (TQdfIntegerField a); create table t on X");
  });
  // No thread of the engine may run while forking: a lock one holds (the
  // allocator's) would stay locked in the child for good. The writer below
  // opens the file after the reader.
  fx.system.reset();

  // The child reads the committed state, waits while the parent commits,
  // then reads the same state again from the file.
  TSignal ready, done;
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    int code = 3;
    try {
      TQdfLocalFiler* filer = new TQdfLocalFiler(fx.Db(), true, "Other");
      {
        TQdfIndirectPageReader reader(filer);
        reader.Open(true);
        const std::string before = PagesOf(reader);
        ready.Send();
        done.Wait();
        code = PagesOf(reader) == before ? 0 : 1;
      }
      filer->Release();
    } catch (const std::exception&) {
      code = 2;
    }
    _exit(code);
  }
  fx.Restart();
  ASSERT_TRUE(ready.Wait());
  // Enough commits that freed blocks are reused unless the reader holds them,
  // by two writers in turn: the second opens the file when blocks the reader
  // needs are already free.
  for (int writer = 0; writer < 2; ++writer) {
    auto tw = fx.system->NewTransaction("Writer");
    TQdfInTransStorage* w = tw->OpenStorage("A", false, fx.Db());
    for (int i = 0; i < 5; ++i) {
      const std::string n = std::to_string(writer) + "_" + std::to_string(i);
      w->Execute("create TQdfItemClass N" + n +
                 " (TQdfIntegerField a); drop t; create table t on X");
      tw->CommitAndContinue();
    }
    tw->SetActive(false);
    tw.reset();
    fx.Restart();
  }
  done.Send();
  EXPECT_EQ(WaitExit(child), 0) << "1: the reader's pages changed under it";
}

#ifdef QDF_TOOL_EXE
// A writer commits rounds that set every row's v to the round number, while
// qdf processes dump and check the file: each dump shows one round whole,
// and the check never reports damage.
TEST(ReaderProcess, DumpAndCheckInOtherProcessesSeeWholeCommits) {
  TSystemFixture fx;
  const int rows = 300;
  const long reads = qdf_test::EnvSize("QDF_READER_ROUNDS", 6);
  const std::string db = fx.Db();
  auto tw = fx.system->NewTransaction("Writer");
  TQdfInTransStorage* w = tw->OpenStorage("A", false, db);
  w->Execute(
      "create TQdfItemClass R (TQdfIntegerField k; TQdfIntegerField v; TQdfCharField pad); "
      "create table t on R; create index by_v on t (v)");
  {
    auto t = w->TableByName("t");
    for (int i = 0; i < rows; ++i) {
      t->Insert();
      static_cast<TQdfIntegerField*>(t->FieldByName("k"))->SetAsInteger(i);
      static_cast<TQdfIntegerField*>(t->FieldByName("v"))->SetAsInteger(0);
      t->FieldByName("pad")->SetAsString(std::string(40, 'p'));
      t->Post();
    }
  }
  tw->CommitAndContinue();

  std::atomic<bool> stop{false};
  std::vector<std::string> failures;
  std::thread readers([&] {
    const std::string q = qdf_test::ShellQuote(db);
    for (long i = 0; i < reads; ++i) {
      const qdf_test::TRunResult dump = qdf_test::RunProcess(std::string(QDF_TOOL_EXE) + " dump " +
                                                             q + " t --columns v --csv 2>&1");
      std::istringstream lines(dump.output);
      std::string line;
      std::getline(lines, line);  // the column names
      std::set<std::string> values;
      int count = 0;
      while (std::getline(lines, line)) {
        values.insert(line);
        ++count;
      }
      if (dump.code != 0 || count != rows || values.size() != 1) {
        failures.push_back("dump " + std::to_string(i) + ": " + dump.output.substr(0, 300));
      }
      const qdf_test::TRunResult check =
          qdf_test::RunProcess(std::string(QDF_TOOL_EXE) + " check " + q + " 2>&1");
      if (check.code != 0) failures.push_back("check " + std::to_string(i) + ": " + check.output);
    }
    stop = true;
  });
  int round = 0;
  while (!stop) {
    ++round;
    auto t = w->TableByName("t");
    for (t->First(); t->Cursor().Item() != nullptr; t->Next()) {
      t->Edit();
      static_cast<TQdfIntegerField*>(t->FieldByName("v"))->SetAsInteger(round);
      t->Post();
    }
    t.reset();
    tw->CommitAndContinue();
  }
  readers.join();
  tw->SetActive(false);
  for (const std::string& f : failures) ADD_FAILURE() << f;
  EXPECT_GT(round, reads) << "the writer committed too few rounds to overlap the readers";
}
#endif

}  // namespace
}  // namespace qdf
