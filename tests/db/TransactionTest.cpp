#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <deque>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "EnvSize.h"
#include "ErrorText.h"
#include "FileBytes.h"
#include "db/InTransStorage.h"
#include "db/System.h"
#include "db/SystemTestUtil.h"
#include "db/Transaction.h"
#include "file/FileFormat.h"
#include "file/IndirectPageReader.h"
#include "object/PersistentObjectFactory.h"
#include "object/QHStorage.h"
#include "table/Table.h"

namespace qdf {
namespace {

using qdf_test::TEventLog;
using qdf_test::TSystemFixture;

const char kClassX[] = "create TQdfItemClass X (TQdfIntegerField a; TQdfCharField b)";

using qdf_test::MessageOf;

// The committed transaction number in the file's header on disk.
uint32_t CommittedOnDisk(const std::string& path) {
  return LoadU32(&qdf_test::ReadFileBytes(path)[kHdrRoot + kRootTransaction]);
}

// ---- a random model of transactions ----

// Writers and readers over two files start, change the schema, write pages
// early, commit, continue, roll back and are destroyed at random. After every
// step each running transaction sees its snapshot plus its own changes (from
// its cache and, read again, from the file), each file's header on disk
// holds the number of commits made, and every storage heard the events due.
class TTransactionModel {
 public:
  TTransactionModel() {
    for (TFile& f : files_) {
      fx_.Write({}, f.name);
      f.number = CommittedOnDisk(fx_.Db(f.name));
    }
    for (size_t i = 0; i < txns_.size(); ++i) Make(txns_[i], i);
  }
  ~TTransactionModel() { fx_.kept.clear(); }

  void Step(std::mt19937& rng) {
    const size_t i = rng() % txns_.size();
    TTxn& x = txns_[i];
    SCOPED_TRACE("transaction " + std::to_string(i));
    for (TEventLog* log : x.logs) log->events.clear();
    const int op = static_cast<int>(rng() % 10);
    if (!x.t->Active()) {
      if (op == 0) {
        EXPECT_EQ(MessageOf([&] { x.t->Commit(true); }), "No Transaction running");
        x.t->SetActive(false);
        ExpectEvents(x, {});
      } else {
        Start(x, op == 1 ? 5 : 1);
      }
    } else if (op <= 3 && !x.read_only) {
      const size_t f = rng() % x.files.size();
      const std::string name = "N" + std::to_string(rng() % 4);
      const bool has = x.view[f].count(name) != 0;
      x.s[f]->Execute(has ? "drop " + name
                          : "create TQdfItemClass " + name + " (TQdfIntegerField a)");
      if (has) {
        x.view[f].erase(name);
      } else {
        x.view[f].insert(name);
      }
      x.changed_schema[f] = true;
      if (rng() % 2 == 0) x.s[f]->FlushStorage();  // pages written before the commit
    } else if (op == 4) {
      EXPECT_EQ(MessageOf([&] { x.t->StartTransaction(1); }), "Transaction already running");
      x.t->SetActive(true);
      ExpectEvents(x, {});
    } else if (op <= 6) {
      x.t->SetActive(false);
      Committed(x);
      ExpectEvents(x, {2});
    } else if (op == 7) {
      x.t->CommitAndContinue();
      Committed(x);
      Started(x, 5);
    } else if (op == 8) {
      x.t->Rollback(true);
      RolledBack(x);
      ExpectEvents(x, {3});
    } else {
      x.s[0]->RemoveListener(x.logs[0]->handle);  // hears nothing more
      fx_.EndTransaction(x.t);                    // rolls back silently
      ExpectEvents(x, {});
      EXPECT_TRUE(x.logs[0]->events.empty());  // not even the storage's removal
      Make(x, i);
    }
    Check();
  }

 private:
  struct TFile {
    std::string name;
    std::set<std::string> committed{};
    uint32_t number = 0;
    int schema = 0;  // counts the commits that changed the schema
  };
  struct TTxn {
    std::vector<size_t> files;  // opened in this order
    bool read_only = false;
    TQdfTransaction* t = nullptr;
    std::vector<TQdfInTransStorage*> s{};
    std::vector<TEventLog*> logs{};
    std::vector<std::set<std::string>> view{};
    std::vector<int> loaded{};  // the schema each storage holds; -1: none
    std::vector<bool> changed_schema{};
  };

  void Make(TTxn& x, size_t i) {
    x.t = fx_.KeepTransaction("T" + std::to_string(i));
    x.s.clear();
    x.logs.clear();
    for (size_t f : x.files) {
      x.s.push_back(x.t->OpenStorage(f == 0 ? "A" : "B", x.read_only, fx_.Db(files_[f].name)));
      logs_.emplace_back();
      logs_.back().Attach(x.s.back());
      x.logs.push_back(&logs_.back());
    }
    x.loaded.assign(x.files.size(), -1);
    x.view.assign(x.files.size(), {});
    x.changed_schema.assign(x.files.size(), false);
  }
  bool Writes(const TTxn& x, size_t f) const {
    return !x.read_only && std::find(x.files.begin(), x.files.end(), f) != x.files.end();
  }
  // A writer starts only when no other running writer holds one of its files.
  void Start(TTxn& x, int event) {
    for (const TTxn& other : txns_) {
      if (&other == &x || !other.t->Active()) continue;
      for (size_t f = 0; f < files_.size(); ++f) {
        if (!Writes(x, f) || !Writes(other, f)) continue;
        EXPECT_EQ(MessageOf([&] { x.t->SetActive(true); }), "Only one Write-Transaction allowed");
        EXPECT_FALSE(x.t->Active());
        x.loaded.assign(x.files.size(), -2);  // what the failed start loaded is not told
        return;
      }
    }
    event == 5 ? x.t->CommitAndContinue() : x.t->SetActive(true);
    Started(x, event);
  }
  void Started(TTxn& x, int event) {
    for (size_t k = 0; k < x.files.size(); ++k) {
      const TFile& f = files_[x.files[k]];
      const bool reload = x.loaded[k] != f.schema;
      if (x.loaded[k] != -2) {
        const std::vector<int> due = reload ? std::vector<int>{4, 1} : std::vector<int>{event};
        EXPECT_EQ(x.logs[k]->Transactional(), due);
      }
      x.loaded[k] = f.schema;
      x.view[k] = f.committed;
      x.changed_schema[k] = false;
      ExpectView(x.s[k], x.view[k]);
    }
  }
  void Committed(TTxn& x) {
    if (x.read_only) return;
    for (size_t k = 0; k < x.files.size(); ++k) {
      TFile& f = files_[x.files[k]];
      ++f.number;
      if (x.changed_schema[k]) f.schema = ++schemas_;
      f.committed = x.view[k];
      x.loaded[k] = f.schema;  // its own change is not loaded again
    }
  }
  void RolledBack(TTxn& x) {
    for (size_t k = 0; k < x.files.size(); ++k) {
      if (x.changed_schema[k]) x.loaded[k] = -1;
    }
  }
  void ExpectEvents(const TTxn& x, const std::vector<int>& events) {
    for (TEventLog* log : x.logs) EXPECT_EQ(log->Transactional(), events);
  }
  static void ExpectView(TQdfInTransStorage* s, const std::set<std::string>& view) {
    for (int n = 0; n < 4; ++n) {
      const std::string name = "N" + std::to_string(n);
      EXPECT_EQ(s->ChildByName(name) != nullptr, view.count(name) != 0) << name;
    }
  }
  void Check() {
    for (const TFile& f : files_) EXPECT_EQ(CommittedOnDisk(fx_.Db(f.name)), f.number) << f.name;
    for (TTxn& x : txns_) {
      if (!x.t->Active()) continue;
      for (size_t k = 0; k < x.files.size(); ++k) {
        ExpectView(x.s[k], x.view[k]);
        if (!x.read_only) continue;
        // A reader's snapshot read again from the file: no commit since
        // reused the blocks it reads.
        x.s[k]->Reader()->Flush(kFlushDrop);
        x.s[k]->LoadObjectTree();
        ExpectView(x.s[k], x.view[k]);
      }
    }
  }

  std::deque<TEventLog> logs_;  // outlive the storages they listen to
  TSystemFixture fx_;
  std::array<TFile, 2> files_ = {TFile{.name = "a.qdf"}, TFile{.name = "b.qdf"}};
  int schemas_ = 0;
  // B before A for the second writer: when A is taken, B, started first,
  // must be given back.
  std::array<TTxn, 5> txns_ = {TTxn{.files = {0}}, TTxn{.files = {1, 0}}, TTxn{.files = {1}},
                               TTxn{.files = {0, 1}, .read_only = true},
                               TTxn{.files = {0}, .read_only = true}};
};

TEST(TransactionModel, RandomWritersAndReadersMatchTheCommittedStates) {
  const long steps = qdf_test::EnvSize("QDF_TXN_MODEL_STEPS", 400);
  for (unsigned seed = 1; seed <= 2; ++seed) {
    SCOPED_TRACE("seed " + std::to_string(seed));
    std::mt19937 rng(seed);
    TTransactionModel model;
    for (long i = 0; i < steps && !::testing::Test::HasFailure(); ++i) model.Step(rng);
  }
}

// ---- storages ----

TEST(TransactionStorages, AliasesAreUniqueFilersSharedExecuteNeedsAStartReloadWaitsAndIDsStay) {
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
  // ... and does not keep it when its file has another writer.
  auto t3 = fx.system->NewTransaction("T3");
  t3->SetActive(true);
  EXPECT_EQ(MessageOf([&] { t3->OpenStorage("A"); }), "Only one Write-Transaction allowed");
  EXPECT_EQ(t3->FindStorage("A"), nullptr);
  t1->SetActive(false);
  t2.reset();
  t1.reset();
  // A storage outside a transaction must have been started in one.
  auto t = fx.system->NewTransaction("T");
  TQdfInTransStorage* s = t->OpenStorage("C", false, fx.Db("c.qdf"));
  t->RemoveStorage(s);
  EXPECT_EQ(s->Transaction(), nullptr);
  EXPECT_EQ(MessageOf([&] { s->Execute(kClassX); }),
            "Execute: the storage was never opened in a transaction");
  // Back in a transaction (not owned this time) it works.
  auto t4 = fx.system->NewTransaction("T4");
  EXPECT_EQ(t4->AddStorage(s, false), s);
  s->Execute(kClassX);
  t4->SetActive(false);
  t4.reset();
  EXPECT_EQ(s->Transaction(), nullptr);
  delete s;

  // A schema reload is refused while working instances are out.
  fx.Restart();
  TQdfInTransStorage* s1 = fx.KeepTransaction("Reader")->OpenStorage("A", false, fx.Db());
  s1->Transaction()->SetActive(true);
  s1->Execute(std::string(kClassX) + "; create table t on X");
  s1->Transaction()->SetActive(false);
  std::unique_ptr<TQdfTable> table = s1->TableByName("t");

  auto w = fx.system->NewTransaction("Writer");
  w->OpenStorage("A")->Execute("create TQdfItemClass Z (TQdfIntegerField a)");
  w->SetActive(false);

  EXPECT_EQ(MessageOf([&] { s1->Transaction()->SetActive(true); }),
            "Struktur kann nicht neu eingelesen werden");
  EXPECT_FALSE(s1->Transaction()->Active());
  EXPECT_EQ(s1->Transaction()->State(), TQdfTransaction::kIdle);
  // Nothing held: the writer can go on, and after the table is freed the reader too.
  w->SetActive(true);
  w->SetActive(false);
  table.reset();
  s1->Transaction()->SetActive(true);
  EXPECT_NE(s1->ChildByName("Z"), nullptr);
  // The database keeps the highest object ID drawn for it, so that a writer
  // opening it later starts above every ID stored.
  fx.Write(
      [](TQdfInTransStorage* s) {
        s->Execute("create TQdfItemClass R (TQdfObjectIDField ThisID); create table rows on R");
        std::unique_ptr<TQdfTable> table = s->TableByName("rows");
        table->Insert();
        table->Post();
      },
      "h.qdf");
  EXPECT_GE(fx.Open("H", false, "h.qdf")->Root()->IDHighWater(),
            TQdfPersistentObjectFactory::Instance().LastIDValue());
}

}  // namespace
}  // namespace qdf
