// Fuzz driver of qdf import: the input is a CSV text, read by the tool's CSV
// reader and imported into the table t of a fresh copy of the sample
// database (unique key k, index on a; fields of every plain type).
//
// Oracle: the import either succeeds or raises the engine's exceptions (the
// reader's and the import's messages are of the general class, conversion
// errors too). On success the transaction commits, the file must be sound
// and hold exactly the records imported more; on failure it rolls back and
// the file must hold no record more than before.
#include <cstdio>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "CsvImport.h"
#include "FileBytes.h"
#include "FuzzRunner.h"
#include "check/IntegrityCheck.h"

namespace qdf_fuzz {

namespace {

struct TFileCloser {
  void operator()(FILE* f) const { std::fclose(f); }
};

int64_t RecordsIn(const std::string& path) {
  qdf::TQdfCheckReport report;
  if (!Attempt("check", TRefusals::kEngineOnly, [&] { report = qdf::CheckDatabase(path); })) {
    Fail("the integrity check cannot open the file");
  }
  if (!report.Sound()) {
    std::string s;
    for (size_t i = 0; i < report.problems.size() && i < 8; ++i) s += "\n  " + report.problems[i];
    Fail("the file is damaged after the import:" + s);
  }
  return report.figures.records;
}

}  // namespace

TFuzzTraits Traits() {
  return {"csv",
          4096,
          false,
          700,
          {",",
           "\"",
           "\"\"",
           "\n",
           "\r\n",
           "\r",
           " ",
           "\xEF\xBB\xBF",
           "ThisID",
           "k",
           "a",
           "c",
           "f",
           "flag",
           "d",
           "e",
           "True",
           "no",
           "0x10",
           "$7f",
           "-2147483648",
           "2147483648",
           "1e308",
           "1e309",
           "nan",
           "-0",
           "2024-05-01",
           "2024-05-01 12:00:00",
           "12:00",
           "9999-12-31",
           std::string(1, '\0')}};
}

std::vector<std::string> Seeds() {
  return {
      "k,a,c\n100,1,x\n101,2,y\n",
      "k,a,c,f,flag,d\r\n200,-5,\"Hopper, Grace\",2.5,True,2024-05-01\r\n201,,\"a \"\"b\"\"\","
      "-1e3,no,12:00\r\n",
      "\xEF\xBB\xBF"
      "c,k\n\"line\nbreak\",300\n\n\"\",301\n",
      "k,ThisID,f\n400,5,+7\n401,,0x10\n",
      "k,a\n500,0x7fffffff\n501,$10\n",
      "k\n1\n",                  // a key the unique index holds
      "k,a\n600,eighty\n",       // a value the field refuses
      "k,a\n700,1,2\n",          // more values than the header
      "k,c\n800,\"open\n",       // a quote never closed
      "k,nosuchfield\n900,1\n",  // a column without a field
      "k,flag,d\n1000,maybe,2024-13-01\n",
  };
}

}  // namespace qdf_fuzz

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace qdf_fuzz;
  static const std::vector<uint8_t>& base = SampleDatabase();
  static const int64_t base_records = [] {
    const std::string path = ScratchFile("csv-base.qdf");
    qdf_test::WriteFileBytes(path, base);
    const int64_t n = RecordsIn(path);
    std::filesystem::remove(path);
    return n;
  }();
  const std::string path = ScratchFile("csv.qdf");
  const std::string csv_path = ScratchFile("input.csv");
  qdf_test::WriteFileBytes(path, base);
  WriteBytes(csv_path, data, size);

  int64_t imported = -1;
  {
    // The Database closes the file's filer when it goes, after the
    // transaction (which holds it).
    std::optional<dbquillon::Database> db;
    std::optional<dbquillon::Transaction> t;
    if (!Attempt("open", TRefusals::kEngineOnly, [&] {
          dbquillon::Options options;
          options.createIfMissing = false;
          db.emplace(path, options);
          t.emplace(db->BeginWrite());
        })) {
      Fail("the sample database does not open for writing: " + LastRefusal());
    }
    std::unique_ptr<FILE, TFileCloser> in(std::fopen(csv_path.c_str(), "rb"));
    if (!in) Fail("cannot open the CSV file");
    const bool ok = Attempt("import", TRefusals::kEngineOrGeneral, [&] {
      qdf::tool::TCsvReader csv(in.get(), "input.csv");
      dbquillon::Table table = t->OpenTable("t");
      const std::vector<dbquillon::Column> columns = qdf::tool::MapCsvHeader(csv, table);
      imported = qdf::tool::ImportCsvRecords(csv, table, columns);
    });
    if (ok) {
      if (!Attempt("commit", TRefusals::kEngineOnly, [&] { t->Commit(); })) {
        Fail("the import succeeded but its commit was refused");
      }
      NoteDeepInput();
    } else {
      imported = 0;  // the transaction rolls back when it ends
    }
  }
  const int64_t records = RecordsIn(path);
  if (records != base_records + imported) {
    Fail("the file holds " + std::to_string(records) + " records, " + std::to_string(base_records) +
         " before and " + std::to_string(imported) + " imported");
  }
  std::filesystem::remove(path);
  return 0;
}
