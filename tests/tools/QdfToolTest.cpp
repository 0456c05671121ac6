// The qdf tool's subcommands, each run as a separate process on a database
// file.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "FileBytes.h"
#include "ProcessRun.h"
#include "db/SystemTestUtil.h"
#include "file/FileFormat.h"
#include "table/Table.h"

#ifdef QDF_TOOL_EXE

namespace {

using qdf_test::TSystemFixture;

struct TToolRun {
  int code = -1;
  std::string out;
  std::string err;
};

using qdf_test::ReadFileText;
using qdf_test::ShellQuote;
using qdf_test::WriteFileText;

// Runs "qdf ARGS" (each argument quoted for the shell) with stdout and
// stderr apart. The fixture's environment (config and temp folders) is
// inherited by the tool.
TToolRun Qdf(const TSystemFixture& fx, const std::vector<std::string>& args) {
  const std::string err_file = fx.config.File("stderr.txt");
  std::string cmd = QDF_TOOL_EXE;
  for (const std::string& a : args) cmd += " " + ShellQuote(a);
  cmd += " 2>" + ShellQuote(err_file);
  const qdf_test::TRunResult run = qdf_test::RunProcess(cmd);
  return {run.code, run.output, ReadFileText(err_file)};
}

constexpr const char* kPersonSchema =
    "create TQdfItemClass TPerson (TQdfCharField name; TQdfIntegerField age; "
    "TQdfCharField city; TQdfFloatField score); create table people on TPerson; "
    "create index by_age on people (age)";

// A database with the people table and `rows` records made by an import.
std::string MakePeople(const TSystemFixture& fx, int rows) {
  const std::string db = fx.Db("people.qdf");
  TToolRun r = Qdf(fx, {"exec", db, kPersonSchema});
  EXPECT_EQ(r.code, 0) << r.err;
  std::string csv = "name,age,city,score\n";
  for (int i = 0; i < rows; ++i) {
    // Every seventh age is empty (null), cities repeat, some scores are absent.
    csv += "p" + std::to_string(i) + "," + (i % 7 == 3 ? "" : std::to_string((i * 37) % 90)) +
           ",c" + std::to_string(i % 5) + "," + (i % 4 == 0 ? "" : std::to_string(i) + ".5") + "\n";
  }
  const std::string csv_file = fx.config.File("people.csv");
  WriteFileText(csv_file, csv);
  r = Qdf(fx, {"import", db, "people", csv_file});
  EXPECT_EQ(r.code, 0) << r.err;
  EXPECT_EQ(r.err, "");
  return db;
}

// CSV lines after the header, sorted (dump order follows the index or the
// pages; the row set is what counts).
std::vector<std::string> SortedRows(const std::string& csv) {
  std::vector<std::string> rows;
  size_t start = csv.find('\n') + 1;
  while (start < csv.size()) {
    const size_t end = csv.find('\n', start);
    rows.push_back(csv.substr(start, end - start));
    start = end + 1;
  }
  std::sort(rows.begin(), rows.end());
  return rows;
}

TEST(QdfTool, MissingEmptyAndForeignFilesAndTemporaryFolderFailNamingThemInfoCheckSchemaDescribe) {
  TSystemFixture fx;
  const std::string missing = fx.Db("missing.qdf");
  const std::string empty = fx.Db("empty.qdf");
  const std::string text = fx.Db("notes.txt");
  WriteFileText(empty, "");
  WriteFileText(text, "just some text, not a database\n");
  const std::string short_csv = fx.config.File("x.csv");
  WriteFileText(short_csv, "a\n1\n");
  for (const std::string& file : {missing, empty, text}) {
    const std::vector<std::vector<std::string>> runs = {{"info", file},
                                                        {"check", file},
                                                        {"schema", file},
                                                        {"dump", file, "t"},
                                                        {"import", file, "t", short_csv}};
    for (const auto& args : runs) {
      const TToolRun r = Qdf(fx, args);
      EXPECT_EQ(r.code, 1) << args[0] << " " << file;
      EXPECT_NE(r.err.find(file), std::string::npos) << args[0] << ": " << r.err;
      EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
      EXPECT_EQ(r.out, "");
    }
  }
  EXPECT_FALSE(std::filesystem::exists(missing));  // no subcommand but exec creates it
  EXPECT_EQ(std::filesystem::file_size(empty), 0u);
  EXPECT_EQ(ReadFileText(text), "just some text, not a database\n");
  // exec creates a missing file, but refuses an empty or foreign one.
  for (const std::string& file : {empty, text}) {
    const TToolRun r = Qdf(fx, {"exec", file, "create TQdfItemClass A (TQdfIntegerField a)"});
    EXPECT_EQ(r.code, 1) << file;
    EXPECT_NE(r.err.find(file), std::string::npos) << r.err;
  }
  EXPECT_EQ(std::filesystem::file_size(empty), 0u);
  // A temporary folder that is not there stops the tool with the engine's
  // message; it once hung while the failed start cleaned up.
  const qdf_test::TRunResult r =
      qdf_test::RunProcess("TMPDIR=/nonexistent/qdf-test " + std::string(QDF_TOOL_EXE) + " exec " +
                           ShellQuote(fx.Db("t.qdf")) + " 'create TQdfIntegerField a'");
  EXPECT_FALSE(r.timed_out);
  EXPECT_EQ(r.code, 1) << r.output;
  EXPECT_NE(r.output.find("/nonexistent/qdf-test"), std::string::npos) << r.output;
  // info, check and schema describe a sound database.
  const std::string db = fx.Db("s.qdf");
  TToolRun t = Qdf(fx, {"exec", db,
                        "create TQdfItemClass TBench (TQdfIntegerField a; TQdfIntegerField b; "
                        "TQdfCharField c; TQdfItemClass TSub (TQdfDateTimeField d)); "
                        "create table t1 on TBench; create index i1 on t1 (a); "
                        "create unique index u1 on t1 (c, DESC b); create table t2 on TBench"});
  ASSERT_EQ(t.code, 0) << t.err;
  t = Qdf(fx, {"schema", db});
  EXPECT_EQ(t.code, 0) << t.err;
  EXPECT_EQ(t.out,
            "class TBench\n  a: TQdfIntegerField\n  b: TQdfIntegerField\n  c: TQdfCharField\n"
            "class TSub extends TBench\n  d: TQdfDateTimeField\n"
            "table t1 on TBench\n  index i1 (a)\n  unique index u1 (c, DESC b)\n"
            "table t2 on TBench\n");
  t = Qdf(fx, {"check", db});
  EXPECT_EQ(t.code, 0) << t.out << t.err;
  EXPECT_EQ(t.out, db + ": sound\n");
  t = Qdf(fx, {"info", db});
  EXPECT_EQ(t.code, 0) << t.err;
  EXPECT_EQ(t.out.rfind("file: " + db + "\nfile size: " +
                            std::to_string(std::filesystem::file_size(db)) + " bytes\n",
                        0),
            0u)
      << t.out;
  EXPECT_NE(t.out.find("\nproblems: 0\n"), std::string::npos) << t.out;
}

// A data page of the table whose stored block reads as zeros: dump fails
// with a message instead of printing the rows of the other pages.
TEST(QdfDump, UnreadablePageFailsInsteadOfDroppingRows) {
  TSystemFixture fx;
  const std::string db = MakePeople(fx, 2000);
  std::vector<uint32_t> pages;
  {
    auto t = fx.system->NewTransaction("pages");
    qdf::TQdfInTransStorage* s = t->OpenStorage("DB", true, db);
    t->SetActive(true);
    std::unique_ptr<qdf::TQdfTable> table = s->TableByName("people");
    for (uint32_t p = table->FirstPage(); p != qdf::kNoPage; p = table->NextPage(p)) {
      pages.push_back(p);
    }
  }
  fx.Restart();
  ASSERT_GE(pages.size(), 3u);
  ASSERT_LT(pages.back(), 640u);  // its entry lies in the first table block
  std::string bytes = ReadFileText(db);
  auto at = [&](int64_t pos) {
    return reinterpret_cast<uint8_t*>(&bytes[static_cast<size_t>(pos)]);
  };
  const int64_t table_block = qdf::DecodeEntry(at(qdf::kHdrRoot + qdf::kRootEntries)).position;
  const qdf::TPageEntry e =
      qdf::DecodeEntry(at(table_block + qdf::kIbEntries + 12 * (pages[pages.size() / 2] - 1)));
  std::memset(at(e.position), 0, static_cast<size_t>(e.StoredSize()));
  WriteFileText(db, bytes);
  for (const std::vector<std::string>& args :
       {std::vector<std::string>{"dump", db, "people", "--csv"},
        std::vector<std::string>{"dump", db, "people", "--csv", "--where", "age >= 0"}}) {
    const TToolRun r = Qdf(fx, args);
    EXPECT_EQ(r.code, 1) << args.back();
    EXPECT_NE(r.err.find("Page"), std::string::npos) << r.err;
  }
  EXPECT_EQ(Qdf(fx, {"check", db}).code, 1);
}

// Every schema statement either leaves a database that check accepts and
// dump reads whole, or is refused with a message and commits nothing.
TEST(QdfExec, StatementsLeaveASchemaThatReadsBackOrAreRefusedAsNamesTooLong) {
  struct TCase {
    const char* statements;
    const char* error;        // part of the message; nullptr: the text runs
    bool score_null = false;  // every row's last field, score, is empty
  };
  const TCase cases[] = {
      // A field of another type in the place of a dropped one starts out null.
      {"drop TPerson.score; parent TPerson; create TQdfIntegerField score", nullptr, true},
      {"drop TPerson.score; parent TPerson; create TQdfCharField score", nullptr, true},
      {"create index by_score on people (score); drop TPerson.score",
       "index people.by_score keys the field; drop the index first"},
      {"create TQdfTable tt", "tt: names no record class"},
      {"create TQdfTable tt [BaseStructureName=TPerson.score]",
       "tt: its record class TPerson.score does not exist"},
      {"create TQdfItemClass TX (TQdfTable t)",
       "TX.t: a table belongs directly under its database, not under TX"},
      {"set people [BaseStructureName=TBlobClassNode]", "the table holds records of class TPerson"},
      {"set people [BaseStructureName=nothing]", "its record class cannot change"},
      {"create table e on TPerson; set e [BaseStructureName=TBlobClassNode]",
       "e: TBlobClassNode is not a record class"},
      {"create table e on TPerson; set e [BaseStructureName=missing]",
       "e: its record class missing does not exist"},
      {"create table e on TPerson; set e [BaseStructureName=tperson]", nullptr},
      // Tables find their class again however they name it.
      {"create TQdfTable p2 [BaseStructureName=tperson]; set TPerson [ObjectName=TMan]", nullptr},
      {"create TQdfItemClass TSub (TQdfIntegerField x); parent TSub; "
       "create TQdfItemClass TLeaf (TQdfIntegerField y); create TQdfTable p3 "
       "[BaseStructureName=TSub.TLeaf]; set TSub.TLeaf [ObjectName=TTip]; "
       "set TSub [ObjectName=TTop]",
       nullptr},
  };
  TSystemFixture fx;
  const std::string original = MakePeople(fx, 40);
  const std::string rows = Qdf(fx, {"dump", original, "people", "--csv"}).out;
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.statements);
    const std::string db = fx.Db("case.qdf");
    std::filesystem::copy_file(original, db, std::filesystem::copy_options::overwrite_existing);
    const TToolRun r = Qdf(fx, {"exec", db, c.statements});
    if (c.error == nullptr) {
      EXPECT_EQ(r.code, 0) << r.err;
    } else {
      EXPECT_EQ(r.code, 1);
      EXPECT_NE(r.err.find(c.error), std::string::npos) << r.err;
      EXPECT_EQ(ReadFileText(db), ReadFileText(original));  // nothing committed
    }
    const TToolRun check = Qdf(fx, {"check", db});
    EXPECT_EQ(check.code, 0) << check.out << check.err;
    const TToolRun dump = Qdf(fx, {"dump", db, "people", "--csv"});
    EXPECT_EQ(dump.code, 0) << dump.err;
    EXPECT_EQ(SortedRows(dump.out).size(), SortedRows(rows).size());
    if (c.score_null) {
      for (const std::string& row : SortedRows(dump.out)) EXPECT_EQ(row.back(), ',') << row;
    }
  }
  // Names too long for a header are refused with a message.
  const std::string db = fx.Db("long.qdf");
  const std::string cls(8000, 'A');
  ASSERT_EQ(Qdf(fx, {"exec", db, "create TQdfItemClass " + cls + " (TQdfIntegerField a)"}).code, 0);
  // The table's header holds its own name and its class's.
  const TToolRun r = Qdf(fx, {"exec", db, "create table " + std::string(8170, 'B') + " on " + cls});
  EXPECT_EQ(r.code, 1);
  EXPECT_EQ(r.err, "qdf: " + db + ": The header of " + std::string(40, 'B') +
                       "... does not fit a page: a name or setting is too long\n");
}

// A failing import names the CSV file and line and commits nothing of the
// file: malformed CSV, an unknown field, a duplicate key, values of the
// wrong form or that a field would store as something else, records over
// 1 MiB, an empty, endless or missing input. A working one takes no ThisID.
TEST(QdfImport, FailureCommitsNothingAndNamesTheLineAndThisIDIsNotTaken) {
  TSystemFixture fx;
  const std::string db = fx.Db("f.qdf");
  ASSERT_EQ(
      Qdf(fx, {"exec", db,
               std::string(kPersonSchema) +
                   "; create unique index by_name on people (name); "
                   "create TQdfItemClass TV (TQdfCharField name; TQdfFloatField score; "
                   "TQdfBooleanField flag; TQdfIntegerField n); create table v on TV; "
                   "create index by_score on v (score); create TQdfItemClass TRec "
                   "(TQdfObjectIDField ThisID; TQdfIntegerField k); create table recs on TRec"})
          .code,
      0);
  const std::string good = fx.config.File("good.csv");
  WriteFileText(good, "name,age\nAda,36\nBob,5\n");
  ASSERT_EQ(Qdf(fx, {"import", db, "people", good}).code, 0);
  const std::map<std::string, std::string> before = {
      {"people", Qdf(fx, {"dump", db, "people", "--csv"}).out}, {"v", "name,score,flag,n\n"}};
  struct TCase {
    std::string table;
    std::string csv;
    std::string expect;  // in the message, after the file's name
  };
  std::vector<TCase> cases = {
      {"people", "name,age\nCy,1\nDi,2\nEd,x12\n", " line 4, field age"},
      {"people", "name,age\nCy,1\n\"Di\nDa\",2\nEd,3,4\n", " line 5: 3 values"},
      {"people", "name,age\nCy,1\nAda,2\n", " line 3: Duplicate Key in Index"},
      {"people", "name,agee\nCy,1\n", " line 1: table people has no field 'agee'"},
      {"people", "name,age\nCy,1\n\"Di,2\n", " line 3: quoted field not closed"},
      {"people", "name,age\nCy,1\n\"Di\"x,2\n", " line 3: unexpected text after a closing quote"},
      {"people", "", ": empty file"}};
  for (const char* number : {"nan", "-nan", "NaN", "inf", "-inf", "infinity", "1e999"}) {
    cases.push_back({"v", std::string("name,score\nA,1\nB,") + number + "\n",
                     std::string(" line 3, field score: '") + number +
                         "' is not a valid floating point value"});
  }
  for (const char* word : {"maybe", "2", "y", "-1", "on"}) {
    cases.push_back({"v", std::string("name,flag\nA,yes\nB,") + word + "\n",
                     std::string(" line 3, field flag: Field flag cannot take '") + word + "'"});
  }
  cases.push_back({"v", "name,n\nA,1\n" + std::string("ab\0cd", 5) + ",2\n",
                   " line 3, field name: Field name cannot take a text with a zero byte (byte 3)"});
  // A record longer than 1 MiB, also as a quoted value and as empty fields.
  constexpr size_t kRecordLimit = size_t{1} << 20;
  const std::string huge(kRecordLimit + 1, 'x');
  for (const std::string& record :
       {huge + ",2\n", "\"" + huge + "\",2\n", std::string(kRecordLimit + 1, ',')}) {
    cases.push_back({"v", "name,n\nA,1\n" + record, " line 3: a record longer than 1048576 bytes"});
  }
  for (const TCase& c : cases) {
    const std::string csv = fx.config.File("bad.csv");
    WriteFileText(csv, c.csv);
    const TToolRun r = Qdf(fx, {"import", db, c.table, csv});
    const std::string shown = c.csv.substr(0, 40);
    EXPECT_EQ(r.code, 1) << shown;
    EXPECT_NE(r.err.find(csv + c.expect), std::string::npos) << shown << "\n" << r.err;
    EXPECT_EQ(Qdf(fx, {"dump", db, c.table, "--csv"}).out, before.at(c.table)) << shown;
  }
  EXPECT_EQ(Qdf(fx, {"check", db}).code, 0);
  // A missing CSV file is named as well.
  TToolRun r = Qdf(fx, {"import", db, "people", fx.config.File("none.csv")});
  EXPECT_EQ(r.code, 1);
  EXPECT_NE(r.err.find("none.csv"), std::string::npos) << r.err;
  // An endless input is refused at its first record, in bounded memory.
  r = Qdf(fx, {"import", db, "v", "/dev/zero"});
  EXPECT_EQ(r.code, 1);
  EXPECT_NE(r.err.find("/dev/zero line 1: a record longer than"), std::string::npos) << r.err;
  // The number forms that are taken, and a text with quotes, a comma and a
  // line break, which dump --csv quotes and the aligned dump escapes.
  const std::string quoted = "\"B \"\"q\"\",\nb\"";
  WriteFileText(good,
                "name,score,flag,n\nA,-2.5e3,No,0x10\n" + quoted + ",+7,TRUE,$ff\nC,1e-3,1, -12\n");
  ASSERT_EQ(Qdf(fx, {"import", db, "v", good}).code, 0);
  EXPECT_EQ(Qdf(fx, {"dump", db, "v", "--csv"}).out,
            "name,score,flag,n\nA,-2500,False,16\n" + quoted + ",7,True,255\nC,0.001,True,-12\n");
  EXPECT_EQ(Qdf(fx, {"dump", db, "v", "--columns", "name", "--where", "n = 255"}).out,
            "name\nB \"q\",\\nb\n");
  // A ThisID column is not imported: every record receives an object ID of
  // its own, whatever the column says (the dump of a table can be imported).
  WriteFileText(good, "thisid,k\n7,1\n7,2\n");
  ASSERT_EQ(Qdf(fx, {"import", db, "recs", good}).code, 0);
  const std::string ids = Qdf(fx, {"dump", db, "recs", "--csv"}).out;
  EXPECT_EQ(ids.find("\n7,"), std::string::npos) << ids;
}

}  // namespace

#endif  // QDF_TOOL_EXE
