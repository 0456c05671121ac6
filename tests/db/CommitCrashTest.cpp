// Crashes, power losses and failed writes at every write and sync of whole
// transactions run through the system object: records inserted, changed and
// deleted with their index keys and blobs, schema statements, over several
// commits whose freed blocks the next ones reuse through the free list.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "CrashHarness.h"
#include "EnvSize.h"
#include "ErrorText.h"
#include "SystemTestUtil.h"
#include "file/FileTestUtil.h"
#include "file/MultiFileCommit.h"
#include "platform/FaultFileSystem.h"
#include "record/Fields.h"
#include "table/BlobField.h"
#include "table/Table.h"

namespace qdf {
namespace {

using qdf_test::TCrashRun;

TQdfIntegerField& Int(TQdfTable& t, const char* name) {
  return *static_cast<TQdfIntegerField*>(t.FieldByName(name));
}

const char kSchema[] =
    "create TQdfItemClass TItem (TQdfIntegerField a; TQdfIntegerField b; TQdfCharField c; "
    "TQdfBlobField doc);create table items on TItem;create unique index ia on items (a);"
    "create index ic on items (c);";

// A blob whose bytes and length follow from its key and version.
std::string BlobBytes(int key, int version) {
  const size_t length = static_cast<size_t>((key * 977 + version * 1531) % 9000);
  std::string bytes(length, static_cast<char>('a' + (key + version) % 26));
  for (size_t i = 0; i < length; i += 97) bytes[i] = static_cast<char>('0' + (i / 97) % 10);
  return bytes;
}

// One session of the system on the databases: a transaction with every
// file's storage open, running.
// The files from `writable` on are opened read-only.
struct TSession {
  explicit TSession(const std::vector<std::string>& paths, size_t writable = SIZE_MAX) {
    system = std::make_unique<TQdfSystem>();
    system->Init();
    transaction = system->NewTransaction("crash");
    for (size_t i = 0; i < paths.size(); ++i) {
      storages.push_back(
          transaction->OpenStorage("CRASH" + std::to_string(i + 1), i >= writable, paths[i]));
    }
    transaction->SetActive(true);
  }
  ~TSession() {
    transaction.reset();  // rolls back what is not committed
    system.reset();
  }
  std::unique_ptr<TQdfSystem> system;
  std::unique_ptr<TQdfTransaction> transaction;
  std::vector<TQdfInTransStorage*> storages;
};

std::vector<std::string> FilesOf(const std::string& first, int count) {
  std::vector<std::string> paths;
  for (int i = 0; i < count; ++i) paths.push_back(qdf_test::CrashFilePath(first, i));
  return paths;
}

// The fault file system sees the files and their commit records.
void Watch(TFaultFileSystem& fs, const std::vector<std::string>& files) {
  for (const std::string& f : files) {
    fs.Watch(f);
    fs.Watch(TMultiFileCommit::SidePath(f));
  }
}

void Insert(TQdfTable& t, int key, int version) {
  t.Insert();
  Int(t, "a").SetAsInteger(key);
  Int(t, "b").SetAsInteger(version);
  t.FieldByName("c")->SetAsString("item " + std::to_string(key * 37 % 101) + "/" +
                                  std::to_string(version));
  static_cast<TQdfBlobField*>(t.FieldByName("doc"))->SetAsString(BlobBytes(key, version));
  t.Post();
}

// Changes every record whose key satisfies `pick`: its b, c (an index key)
// and blob; `remove` deletes it instead.
void Change(TQdfTable& t, int version, bool remove, bool (*pick)(int)) {
  t.First();
  while (t.Cursor().Item() != nullptr) {
    const int key = static_cast<int>(Int(t, "a").AsInteger());
    if (!pick(key)) {
      t.Next();
    } else if (remove) {
      t.Delete(true);
    } else {
      t.Edit();
      Int(t, "b").SetAsInteger(version);
      t.FieldByName("c")->SetAsString("changed " + std::to_string(key) + "/" +
                                      std::to_string(version));
      static_cast<TQdfBlobField*>(t.FieldByName("doc"))->SetAsString(BlobBytes(key, version));
      t.Post();
      t.Next();
    }
  }
}

// One transaction over one or more files through the system, from a
// committed history of records made, changed and deleted (so that the free
// list holds blocks to reuse): a commit that changes every file (records,
// blobs, index keys, inserts and deletes), one that changes every file but
// the first (all of one file: a schema statement building an index, a new
// version, deletes), and one that changes the first file alone (which
// commits without a record): a dropped class and a mass delete.
class TSeveralFilesWorkload : public qdf_test::TCrashWorkload {
 public:
  TSeveralFilesWorkload(int files, int commits, int rows = 0)
      : files_(files),
        commits_(commits),
        rows_(rows > 0 ? rows : static_cast<int>(qdf_test::EnvSize("QDF_CRASH_ROWS", 8))) {}
  int FileCount() const override { return files_; }

  void Prepare(const std::string& path) override {
    TSession db(FilesOf(path, files_));
    for (TQdfInTransStorage* s : db.storages) {
      s->Execute(std::string(kSchema) + "create TQdfItemClass Extra (TQdfFloatField f);");
    }
    db.transaction->CommitAndContinue();
    for (size_t i = 0; i < db.storages.size(); ++i) {
      auto t = db.storages[i]->TableByName("items");
      for (int key = 0; key < rows_; ++key) Insert(*t, key + static_cast<int>(i) * 1000, 1);
    }
    db.transaction->CommitAndContinue();
    for (TQdfInTransStorage* s : db.storages) {
      auto t = s->TableByName("items");
      Change(*t, 2, false, [](int key) { return key % 3 == 0; });
      Change(*t, 2, true, [](int key) { return key % 5 == 1; });
    }
    db.transaction->Commit(true);
  }

  void Run(const std::string& path, TCrashRun& run) override {
    TSession db(FilesOf(path, files_));
    auto items = [&](size_t i) { return db.storages[i]->TableByName("items"); };
    for (size_t i = 0; i < db.storages.size(); ++i) {
      auto t = items(i);
      Change(*t, 3, false, [](int key) { return key % 4 == 2; });
      for (int n = 0; n < 3; ++n) Insert(*t, 500 + 10 * static_cast<int>(i) + n, 3);
      Change(*t, 3, true, [](int key) { return key % 7 == 3; });
    }
    run.Commit([&] {
      commits_ == 1 ? db.transaction->Commit(true) : db.transaction->CommitAndContinue();
    });
    if (commits_ == 1) return;
    db.storages.back()->Execute("create index ib on items (DESC b);version 2.0");
    for (size_t i = files_ > 1 ? 1 : 0; i < db.storages.size(); ++i) {
      auto t = items(i);
      Change(*t, 4, true, [](int key) { return key % 4 == 1; });
    }
    run.Commit([&] {
      commits_ == 2 ? db.transaction->Commit(true) : db.transaction->CommitAndContinue();
    });
    if (commits_ == 2) return;
    db.storages.front()->Execute("drop Extra;");
    {
      auto t = items(0);
      Change(*t, 5, false, [](int key) { return key % 5 == 2; });
      Change(*t, 5, true, [](int key) { return key % 3 != 1; });
      Insert(*t, 200, 5);
    }
    run.Commit([&] { db.transaction->Commit(true); });
  }

 private:
  int files_;
  int commits_;
  int rows_;  // QDF_CRASH_ROWS: every row adds operations, each crashed and failed
  qdf_test::TSystemConfig config_;
};

struct TSeveralFilesCase {
  int files;
  int commits;
  int rows;  // 0: QDF_CRASH_ROWS (8)
};

class SeveralFiles : public ::testing::TestWithParam<TSeveralFilesCase> {};

TEST_P(SeveralFiles, CommitIsAllOrNoneAtEveryCrashAndFailedWrite) {
  TSeveralFilesWorkload workload(GetParam().files, GetParam().commits, GetParam().rows);
  const qdf_test::TCrashFigures figures = qdf_test::RunCrashHarness(workload);
  EXPECT_EQ(figures.commits, GetParam().commits);
  EXPECT_GT(figures.operations, 10 * GetParam().files);
}

INSTANTIATE_TEST_SUITE_P(CrashSafety, SeveralFiles,
                         ::testing::Values(TSeveralFilesCase{1, 3, 60}, TSeveralFilesCase{2, 3, 0},
                                           TSeveralFilesCase{3, 1, 0}),
                         [](const ::testing::TestParamInfo<TSeveralFilesCase>& info) {
                           return std::to_string(info.param.files) + "Files";
                         });

// What follows a failed commit in the same process. Where the failure
// leaves unknown what the disk holds (a sync, a header, past the commit
// point of several files), the files take no more writes until they are
// opened again, and hold the state before the commit or, past its commit
// point, after it (the open completes it). A failed page write or a failure
// before the commit point only ends the transaction.
struct TFailedCommitCase {
  const char* what;
  int files;
  int from_end;  // the operation failed, counted back from the commit's last (0)
  bool filers_stop;
  bool completes;
};

class FailedCommit : public ::testing::TestWithParam<TFailedCommitCase> {};

TEST_P(FailedCommit, IsAllOrNoneAndStopsTheFilersWhenUnsure) {
  const TFailedCommitCase& c = GetParam();
  qdf_test::TSystemConfig config;
  const std::vector<std::string> paths = FilesOf(config.File("f.qdf"), c.files);
  const std::vector<std::string> probes = FilesOf(config.File("probe.qdf"), c.files);
  TSeveralFilesWorkload(c.files, 1).Prepare(paths[0]);
  for (size_t i = 0; i < paths.size(); ++i) std::filesystem::copy_file(paths[i], probes[i]);
  auto state = [](const std::vector<std::string>& files) {
    std::string all;
    for (const std::string& f : files) all += qdf_test::DatabaseFingerprint(f);
    return all;
  };
  const std::string before = state(paths);
  auto change = [](TSession& db, int from) {
    for (TQdfInTransStorage* s : db.storages) {
      auto t = s->TableByName("items");
      for (int key = from; key < from + 10; ++key) Insert(*t, key, 9);
    }
  };
  // The commit's operations and the state after it, on copies.
  int ops = 0;
  {
    TFaultFileSystem fs;
    Watch(fs, probes);
    qdf_test::TFaultScope scope(fs);
    TSession db(probes);
    change(db, 300);
    const int start = fs.OpCount();
    db.transaction->Commit(true);
    ops = fs.OpCount() - start;
  }
  const std::string after = state(probes);
  ASSERT_GT(ops, c.from_end + 1);

  {
    TFaultFileSystem fs;
    Watch(fs, paths);
    qdf_test::TFaultScope scope(fs);
    TSession db(paths);
    change(db, 300);
    fs.FailOpAfter(ops - c.from_end);
    const std::string error = qdf_test::MessageOf([&] { db.transaction->Commit(true); });
    EXPECT_NE(error.find("(injected)"), std::string::npos) << error;
    // Trying again does not commit what the failure may have lost.
    EXPECT_NE(qdf_test::MessageOf([&] { db.transaction->Commit(true); }), "<no error>");
    db.transaction->Rollback(false);
    // A commit of the last file alone: past the commit point it would
    // commit that file without what the record holds for it.
    const std::string next = qdf_test::MessageOf([&] {
      db.transaction->SetActive(true);
      auto t = db.storages.back()->TableByName("items");
      for (int key = 400; key < 410; ++key) Insert(*t, key, 9);
      db.transaction->Commit(true);
    });
    if (c.filers_stop) {
      EXPECT_NE(next.find("a commit failed; close and reopen the database"), std::string::npos)
          << next;
    } else {
      EXPECT_EQ(next, "<no error>");
    }
  }
  if (c.filers_stop) {
    EXPECT_EQ(state(paths), c.completes ? after : before);
  }
  for (const std::string& p : paths) {
    EXPECT_EQ(qdf_test::DatabaseProblems(p), "") << p;
    EXPECT_FALSE(std::filesystem::exists(TMultiFileCommit::SidePath(p))) << p;
  }
  // Opened again, the files take writes.
  {
    TSession db(paths);
    change(db, 500);
    EXPECT_NO_THROW(db.transaction->Commit(true));
  }
  for (const std::string& p : paths) EXPECT_EQ(qdf_test::DatabaseProblems(p), "") << p;
}

// One file, from the end: the sync after the header, the header, the sync
// before it, the last page. Two files: 0 and 1 the second header's sync and
// write, 2 and 3 the first's, 4 to 6 the record's folder sync, sync and
// write, 7 to 9 the marker's, 10 and 11 the page syncs of the second and the
// first file.
INSTANTIATE_TEST_SUITE_P(
    CrashSafety, FailedCommit,
    ::testing::Values(TFailedCommitCase{"SyncAfterTheHeader", 1, 0, true, false},
                      TFailedCommitCase{"HeaderWrite", 1, 1, true, false},
                      TFailedCommitCase{"SyncBeforeTheHeader", 1, 2, true, false},
                      TFailedCommitCase{"LastPageWrite", 1, 3, false, false},
                      TFailedCommitCase{"PageSyncOfTheSecondFile", 2, 10, true, false},
                      TFailedCommitCase{"MarkerWrite", 2, 9, false, false},
                      TFailedCommitCase{"RecordSync", 2, 5, false, false},
                      TFailedCommitCase{"RecordFolderSync", 2, 4, false, false},
                      TFailedCommitCase{"FirstHeaderWrite", 2, 3, true, true},
                      TFailedCommitCase{"LastHeaderSync", 2, 0, true, true}),
    [](const ::testing::TestParamInfo<TFailedCommitCase>& info) { return info.param.what; });

// A transaction that changes one file commits it exactly as before: its
// pages, a sync, the header, a sync, and nothing beside it, also while it
// reads another file. Two changed files go through a marker and the record,
// which are gone afterwards.
TEST(CrashSafety, OnlyTransactionsThatChangeSeveralFilesWriteACommitRecord) {
  qdf_test::TSystemConfig config;
  const std::vector<std::string> paths = FilesOf(config.File("g.qdf"), 2);
  TSeveralFilesWorkload(2, 1).Prepare(paths[0]);
  for (int changed = 1; changed <= 2; ++changed) {
    TFaultFileSystem fs;
    Watch(fs, paths);
    std::string first_file, second_file, side_events;
    {
      qdf_test::TFaultScope scope(fs);
      TSession db(paths, static_cast<size_t>(changed));
      for (int i = 0; i < changed; ++i) {
        Insert(*db.storages[static_cast<size_t>(i)]->TableByName("items"), 700 + changed, 7);
      }
      const size_t start = fs.Journal().size();
      db.transaction->Commit(true);
      const std::vector<TFaultFileSystem::TEvent> journal = fs.Journal();
      for (size_t i = start; i < journal.size(); ++i) {
        const std::string& path = journal[i].path;
        (path == paths[0]   ? first_file
         : path == paths[1] ? second_file
                            : side_events) += journal[i].kind;
      }
    }
    if (changed == 1) {
      EXPECT_EQ(side_events, "");
      EXPECT_EQ(second_file, "");
      ASSERT_GE(first_file.size(), 3u);
      EXPECT_EQ(first_file.substr(first_file.size() - 3), "sws");
    } else {
      // Marker: write, sync, folder; record: the same; both removed.
      EXPECT_EQ(side_events, "wsdwsdxx");
    }
    for (const std::string& p : paths) {
      EXPECT_FALSE(std::filesystem::exists(TMultiFileCommit::SidePath(p)));
      EXPECT_EQ(qdf_test::DatabaseProblems(p), "") << p;
    }
  }
}

}  // namespace
}  // namespace qdf
