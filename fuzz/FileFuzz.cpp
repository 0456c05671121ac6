// Fuzz driver of the file opener and the integrity check: the input is the
// bytes of a database file.
//
// Oracle, per input:
// - CheckDatabase either reports or raises EQdfException (a file it cannot
//   open as a database); it never changes the file.
// - A read-only session walks every table of the file as qdf dump does,
//   reading every field of every record; it may raise EQdfException only
//   when the check found problems, and it never changes the file.
// - A writable session either refuses the file with EQdfException or opens
//   it; then one record goes into a new table and the transaction commits,
//   or the engine refuses that with EQdfException (a damaged file).
// - With QDF_FUZZ_FILE_STRICT=1 also: on a file the check found sound, the
//   write may not fail, and the file must still be sound afterwards. The
//   check does not yet see every damage a writer trips over (fuzz/README.md
//   lists what is known), so the test runs without it.
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "FileBytes.h"
#include "FuzzRunner.h"
#include "check/IntegrityCheck.h"
#include "db/InTransStorage.h"
#include "db/System.h"
#include "db/Transaction.h"
#include "query/TableOp.h"
#include "record/Field.h"
#include "record/ItemClass.h"
#include "script/Node.h"
#include "table/Table.h"

namespace qdf_fuzz {

namespace {

std::string Problems(const qdf::TQdfCheckReport& report) {
  std::string s;
  for (size_t i = 0; i < report.problems.size() && i < 8; ++i) s += "\n  " + report.problems[i];
  return s;
}

// Every record of every table (the engine's own included), every field read
// as text: what qdf dump reads, and more.
void WalkTables(qdf::TQdfInTransStorage& storage) {
  for (int i = 0; i < storage.ObjectsCount(); ++i) {
    qdf::TQdfPersistentObject* child = storage.ChildAt(i);
    if (!child->IsKindOf(qdf::TQdfTable::kClassInfo)) continue;
    std::unique_ptr<qdf::TQdfTable> table = storage.TableByName(child->ObjectName());
    if (table == nullptr) continue;
    table->ForEachMatch(nullptr, qdf::kOpDefault, [](qdf::TQdfTable& t, bool&) {
      qdf::TQdfItemClass* cls = t.CursorClass() != nullptr ? t.CursorClass() : t.ItemClass();
      if (cls == nullptr) return;
      for (int f = 0; f < cls->FieldCount(); ++f) cls->FieldAt(f)->GetAsString();
    });
    table->Count();
  }
}

}  // namespace

TFuzzTraits Traits() { return {"file", 1 << 20, true, 400, {}}; }

std::vector<std::string> Seeds() {
  auto text = [](const std::vector<uint8_t>& b) { return std::string(b.begin(), b.end()); };
  std::vector<std::string> seeds;
  seeds.push_back(text(MakeDatabase("")));  // a new database: bootstrap objects only
  seeds.push_back(text(SampleDatabase()));
  // Deletions and a dropped index leave free blocks behind.
  seeds.push_back(text(MakeDatabase(kSampleSchema, [](qdf::TQdfInTransStorage& s) {
    FillSample(s);
    s.Transaction()->CommitAndContinue();
    std::unique_ptr<qdf::TQdfTable> t = s.TableByName("t");
    t->DeleteWhere(t->CompileFilter("k < 6"));
    s.Execute(
        "drop t.ia; create TQdfItemClass TBlobRec (TQdfBlobField b); create table tblob on "
        "TBlobRec");
    std::unique_ptr<qdf::TQdfTable> tb = s.TableByName("tblob");
    tb->Insert();
    tb->FieldByName("b")->SetAsString(std::string(3000, 'b'));
    tb->Post();
  })));
  // Inputs that once gave a wrong answer (fuzz/regressions, "file-*").
  const std::filesystem::path regressions =
      std::filesystem::path(QDF_DOCS_DIR) / "../fuzz/regressions";
  for (const auto& entry : std::filesystem::directory_iterator(regressions)) {
    if (entry.path().filename().string().starts_with("file-")) {
      seeds.push_back(text(qdf_test::ReadFileBytes(entry.path().string())));
    }
  }
  return seeds;
}

}  // namespace qdf_fuzz

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace qdf_fuzz;
  using qdf::QdfSystem;
  static const bool strict = [] {
    const char* v = std::getenv("QDF_FUZZ_FILE_STRICT");
    return v != nullptr && std::strcmp(v, "1") == 0;
  }();
  const std::string path = ScratchFile("file.qdf");
  const std::vector<uint8_t> bytes(data, data + size);
  qdf_test::WriteFileBytes(path, bytes);

  qdf::TQdfCheckReport report;
  const bool checked =
      Attempt("check", TRefusals::kEngineOnly, [&] { report = qdf::CheckDatabase(path); });
  const bool sound = checked && report.Sound();
  if (qdf_test::ReadFileBytes(path) != bytes) Fail("the integrity check changed the file");

  {
    TFilerScope filer(path);
    std::unique_ptr<qdf::TQdfTransaction> t = QdfSystem()->NewTransaction("fuzz read");
    const bool walked = Attempt("read-only walk", TRefusals::kEngineOnly, [&] {
      qdf::TQdfInTransStorage* storage = t->OpenStorage(path, true, path);
      t->SetActive(true);
      WalkTables(*storage);
    });
    if (!walked && sound)
      Fail("the check found the file sound, but reading its tables failed: " + LastRefusal());
  }
  if (qdf_test::ReadFileBytes(path) != bytes) Fail("a read-only session changed the file");

  {
    TFilerScope filer(path);
    std::unique_ptr<qdf::TQdfTransaction> t = QdfSystem()->NewTransaction("fuzz write");
    const bool wrote = Attempt("write", TRefusals::kEngineOnly, [&] {
      qdf::TQdfInTransStorage* storage = t->OpenStorage(path, false, path);
      t->SetActive(true);
      storage->Execute(
          "create TQdfItemClass TFuzzProbe (TQdfIntegerField n); create table fuzz_probe on "
          "TFuzzProbe");
      std::unique_ptr<qdf::TQdfTable> probe = storage->TableByName("fuzz_probe");
      probe->Insert();
      probe->FieldByName("n")->SetAsString("7");
      probe->Post();
      probe.reset();
      t->Commit(true);
    });
    if (!wrote && sound && strict)
      Fail("the check found the file sound, but a write transaction failed: " + LastRefusal());
  }
  if (sound && strict) {
    qdf::TQdfCheckReport after;
    if (!Attempt("check after the write", TRefusals::kEngineOnly,
                 [&] { after = qdf::CheckDatabase(path); }) ||
        !after.Sound()) {
      Fail("a sound file is damaged after a write transaction:" + Problems(after));
    }
  }
  if (sound) NoteDeepInput();
  std::filesystem::remove(path);
  return 0;
}
