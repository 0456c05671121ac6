// Fuzz driver of the data-definition statements: the input is a statement
// text, run statement by statement on a fresh copy of the sample database
// inside one write transaction.
//
// Oracle: a statement either succeeds or raises EQdfException (then the
// transaction is rolled back to the last statement that succeeded and the
// run goes on with the next one). After every statement that succeeded the
// transaction commits, and the integrity check must find the file sound: a
// statement that reports success and leaves a damaged schema is the fault
// this driver hunts.
#include <cctype>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "FileBytes.h"
#include "FuzzRunner.h"
#include "base/Helpers.h"
#include "check/IntegrityCheck.h"
#include "db/InTransStorage.h"
#include "db/System.h"
#include "db/Transaction.h"
#include "storage/DdlStatements.h"

namespace qdf_fuzz {

namespace {

// A text runs at most this many statements, so that an input stays quick.
constexpr int kMaxStatements = 12;

std::string Problems(const qdf::TQdfCheckReport& report) {
  std::string s;
  for (size_t i = 0; i < report.problems.size() && i < 8; ++i) s += "\n  " + report.problems[i];
  return s;
}

}  // namespace

TFuzzTraits Traits() {
  return {"ddl",
          2048,
          false,
          1000,
          {"create ",
           "drop ",
           "parent ",
           "rebuild ",
           "set ",
           "version ",
           "table ",
           "index ",
           "unique ",
           " on ",
           ";",
           "; ",
           "(",
           ")",
           "[",
           "]",
           "=",
           ".",
           " ",
           "\n",
           "//",
           "DESC ",
           "TQdfItemClass ",
           "TQdfIntegerField ",
           "TQdfCharField ",
           "TQdfFloatField ",
           "TQdfBooleanField ",
           "TQdfDateTimeField ",
           "TQdfObjectIDField ",
           "TQdfBlobField ",
           "TQdfByteArrayField ",
           "TQdfShortReferenceField ",
           "TQdfTable ",
           "TQdfIndex ",
           "TQdfIndexObject ",
           "IDX$Order ",
           "IDX$Structure ",
           "REF$t ",
           "BaseStructureName=",
           "BaseObjectClass=",
           "ObjectName=",
           "ixAscending=",
           "ReuseAddresses=",
           "MaxStructureSize=",
           "UserInfo=",
           "DefSize=",
           "FieldIndex=",
           "True",
           "False",
           "t",
           "t.ia",
           "t.ik",
           "u",
           "TRec",
           "TRec.a",
           "TRec.TSub",
           "TRec.TSub.e",
           "TOther",
           "TOther.x",
           "$ID",
           "$BLOB",
           "$ROOT",
           "1.2",
           "99.99.99.999"}};
}

std::vector<std::string> Seeds() {
  std::vector<std::string> seeds = {
      "create index ic on t (c, DESC f)",
      "drop t.ia",
      "drop t.ik; drop t; drop TRec",
      "parent TRec; create TQdfIntegerField g",
      "parent TRec.TSub; create TQdfCharField h; create index ih on t [TSub] (h)",
      "set t [ReuseAddresses=False]",
      "set TRec [ObjectName=TRenamed]",
      "set TRec.a [ixAscending=False]; rebuild t.ia",
      "rebuild t.ik; rebuild $ID",
      "version 1.2; version 1.3",
      "create TQdfItemClass TNew (TQdfIntegerField n; TQdfBlobField b); create table tn on TNew",
      "drop u; drop TOther; create TQdfItemClass TOther (TQdfCharField x)",
      "create TQdfTable v [BaseStructureName=TOther]",
      "drop TOther.x",
  };
  // The statements of the documentation, alone and as the page runs them.
  const std::vector<std::string> doc = DocArguments("ddl.md", "qdf exec shop.qdf ");
  std::string all;
  for (const std::string& statement : doc) {
    seeds.push_back(statement);
    all += statement + ";\n";
  }
  if (!all.empty()) seeds.push_back(all);
  return seeds;
}

}  // namespace qdf_fuzz

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace qdf_fuzz;
  const std::vector<uint8_t>& base = SampleDatabase();
  const std::string path = ScratchFile("ddl.qdf");
  qdf_test::WriteFileBytes(path, base);

  std::string rest(reinterpret_cast<const char*>(data), size);
  std::string history;  // the statements that succeeded, for the report
  {
    TFilerScope filer(path);
    std::unique_ptr<qdf::TQdfTransaction> t = qdf::QdfSystem()->NewTransaction("fuzz ddl");
    qdf::TQdfInTransStorage* storage = nullptr;
    if (!Attempt("open", TRefusals::kEngineOnly, [&] {
          storage = t->OpenStorage(path, false, path);
          t->SetActive(true);
        })) {
      Fail("the sample database does not open for writing: " + LastRefusal());
    }
    for (int n = 0; n < kMaxStatements; ++n) {
      const std::string statement = qdf::NextStatement(rest);
      // An empty statement ends the run, as in Execute.
      if (qdf::Trim(statement).empty()) break;
      const bool ran =
          Attempt("statement", TRefusals::kEngineOnly, [&] { storage->Execute(statement); });
      if (!ran) {
        Attempt("rollback", TRefusals::kEngineOnly, [&] { t->Rollback(false); });
        continue;
      }
      const std::string done = history + statement + ";\n";
      if (!Attempt("commit", TRefusals::kEngineOnly, [&] { t->CommitAndContinue(); })) {
        Fail("the statement succeeded but its commit was refused: " + LastRefusal() + "\n" + done);
      }
      qdf::TQdfCheckReport report;
      if (!Attempt("check", TRefusals::kEngineOnly, [&] { report = qdf::CheckDatabase(path); })) {
        Fail("the integrity check cannot open the file after:\n" + done);
      }
      if (!report.Sound()) {
        const std::string problems = Problems(report);
        Fail("the file is damaged after the statements that succeeded:\n" + done +
             "problems:" + problems);
      }
      history = done;
      NoteDeepInput();
    }
  }
  std::filesystem::remove(path);
  return 0;
}
