// Fuzz driver of the expression compiler against a table: the input is a
// filter or column text, compiled with the shared query script against the
// record class of the articles table of docs/filters.md (fields of every
// plain type, a unique and a non-unique index, null values) and evaluated
// on its records. tests/script/ScriptFuzzTest.cpp covers random token texts
// without a table; this driver adds field words, Class.field and Ref, the
// index choice and column expressions.
//
// Oracle: compiling raises nothing but the engine's exceptions (the
// parser's errors are of the general class); evaluating a compiled filter or
// column on a record raises at most conversion errors. A filter evaluated on
// every record and the same filter run through the table's filtered walk
// (which takes an index range when one fits) select the same records.
#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "CsvImport.h"
#include "FileBytes.h"
#include "FuzzRunner.h"
#include "base/Variant.h"
#include "db/InTransStorage.h"
#include "db/System.h"
#include "db/Transaction.h"
#include "query/Column.h"
#include "query/QScript.h"
#include "query/TableOp.h"
#include "record/Field.h"
#include "script/Node.h"
#include "table/Table.h"

namespace qdf_fuzz {

namespace {

// The page's table, should the document not be where the build said.
const char* const kArticles =
    "create TQdfItemClass TArticle (TQdfObjectIDField ThisID; TQdfIntegerField no; "
    "TQdfCharField name; TQdfFloatField price; TQdfDateTimeField added; TQdfBooleanField "
    "active); create table articles on TArticle; create unique index by_no on articles (no); "
    "create index by_name on articles (name)";
const char* const kArticleRows =
    "no,name,price,added,active\n1,Anchor,12.5,2024-01-15 00:00:00,True\n2,Bell,3.25,2024-02-01 "
    "09:30:00,True\n3,Candle,1.99,2024-02-01 00:00:00,False\n4,anvil,120,2023-12-24 "
    "00:00:00,True\n5,Bellows,45,,True\n6,Chain,,2024-03-10 00:00:00,\n";

// The table's records, kept open for the whole run in a read transaction.
struct TArticles {
  TArticles() {
    std::string schema = kArticles;
    std::string rows = kArticleRows;
    const std::vector<std::string> statements = DocArguments("filters.md", "qdf exec shop.qdf ");
    const std::vector<std::string> printed = DocArguments("filters.md", "printf ");
    if (!statements.empty() && !printed.empty()) {
      schema = statements.front();
      rows.clear();
      for (size_t i = 0; i < printed.front().size(); ++i) {
        if (printed.front().compare(i, 2, "\\n") == 0) {
          rows += '\n';
          ++i;
        } else {
          rows += printed.front()[i];
        }
      }
    }
    const std::string path = ScratchFile("articles.qdf");
    qdf_test::WriteFileBytes(path, MakeDatabase(schema));
    {
      // The rows go in through the qdf tool's import, on the public API.
      const std::string csv_path = ScratchFile("articles.csv");
      WriteBytes(csv_path, rows.data(), rows.size());
      FILE* in = std::fopen(csv_path.c_str(), "rb");
      dbquillon::Database db(path);
      dbquillon::Transaction t = db.BeginWrite();
      dbquillon::Table articles = t.OpenTable("articles");
      qdf::tool::TCsvReader csv(in, "articles.csv");
      const std::vector<dbquillon::Column> columns = qdf::tool::MapCsvHeader(csv, articles);
      qdf::tool::ImportCsvRecords(csv, articles, columns);
      t.Commit();
      std::fclose(in);
    }
    transaction = qdf::QdfSystem()->NewTransaction("fuzz filter");
    qdf::TQdfInTransStorage* storage = transaction->OpenStorage(path, true, path);
    transaction->SetActive(true);
    table = storage->TableByName("articles");
    no = table->FieldByName("no");
  }
  std::unique_ptr<qdf::TQdfTransaction> transaction;
  std::unique_ptr<qdf::TQdfTable> table;
  qdf::TQdfField* no = nullptr;
};

TArticles& Articles() {
  static TArticles articles;
  return articles;
}

// The no of every record the filter accepts, evaluated record by record in
// physical order; false when an evaluation raised (a conversion error).
bool ScanAccepted(qdf::TQdfTable& table, qdf::TQdfField* no, qdf::TvNode* filter,
                  std::vector<std::string>* accepted) {
  bool clean = true;
  for (table.First(); table.Cursor().Item() != nullptr; table.Next()) {
    bool pass = false;
    clean &= Attempt("evaluate the filter", TRefusals::kEngineOrGeneral, [&] {
      qdf::EvaluateIfNeeded(filter);
      pass = static_cast<qdf::TvBool*>(filter)->Bool();
    });
    if (pass) accepted->push_back(no->GetAsString());
  }
  return clean;
}

}  // namespace

TFuzzTraits Traits() {
  return {"filter",
          512,
          false,
          60000,
          {" ",
           "(",
           ")",
           ",",
           "'",
           "\"",
           "=",
           "<>",
           "<",
           "<=",
           ">",
           ">=",
           "+",
           "-",
           "*",
           " and ",
           " or ",
           "not ",
           " like ",
           " is ",
           " isnot ",
           "null",
           "true",
           "false",
           "pi",
           "no",
           "name",
           "price",
           "added",
           "active",
           "ThisID",
           "TArticle.",
           "::",
           "This",
           "Field(",
           "Ref(",
           "AsString(",
           "Copy(",
           "Upper(",
           "ToStr(",
           "ToInt(",
           "ToFloat(",
           "Round(",
           "Trunc(",
           "Date(",
           "Time(",
           "'B%'",
           "'_'",
           "'%'",
           "1e308",
           "2147483647",
           "2147483648",
           "9223372036854775807",
           "0.5",
           "/*",
           "*/",
           "//",
           "\n",
           " AS ",
           "\\#n"}};
}

std::vector<std::string> Seeds() {
  std::vector<std::string> seeds = {
      "no = 3",
      "no >= 2 and no < 5",
      "name >= 'B' and name <= 'Bellows'",
      "(name like 'B%') and price isnot null",
      "name < 'B'",
      "price * 2 > 20",
      "ThisID = 1",
      "TArticle::name = 'Bell'",
      "Field(TArticle, 'no') = 2",
      "added < Date(2024, 2, 1) + Time(12, 0, 0, 0)",
      "Upper(name) like '%L%' or not (active = true)",
      "no + 1 AS next",
      "Round(price, 1)",
      "ToInt(ToStr(no)) = no and Copy(name, 2, 3) <> ''",
  };
  for (const char* marker : {"--where ", "--columns ", "qdf eval "}) {
    for (const std::string& text : DocArguments("filters.md", marker)) seeds.push_back(text);
  }
  return seeds;
}

}  // namespace qdf_fuzz

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace qdf_fuzz;
  TArticles& db = Articles();
  qdf::TQdfTable& table = *db.table;
  const std::string text(reinterpret_cast<const char*>(data), size);

  // As a filter: record by record, and through the filtered walk.
  std::unique_ptr<qdf::TvNode> filter;
  if (Attempt("compile the filter", TRefusals::kEngineOrGeneral,
              [&] { filter = table.CompileFilter(text); })) {
    NoteDeepInput();
    std::vector<std::string> scanned;
    const bool clean = ScanAccepted(table, db.no, filter.get(), &scanned);
    std::vector<std::string> walked;
    const bool walked_clean = Attempt("filtered walk", TRefusals::kEngineOrGeneral, [&] {
      table.ForEachMatch(table.CompileFilter(text), qdf::kOpDefault,
                         [&](qdf::TQdfTable&, bool&) { walked.push_back(db.no->GetAsString()); });
    });
    if (clean && walked_clean) {
      std::sort(scanned.begin(), scanned.end());
      std::sort(walked.begin(), walked.end());
      if (scanned != walked) {
        auto list = [](const std::vector<std::string>& v) {
          std::string s;
          for (const std::string& x : v) s += " " + x;
          return s;
        };
        Fail("the filtered walk selects no" + list(walked) + ", record by record selects no" +
             list(scanned));
      }
    }
  }

  // As a column expression, as qdf dump --columns compiles it.
  std::unique_ptr<qdf::TQdfColumn> column;
  Attempt("compile the column", TRefusals::kEngineOrGeneral, [&] {
    qdf::TFromScope scope(qdf::QueryScript(), table.ItemClass());
    column = std::make_unique<qdf::TQdfColumn>(text, "Field_1");
  });
  if (column != nullptr && column->Node() != nullptr) {
    qdf::TVariant value;
    for (table.First(); table.Cursor().Item() != nullptr; table.Next()) {
      Attempt("evaluate the column", TRefusals::kEngineOrGeneral, [&] {
        qdf::TvNode* node = column->Node();
        if (!node->IsConstant()) node->Evaluate();
        qdf::OperandVariant(node, value);
        value.AsString();
      });
    }
  }
  return 0;
}
