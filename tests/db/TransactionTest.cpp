#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "ErrorText.h"
#include "ProcessRun.h"
#include "base/QdfException.h"
#include "check/IntegrityCheck.h"
#include "db/InTransStorage.h"
#include "db/System.h"
#include "db/SystemTestUtil.h"
#include "db/Transaction.h"
#include "file/FileFormat.h"
#include "file/IndirectPageReader.h"
#include "file/LocalFiler.h"
#include "object/QHPersistentObject.h"
#include "object/QHStorage.h"
#include "record/Fields.h"
#include "table/BlobField.h"
#include "table/Table.h"

namespace qdf {
namespace {

using qdf_test::TEventLog;
using qdf_test::TSystemFixture;

const char kClassX[] = "create TQdfItemClass X (TQdfIntegerField a; TQdfCharField b)";

using qdf_test::MessageOf;

// The file's committed transaction number as its filer knows it.
uint32_t Committed(TQdfInTransStorage* s) {
  return LoadU32(&s->Filer()->GetRoot()[kRootTransaction]);
}

// The committed transaction number in the file's header on disk.
uint32_t CommittedOnDisk(const std::string& path) {
  uint8_t header[kHeaderSize];
  std::ifstream in(path, std::ios::binary);
  in.read(reinterpret_cast<char*>(header), sizeof header);
  return LoadU32(header + kHdrRoot + kRootTransaction);
}

// A database "A" (file `db`) bootstrapped and committed, opened by the new
// transaction `name`, which is idle.
TQdfInTransStorage* OpenIdle(TSystemFixture& fx, const std::string& name,
                             const std::string& db = "db.qdf") {
  TQdfTransaction* t = fx.KeepTransaction(name);
  TQdfInTransStorage* s = t->OpenStorage("A", false, fx.Db(db));
  t->SetActive(true);
  t->SetActive(false);
  return s;
}

// ---- states and events ----

TEST(TransactionStates, StartCommitAndContinueAndActive) {
  TEventLog log;  // outlives the storages it listens to
  TSystemFixture fx;
  TQdfInTransStorage* s = OpenIdle(fx, "T");
  TQdfTransaction* t = s->Transaction();
  int tag = 0;
  log.Attach(s, &tag);
  const uint32_t committed = Committed(s);
  EXPECT_EQ(MessageOf([&] { t->Commit(true); }), "No Transaction running");

  // Idle: CommitAndContinue only starts, with event 5.
  t->CommitAndContinue();
  EXPECT_TRUE(t->Active());
  EXPECT_EQ(t->State(), TQdfTransaction::kRunning);
  EXPECT_EQ(log.events, std::vector<int>{5});
  EXPECT_EQ(log.args, std::vector<void*>{&tag});
  EXPECT_EQ(Committed(s), committed);
  EXPECT_EQ(MessageOf([&] { t->StartTransaction(1); }), "Transaction already running");

  // Running: commits (keeping the file) and starts again.
  log.Clear();
  t->CommitAndContinue();
  EXPECT_EQ(log.events, std::vector<int>{5});
  EXPECT_EQ(Committed(s), committed + 1);
  EXPECT_EQ(static_cast<TQdfLocalFiler*>(s->Filer())->WriteOwner(), s->Reader());

  // true twice starts once; false commits once; false again does nothing.
  t->SetActive(false);
  log.Clear();
  t->SetActive(true);
  t->SetActive(true);
  EXPECT_EQ(log.events, std::vector<int>{1});
  t->SetActive(false);
  EXPECT_EQ(log.events, (std::vector<int>{1, 2}));
  const uint32_t after = Committed(s);
  t->SetActive(false);
  EXPECT_EQ(log.events, (std::vector<int>{1, 2}));
  EXPECT_EQ(Committed(s), after);
  EXPECT_EQ(static_cast<TQdfLocalFiler*>(s->Filer())->WriteOwner(), nullptr);

  // Rollback tells 3 first; a removed listener hears nothing more.
  t->SetActive(true);
  log.Clear();
  t->Rollback(true);
  EXPECT_EQ(log.events, std::vector<int>{3});
  EXPECT_FALSE(t->Active());
  s->RemoveListener(log.handle);
  t->SetActive(true);
  EXPECT_EQ(log.events, std::vector<int>{3});
}

TEST(TransactionStorages, AliasesAreUniquePerTransactionAndFilersShared) {
  TSystemFixture fx;
  auto t1 = fx.system->NewTransaction("T1");
  auto t2 = fx.system->NewTransaction("T2");
  TQdfInTransStorage* a1 = t1->OpenStorage("A", false, fx.Db());
  EXPECT_EQ(MessageOf([&] { t1->OpenStorage("a", false, fx.Db()); }),
            "Duplicate Alias: a in Transaction");
  EXPECT_EQ(MessageOf([&] { t1->OpenStorage("A"); }), "Duplicate Alias: A in Transaction");
  EXPECT_EQ(t1->Storages().size(), 1u);
  EXPECT_EQ(t1->FindStorage("a"), a1);
  EXPECT_EQ(t1->FindStorage("B"), nullptr);
  // The alias is the system's: the second transaction shares the filer.
  TQdfInTransStorage* a2 = t2->OpenStorage("A");
  EXPECT_EQ(a2->Filer(), a1->Filer());
  EXPECT_EQ(a1->Filer(), fx.system->LookupFiler("A"));
  // Adding from outside: not twice, not under a taken alias.
  EXPECT_EQ(t1->AddStorage(a1, false), nullptr);
  EXPECT_EQ(t1->AddStorage(a2, false), nullptr);
  // A running transaction starts a storage when it is opened.
  t1->SetActive(true);
  TQdfInTransStorage* b = t1->OpenStorage("B", false, fx.Db("b.qdf"));
  ASSERT_NE(b->Reader(), nullptr);
  EXPECT_TRUE(b->Reader()->InWriteTransaction());
  t1->SetActive(false);
  t2.reset();
  t1.reset();
}

// ---- schema changes between transactions ----

TEST(TransactionReload, OtherTransactionsSchemaChangeReloadsWithEvents4Then1) {
  TEventLog log;  // outlives the storages it listens to
  TSystemFixture fx;
  TQdfInTransStorage* s1 = OpenIdle(fx, "Reader");
  TQdfTransaction* t1 = s1->Transaction();
  log.Attach(s1);

  auto t2 = fx.system->NewTransaction("Writer");
  TQdfInTransStorage* s2 = t2->OpenStorage("A");
  s2->Execute(kClassX);  // starts t2
  EXPECT_TRUE(t2->Active());
  t2->SetActive(false);

  EXPECT_EQ(s1->ChildByName("X"), nullptr);
  t1->SetActive(true);
  EXPECT_EQ(log.Transactional(), (std::vector<int>{4, 1}));
  EXPECT_NE(s1->ChildByName("X"), nullptr);
  EXPECT_EQ(s1->LoadedSchemaTAN(), s2->SchemaTAN());

  // Its own schema change is not reloaded at the next start.
  log.Clear();
  s1->Execute("create TQdfItemClass Y (TQdfIntegerField a)");
  t1->CommitAndContinue();
  EXPECT_EQ(log.Transactional(), std::vector<int>{5});
  EXPECT_NE(s1->ChildByName("Y"), nullptr);
  t1->SetActive(false);

  // A data-only commit of another transaction refreshes without a reload.
  t2->SetActive(true);
  {
    auto table = s2->TableByName("$BLOB");
    EXPECT_NE(table, nullptr);
  }
  t2->SetActive(false);
  log.Clear();
  t1->SetActive(true);
  EXPECT_EQ(log.Transactional(), std::vector<int>{1});
}

TEST(TransactionReload, ReloadIsRefusedWhileWorkingInstancesAreOut) {
  TSystemFixture fx;
  TQdfInTransStorage* s1 = OpenIdle(fx, "Reader");
  s1->Transaction()->SetActive(true);
  s1->Execute(std::string(kClassX) + "; create table t on X");
  s1->Transaction()->SetActive(false);
  std::unique_ptr<TQdfTable> table = s1->TableByName("t");

  auto t2 = fx.system->NewTransaction("Writer");
  t2->OpenStorage("A")->Execute("create TQdfItemClass Z (TQdfIntegerField a)");
  t2->SetActive(false);

  EXPECT_EQ(MessageOf([&] { s1->Transaction()->SetActive(true); }),
            "Struktur kann nicht neu eingelesen werden");
  EXPECT_FALSE(s1->Transaction()->Active());
  EXPECT_EQ(s1->Transaction()->State(), TQdfTransaction::kIdle);
  // Nothing held: the writer can go on, and after the table is freed the reader too.
  t2->SetActive(true);
  t2->SetActive(false);
  table.reset();
  s1->Transaction()->SetActive(true);
  EXPECT_NE(s1->ChildByName("Z"), nullptr);
}

// ---- rollback ----

TEST(TransactionRollback, DestroyedWhileRunningRollsBackSilently) {
  TEventLog log;  // outlives the storages it listens to
  TSystemFixture fx;
  TQdfInTransStorage* s = OpenIdle(fx, "T");
  const uint32_t committed = Committed(s);
  log.Attach(s);
  s->Execute(kClassX);
  log.Clear();
  fx.EndTransaction(s->Transaction());
  // Only the storage's own removal was told.
  ASSERT_EQ(log.events.size(), 1u);
  EXPECT_EQ(log.events[0], 6);
  EXPECT_EQ(CommittedOnDisk(fx.Db()), committed);
  EXPECT_EQ(fx.system->FindTransaction("T"), nullptr);

  auto t = fx.system->NewTransaction("T");
  TQdfInTransStorage* again = t->OpenStorage("A");
  t->SetActive(true);
  EXPECT_EQ(again->ChildByName("X"), nullptr);
}

TEST(TransactionRollback, RolledBackSchemaChangeLeavesTheOldSchema) {
  TEventLog log;  // outlives the storages it listens to
  TSystemFixture fx;
  TQdfInTransStorage* s = OpenIdle(fx, "T");
  TQdfTransaction* t = s->Transaction();
  s->Execute(kClassX);
  t->SetActive(false);
  const uint32_t committed = Committed(s);

  s->Execute("create TQdfItemClass Y (TQdfIntegerField a); drop X");
  EXPECT_NE(s->ChildByName("Y"), nullptr);
  EXPECT_EQ(s->ChildByName("X"), nullptr);
  log.Attach(s);
  t->Rollback(true);
  EXPECT_EQ(Committed(s), committed);
  t->SetActive(true);
  EXPECT_EQ(log.Transactional(), (std::vector<int>{3, 4, 1}));
  EXPECT_EQ(s->ChildByName("Y"), nullptr);
  EXPECT_NE(s->ChildByName("X"), nullptr);
}

TEST(TransactionRollback, PagesWrittenBeforeARollbackAreNotReusedLater) {
  TSystemFixture fx;
  TQdfInTransStorage* s1 = OpenIdle(fx, "First");
  TQdfTransaction* t1 = s1->Transaction();
  const uint32_t committed = Committed(s1);
  // Pages written in the middle of a transaction carry its number ...
  s1->Execute("create TQdfItemClass Lost (TQdfIntegerField a)");
  s1->FlushStorage();
  EXPECT_EQ(s1->Reader()->DirtyCount(), 0);
  t1->Rollback(false);
  EXPECT_EQ(s1->Reader()->CachedPage(1), nullptr);

  // ... which the next writer of the file uses again.
  auto t2 = fx.system->NewTransaction("Second");
  TQdfInTransStorage* s2 = t2->OpenStorage("A");
  s2->Execute("create TQdfItemClass Kept (TQdfIntegerField a)");
  t2->SetActive(false);
  EXPECT_EQ(Committed(s2), committed + 1);

  t1->SetActive(true);
  EXPECT_EQ(s1->ChildByName("Lost"), nullptr);
  EXPECT_NE(s1->ChildByName("Kept"), nullptr);
  // The cached view and the file agree: a fresh load gives the same tree.
  s1->LoadObjectTree();
  EXPECT_EQ(s1->ChildByName("Lost"), nullptr);
  EXPECT_NE(s1->ChildByName("Kept"), nullptr);
}

// ---- commit ----

TEST(TransactionCommit, NewDatabaseIsCommittedRightAfterItsFirstStart) {
  TEventLog log;  // outlives the storages it listens to
  TSystemFixture fx;
  auto t = fx.system->NewTransaction("T");
  TQdfInTransStorage* s = t->OpenStorage("New", false, fx.Db("new.qdf"));
  log.Attach(s);
  EXPECT_EQ(CommittedOnDisk(fx.Db("new.qdf")), 1u);
  t->SetActive(true);
  EXPECT_TRUE(t->Active());
  EXPECT_EQ(log.Transactional(), (std::vector<int>{4, 2, 1}));
  EXPECT_EQ(CommittedOnDisk(fx.Db("new.qdf")), 2u);
  for (const char* name : {"$ID", "$BLOB", "$UPDATE_LIST", "$FREE_LIST"}) {
    EXPECT_NE(s->ChildByName(name), nullptr) << name;
  }
  // Another transaction reading the file finds the bootstrap without any
  // further commit.
  auto reader = fx.system->NewTransaction("Reader");
  TQdfInTransStorage* r = reader->OpenStorage("New", true);
  reader->SetActive(true);
  EXPECT_NE(r->ChildByName("$UPDATE_LIST"), nullptr);
  EXPECT_NE(r->ChildByName("$FREE_LIST"), nullptr);
  EXPECT_NE(r->IDIndex(), nullptr);
}

// The database keeps the highest object ID drawn for it, so that a writer
// opening it later starts above every ID stored.
TEST(TransactionCommit, TheFileKeepsTheHighestObjectIDDrawn) {
  TSystemFixture fx;
  uint64_t highest = 0;
  fx.Write([&](TQdfInTransStorage* s) {
    s->Execute("create TQdfItemClass R (TQdfObjectIDField ThisID); create table rows on R");
    std::unique_ptr<TQdfTable> table = s->TableByName("rows");
    for (int i = 0; i < 50; ++i) {
      table->Insert();
      table->Post();
      highest = static_cast<uint64_t>(
          static_cast<TQdfObjectIDField*>(table->FieldByName("ThisID"))->AsInt64());
    }
  });
  EXPECT_GT(highest, 0u);
  EXPECT_GE(fx.Open()->Root()->IDHighWater(), highest);
}

// ---- concurrency ----

TEST(TransactionWriters, SecondWriterFailsAndChangesNothing) {
  TSystemFixture fx;
  TQdfInTransStorage* a1 = OpenIdle(fx, "T1");
  TQdfTransaction* t1 = a1->Transaction();
  t1->SetActive(true);

  auto t2 = fx.system->NewTransaction("T2");
  TQdfInTransStorage* b = t2->OpenStorage("B", false, fx.Db("b.qdf"));
  TQdfInTransStorage* a2 = t2->OpenStorage("A");
  const uint32_t committed_b = CommittedOnDisk(fx.Db("b.qdf"));
  EXPECT_EQ(MessageOf([&] { t2->SetActive(true); }), "Only one Write-Transaction allowed");
  EXPECT_FALSE(t2->Active());
  EXPECT_EQ(t2->State(), TQdfTransaction::kIdle);
  // B, started before A failed, gave its file back.
  EXPECT_EQ(static_cast<TQdfLocalFiler*>(b->Filer())->WriteOwner(), nullptr);
  auto t3 = fx.system->NewTransaction("T3");
  t3->OpenStorage("B")->Execute("create TQdfItemClass Other (TQdfIntegerField a)");
  t3->SetActive(false);
  EXPECT_GT(CommittedOnDisk(fx.Db("b.qdf")), committed_b);

  // The first writer is unharmed; afterwards the second may write.
  a1->Execute(kClassX);
  t1->SetActive(false);
  t2->SetActive(true);
  EXPECT_NE(a2->ChildByName("X"), nullptr);
  EXPECT_NE(b->ChildByName("Other"), nullptr);
  t2->SetActive(false);

  // A storage opened into a running transaction whose file has a writer
  // is not added.
  t1->SetActive(true);
  auto t4 = fx.system->NewTransaction("T4");
  t4->SetActive(true);
  EXPECT_EQ(MessageOf([&] { t4->OpenStorage("A"); }), "Only one Write-Transaction allowed");
  EXPECT_EQ(t4->FindStorage("A"), nullptr);
  EXPECT_TRUE(t4->Active());
}

// Run by AnotherProcessCannotOpenTheFileForWriting as a child process: tries
// to open QDF_TXN_CHILD_FILE for writing and prints the engine's answer.
TEST(TransactionChild, OpenForWriting) {
  const char* path = std::getenv("QDF_TXN_CHILD_FILE");
  if (path == nullptr) GTEST_SKIP() << "runs only as the child of AnotherProcessCannotOpen...";
  std::printf("CHILD %s\n", MessageOf([&] {
                              TQdfLocalFiler* f = new TQdfLocalFiler(path, false, "Other");
                              f->Release();
                            }).c_str());
}

TEST(TransactionWriters, AnotherProcessCannotOpenTheFileForWriting) {
  TSystemFixture fx;
  TQdfInTransStorage* s = OpenIdle(fx, "T");
  const std::string path = fx.Db();
  const uint32_t committed = CommittedOnDisk(path);
  qdf_test::TRunOptions options;
  options.env = {{"QDF_TXN_CHILD_FILE", path}};
  const qdf_test::TRunResult run = qdf_test::RunProcess(
      qdf_test::ShellQuote(qdf_test::SelfExe()) + " --gtest_filter=TransactionChild.OpenForWriting",
      options);
  EXPECT_EQ(run.code, 0) << run.output;
  EXPECT_NE(run.output.find("CHILD cannot open file: " + path + ": locked by another writer\n"),
            std::string::npos)
      << run.output;
  EXPECT_EQ(CommittedOnDisk(path), committed);
  s->Execute(kClassX);
  s->Transaction()->SetActive(false);
}

TEST(TransactionWriters, ReaderKeepsTheSnapshotOfItsStart) {
  TSystemFixture fx;
  TQdfInTransStorage* w = OpenIdle(fx, "Writer");
  TQdfTransaction* tw = w->Transaction();
  w->Execute(std::string(kClassX) + "; create table t on X");
  tw->SetActive(false);

  auto tr = fx.system->NewTransaction("Reader");
  TQdfInTransStorage* r = tr->OpenStorage("A", true);
  tr->SetActive(true);
  std::vector<uint8_t> before(kPageSize);
  std::memcpy(before.data(), r->Reader()->GetPage(1, kGpRead), kPageSize);
  const uint32_t seen = r->Reader()->TransactionNumber();

  // Enough commits that freed blocks would be reused if the reader were ignored.
  for (int i = 0; i < 6; ++i) {
    const std::string n = std::to_string(i);
    w->Execute("create TQdfItemClass N" + n + " (TQdfIntegerField a); drop t; create table t on X");
    tw->CommitAndContinue();
  }
  tw->SetActive(false);

  // Read everything again from the file, as the reader's snapshot names it.
  r->Reader()->Flush(kFlushDrop);
  EXPECT_EQ(r->Reader()->TransactionNumber(), seen);
  EXPECT_EQ(std::memcmp(before.data(), r->Reader()->GetPage(1, kGpRead), kPageSize), 0);
  r->LoadObjectTree();
  EXPECT_NE(r->ChildByName("t"), nullptr);
  EXPECT_EQ(r->ChildByName("N0"), nullptr);

  // Its next start sees the writer's work.
  tr->SetActive(false);
  tr->SetActive(true);
  EXPECT_NE(r->ChildByName("N5"), nullptr);
}

// A file whose first transaction never committed reads as an empty
// database.
TEST(TransactionWriters, ReadOnlyStorageOfAnEmptyFileIsEmpty) {
  TSystemFixture fx;
  TQdfInTransStorage* r = fx.Open("E", true, "empty.qdf");
  TQdfTransaction* t = r->Transaction();
  EXPECT_EQ(r->ObjectsCount(), 0);
  EXPECT_EQ(MessageOf([&] { r->TableByName("t"); }), "Objekt: t existiert nicht.");
  t->SetActive(false);
  t->SetActive(true);
  EXPECT_EQ(r->ObjectsCount(), 0);
}

TEST(TransactionExecute, StorageOutsideATransactionMustHaveBeenStarted) {
  TSystemFixture fx;
  auto t = fx.system->NewTransaction("T");
  TQdfInTransStorage* s = t->OpenStorage("A", false, fx.Db());
  t->RemoveStorage(s);
  EXPECT_EQ(s->Transaction(), nullptr);
  EXPECT_EQ(MessageOf([&] { s->Execute(kClassX); }),
            "Execute: the storage was never opened in a transaction");
  // Back in a transaction (not owned this time) it works.
  auto t2 = fx.system->NewTransaction("T2");
  EXPECT_EQ(t2->AddStorage(s, false), s);
  s->Execute(kClassX);
  t2->SetActive(false);
  t2.reset();
  EXPECT_EQ(s->Transaction(), nullptr);
  delete s;
}

// A blob follows its transaction: a rollback leaves it as it was (the new
// bytes and a new record's chunks go too), a commit keeps the new value
// across a reopen, a dropped table's blobs go, and the file stays sound.
TEST(TransactionBlobs, RollbackRestoresAndCommitKeepsTheBlob) {
  TSystemFixture fx;
  auto add = [](TQdfTable& t, const std::string& body) {
    t.Insert();
    t.FieldByName("body")->SetAsString(body);
    t.Post();
  };
  fx.Write([&](TQdfInTransStorage* s) {
    s->Execute(
        "create TQdfItemClass TDoc (TQdfBlobField body); create table d on TDoc; "
        "create table gone on TDoc");
    add(*s->TableByName("d"), std::string(5000, 'a'));
    add(*s->TableByName("gone"), std::string(4500, 'g'));
  });
  TQdfInTransStorage* s = fx.Open();
  TQdfTransaction* t = s->Transaction();
  {
    auto d = s->TableByName("d");
    d->First();
    d->Edit();
    d->FieldByName("body")->SetAsString(std::string(9000, 'b'));
    d->Post();
    add(*d, std::string(3000, 'n'));
    ASSERT_EQ(s->BlobTable()->Count(), 5 + 1 + 3);
  }
  t->Rollback(false);
  t->SetActive(true);
  {
    auto d = s->TableByName("d");
    d->First();
    EXPECT_EQ(d->FieldByName("body")->GetAsString(), std::string(5000, 'a'));
    d->Next();
    EXPECT_EQ(d->Cursor().Item(), nullptr);
    EXPECT_EQ(s->BlobTable()->Count(), 3 + 3);
    d->First();
    d->Edit();
    d->FieldByName("body")->SetAsString(std::string(7000, 'c'));
    d->Post();
  }
  s->Execute("drop gone");  // its blob goes along
  t->Commit(true);
  fx.EndTransaction(t);
  fx.Restart();
  {
    TQdfInTransStorage* read = fx.Open();
    auto d = read->TableByName("d");
    d->First();
    EXPECT_EQ(d->FieldByName("body")->GetAsString(), std::string(7000, 'c'));
    EXPECT_EQ(read->BlobTable()->Count(), 4);
  }
  fx.kept.clear();
  fx.Restart();
  const TQdfCheckReport r = CheckDatabase(fx.Db());
  EXPECT_TRUE(r.Sound()) << (r.problems.empty() ? "" : r.problems.front());
}

}  // namespace
}  // namespace qdf
