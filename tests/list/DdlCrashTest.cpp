// Power loss at every write and sync of a commit that changes the schema:
// the reopened database shows the old schema or the new one, never a mix.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "TestDir.h"
#include "base/FaultFileSystem.h"
#include "base/QdfException.h"
#include "file/IndirectPageReader.h"
#include "file/LocalFiler.h"
#include "list/Fields.h"
#include "list/Index.h"
#include "list/Storage.h"
#include "list/Table.h"
#include "reader/PageReader.h"

namespace qdf {
namespace {

// One open database: filer, reader in a write transaction, storage.
struct TOpenDb {
  TOpenDb(const std::string& path, bool read_only) {
    filer = new TQdfLocalFiler(path, read_only, "CRASH");
    reader = std::make_unique<TQdfIndirectPageReader>(filer);
    reader->Open(read_only);
    if (!read_only) reader->StartTransaction();
    storage.reset(static_cast<TQdfStorage*>(
        TQdfPersistentObject::Create(TQdfStorage::kClassInfo, nullptr).release()));
    storage->OpenRoot(reader.get());
  }
  ~TOpenDb() {
    storage.reset();
    reader.reset();
    filer->Release();
  }
  void Commit() {
    for (int round = 0; round < 2; ++round) {  // the first flush may allocate
      storage->StoreModified();
      reader->Flush(kFlushWriteUnpin);
    }
    reader->Commit(false);
  }
  TQdfLocalFiler* filer;
  std::unique_ptr<TQdfIndirectPageReader> reader;
  std::unique_ptr<TQdfStorage> storage;
};

void AddRecords(TQdfStorage& s, int from, int count) {
  auto t = s.TableByName("t1");
  for (int i = from; i < from + count; ++i) {
    t->Insert();
    static_cast<TQdfIntegerField*>(t->FieldByName("a"))->SetAsInteger(i);
    t->FieldByName("c")->SetAsString("row " + std::to_string(i));
    t->Post();
  }
}

// Everything a reader can see of the schema and the data, as text.
std::string Fingerprint(const std::string& path) {
  TOpenDb db(path, true);
  std::string text;
  std::function<void(const TQdfPersistentObject&)> walk = [&](const TQdfPersistentObject& o) {
    for (int i = 0; i < o.ObjectsCount(); ++i) {
      const TQdfPersistentObject* c = o.ChildAt(i);
      text += c->FullName() + ":" + c->ClassInfo()->name + "\n";
      walk(*c);
    }
  };
  walk(*db.storage);
  auto t = db.storage->TableByName("t1");
  int64_t sum = 0, n = 0;
  for (t->First(); t->Cursor().Item() != nullptr; t->Next()) {
    sum += static_cast<TQdfIntegerField*>(t->FieldByName("a"))->AsInteger();
    ++n;
  }
  text += "records " + std::to_string(n) + " sum " + std::to_string(sum) + "\n";
  for (TQdfIndex* ix : t->Indexes()) {
    int64_t keys = 0;
    for (ix->First(); !ix->Position().IsNull(); ix->Next()) ++keys;
    text += ix->ObjectName() + " keys " + std::to_string(keys) + "\n";
  }
  text += "version " + std::to_string(db.storage->Root()->SchemaVersion()) + "\n";
  return text;
}

// State A: the bootstrap, a class, a table and 40 records.
void MakeStateA(const std::string& path) {
  TOpenDb db(path, false);
  db.storage->Execute(
      "create TQdfItemClass TBench (TQdfIntegerField a; TQdfIntegerField b; TQdfCharField c);"
      "create table t1 on TBench;");
  AddRecords(*db.storage, 0, 40);
  db.Commit();
}

// Transaction B: an index built over the records, a new class, more records,
// a dropped class and a new schema version.
void RunTransactionB(const std::string& path) {
  TOpenDb db(path, false);
  db.storage->Execute(
      "create unique index ia on t1 (a);create index ic on t1 (DESC c);"
      "create TQdfItemClass Extra (TQdfFloatField f);version 2.0");
  AddRecords(*db.storage, 40, 60);
  db.storage->Execute("drop Extra;");
  db.Commit();
}

TEST(DdlCrashSafety, PowerLossAtEveryOperationOfASchemaCommit) {
  qdf_test::TTestDir dir;
  const std::string base = dir.File("base.qdf");
  const std::string work = dir.File("work.qdf");
  MakeStateA(base);
  const std::string state_a = Fingerprint(base);
  std::filesystem::copy_file(base, work, std::filesystem::copy_options::overwrite_existing);
  int ops = 0;
  {
    TFaultFileSystem fs;
    SetDatabaseFileSystem(&fs);
    RunTransactionB(work);
    ops = fs.OpCount();
    SetDatabaseFileSystem(nullptr);
  }
  const std::string state_b = Fingerprint(work);
  ASSERT_NE(state_a, state_b);
  ASSERT_NE(state_b.find("ia keys 100"), std::string::npos) << state_b;
  ASSERT_GT(ops, 4);
  int saw_a = 0, saw_b = 0;
  for (int op = 1; op <= ops; ++op) {
    std::filesystem::copy_file(base, work, std::filesystem::copy_options::overwrite_existing);
    {
      TFaultFileSystem fs;
      SetDatabaseFileSystem(&fs);
      fs.CrashAfterOp(op);
      try {
        RunTransactionB(work);
      } catch (const EQdfException&) {
      }
      fs.SimulatePowerLoss();
      SetDatabaseFileSystem(nullptr);
    }
    const std::string seen = Fingerprint(work);
    ASSERT_TRUE(seen == state_a || seen == state_b) << "op " << op << ":\n" << seen;
    (seen == state_a ? saw_a : saw_b)++;
  }
  EXPECT_GT(saw_a, 0);
  EXPECT_GT(saw_b, 0);  // the crash after the final sync
}

}  // namespace
}  // namespace qdf
