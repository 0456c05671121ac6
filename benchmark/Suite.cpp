#include "Suite.h"

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "Driver.h"
#include "NumberSpeller.h"
#include "db/InTransStorage.h"
#include "db/System.h"
#include "db/Transaction.h"
#include "query/TableOp.h"
#include "record/Fields.h"
#include "record/ItemClass.h"
#include "script/Node.h"
#include "table/Aggregat.h"
#include "table/Table.h"

namespace speedtrial {
namespace {

using qdf::TQdfCharField;
using qdf::TQdfField;
using qdf::TQdfIntegerField;
using qdf::TQdfInTransStorage;
using qdf::TQdfTable;
using qdf::TQdfTransaction;

constexpr uint32_t kRandomRange = 999999;
constexpr uint8_t kOptions = 3;

// The run's transaction and storage.
struct TBench {
  std::unique_ptr<TQdfTransaction> tr;
  TQdfInTransStorage* st;
  std::string file_name;

  void Commit() { tr->CommitAndContinue(); }
  bool Has(const char* name) const { return st->ChildByName(name) != nullptr; }
  std::unique_ptr<TQdfTable> Open(const char* name) const { return st->TableByName(name); }
};

TQdfIntegerField& Int(TQdfTable& t, const char* name) {
  return *static_cast<TQdfIntegerField*>(t.FieldByName(name));
}

// Insert; a := i; b := R; c := Words(R); Post.
void AddRow(TQdfTable& t, int32_t i) {
  qdf::TQdfItemClass* cls = t.Insert();
  static_cast<TQdfIntegerField*>(cls->FieldAt(0))->SetAsInteger(i);
  const int32_t r = static_cast<int32_t>(Random(kRandomRange));
  static_cast<TQdfIntegerField*>(cls->FieldAt(1))->SetAsInteger(r);
  cls->FieldAt(2)->SetAsString(NumberToWords(r));
  t.Post();
}

// "digest <test>:" [" matches=<n> sum=<sum of b>"] then, for each of t1, t2,
// t3 that exists, " <table>=<count>,<sum of a>,<sum of b>,<sum of lengths of c>".
void Digest(TBench& b, const std::string& test, const qdf::TQdfAggregat* aggregat = nullptr) {
  if (!DigestRequested()) return;
  std::string line = "digest " + test + ":";
  if (aggregat != nullptr) {
    line += " matches=" + std::to_string(aggregat->Counts().back()) +
            " sum=" + std::to_string(static_cast<int64_t>(aggregat->Sums()[0]));
  }
  for (const char* name : {"t1", "t2", "t3"}) {
    if (!b.Has(name)) continue;
    auto t = b.Open(name);
    int64_t count = 0, sum_a = 0, sum_b = 0, len_c = 0;
    for (t->First(); t->Cursor().Item() != nullptr; t->Next()) {
      ++count;
      TQdfField* a = t->FieldByName("a");
      TQdfField* bf = t->FieldByName("b");
      if (!a->IsNull()) sum_a += static_cast<TQdfIntegerField*>(a)->AsInteger();
      if (!bf->IsNull()) sum_b += static_cast<TQdfIntegerField*>(bf)->AsInteger();
      len_c += static_cast<int64_t>(t->FieldByName("c")->GetAsString().size());
    }
    line += " " + std::string(name) + "=" + std::to_string(count) + "," + std::to_string(sum_a) +
            "," + std::to_string(sum_b) + "," + std::to_string(len_c);
  }
  Output() << line << '\n' << std::flush;
  ReportFileSize(test, {b.file_name});
}

// Tests 1 to 3: `count` rows into a fresh table; one commit per row or one
// at the end.
void InsertTest(TBench& b, const char* test, const char* table, const char* create, int64_t count,
                bool commit_each) {
  if (!b.Has(table)) b.st->Execute(create);
  b.Commit();
  auto t = b.Open(table);
  StartTest(test, count);
  for (int32_t i = 1; i <= count; ++i) {
    AddRow(*t, i);
    if (commit_each) b.Commit();
  }
  if (!commit_each) b.Commit();
  StopTest();
  Digest(b, test);
}

// Tests 4, 5 and 7: the aggregator over b walks every filter's records.
void QueryTest(TBench& b, const char* test, int count,
               const std::function<std::string(int)>& filter_of) {
  if (!b.Has("t2")) return;
  b.Commit();
  auto t = b.Open("t2");
  qdf::TQdfAggregat aggregat({t->FieldByName("b")});
  const qdf::TRecordVisitor accumulate = [&aggregat](TQdfTable& table, bool& stop) {
    aggregat.Accumulate(table, stop);
  };
  // The aggregator reads b only and does not care in which order.
  const qdf::TVisitNeeds needs = aggregat.Needs();
  StartTest(test, count);
  for (int i = 1; i <= count; ++i) {
    t->ForEachMatch(t->CompileFilter(filter_of(i)), kOptions, accumulate, nullptr, needs);
  }
  b.Commit();
  StopTest();
  t.reset();
  Digest(b, test, &aggregat);
}

// Tests 8 to 10: every record of each filter is edited through an
// updateable operation.
void UpdateTest(TBench& b, const char* test, const char* table, int64_t count,
                const std::function<std::string(int64_t)>& filter_of,
                const std::function<void(TQdfTable&)>& change) {
  if (!b.Has(table)) return;
  b.Commit();
  auto t = b.Open(table);
  StartTest(test, count);
  std::unique_ptr<qdf::TQdfUpdateableFilterOp> op;
  for (int64_t i = 1; i <= count; ++i) {
    op.reset();
    op = std::make_unique<qdf::TQdfUpdateableFilterOp>(*t, kOptions, nullptr, nullptr,
                                                       t->CompileFilter(filter_of(i)));
    op->First();
    while (op->Next()) {
      t->Edit();
      change(*t);
      t->Post();
    }
  }
  op.reset();
  b.Commit();
  StopTest();
  t.reset();
  Digest(b, test);
}

// Tests 11 and 14: the selected columns of every record of `from` appended to `to`.
void CopyInto(TQdfTable& from, TQdfTable& to, const std::vector<std::string>& columns) {
  qdf::TQdfFilteredTableOp op(from, kOptions, nullptr, nullptr, nullptr, columns);
  op.InsertInto(to);
}

void DeleteTest(TBench& b, const char* test, const char* filter) {
  b.Commit();
  auto t = b.Open("t2");
  StartTest(test, 0);
  t->DeleteWhere(t->CompileFilter(filter));
  b.Commit();
  StopTest();
  t.reset();
  Digest(b, test);
}

}  // namespace

void RunSuite(const std::string& alias, const std::string& file_name) {
  TBench b;
  b.file_name = file_name;
  b.tr = qdf::QdfSystem()->NewTransaction("BENCH");
  b.st = b.tr->OpenStorage(alias, false, file_name);
  b.tr->SetActive(true);
  if (!b.Has("TBench")) {
    b.st->Execute(
        "create TQdfItemClass TBench (TQdfIntegerField a; TQdfIntegerField b; TQdfCharField c;);");
  }
  const int64_t scale = Scale();

  InsertTest(b, "Test 1", "t1", "create table t1 on TBench;", 1000 * scale, true);
  InsertTest(b, "Test 2", "t2", "create table t2 on TBench;", 25000 * scale, false);
  InsertTest(b, "Test 3", "t3", "create table t3 on TBench; create index i3 on t3(c);",
             25000 * scale, false);

  QueryTest(b, "Test 4", 100, [](int i) {
    return "b >= " + std::to_string((i - 1) * 100) + " and b <= " + std::to_string(i * 100 + 1000);
  });
  QueryTest(b, "Test 5", 100, [](int i) { return "c like \"%" + NumberToWords(i) + "%\""; });

  b.Commit();
  StartTest("Test 6", 0);
  b.st->Execute("create index i2a on t2(a); create index i2b on t2(b);");
  b.Commit();
  StopTest();
  Digest(b, "Test 6");

  QueryTest(b, "Test 7", 5000, [](int i) {
    const int lo = (i - 1) * 100;
    return "b >= " + std::to_string(lo) + " and b < " + std::to_string(lo + 100);
  });

  UpdateTest(
      b, "Test 8", "t1", 1000,
      [](int64_t i) {
        const int64_t lo = (i - 1) * 10;
        return "b >= " + std::to_string(lo) + " and b < " + std::to_string(lo + 10);
      },
      [](TQdfTable& t) { Int(t, "b").SetAsInteger(Int(t, "b").AsInteger() * 2); });
  UpdateTest(
      b, "Test 9", "t2", 25000 * scale, [](int64_t i) { return "a = " + std::to_string(i); },
      [](TQdfTable& t) { Int(t, "b").SetAsInteger(static_cast<int32_t>(Random(kRandomRange))); });
  UpdateTest(
      b, "Test 10", "t2", 25000 * scale, [](int64_t i) { return "a = " + std::to_string(i); },
      [](TQdfTable& t) {
        t.FieldByName("c")->SetAsString(NumberToWords(static_cast<int32_t>(Random(kRandomRange))));
      });

  {
    b.Commit();
    auto t1 = b.Open("t1");
    auto t2 = b.Open("t2");
    StartTest("Test 11", 0);
    CopyInto(*t2, *t1, {"b", "a", "c"});
    CopyInto(*t1, *t2, {"b", "a", "c"});
    b.Commit();
    StopTest();
  }
  Digest(b, "Test 11");

  DeleteTest(b, "Test 12", "c like \"%fifty%\"");
  DeleteTest(b, "Test 13", "a > 10 and a < 20000");

  {
    b.Commit();
    auto t1 = b.Open("t1");
    auto t2 = b.Open("t2");
    StartTest("Test 14", 0);
    CopyInto(*t1, *t2, {"a", "b", "c"});
    b.Commit();
    StopTest();
  }
  Digest(b, "Test 14");

  {
    b.Commit();
    auto t1 = b.Open("t1");
    const int64_t count = 12000 * scale;
    StartTest("Test 15", count);
    t1->DeleteWhere(nullptr);
    for (int32_t i = 1; i <= count; ++i) AddRow(*t1, i);
    b.Commit();
    StopTest();
  }
  Digest(b, "Test 15");

  b.Commit();
  StartTest("Test 16", 0);
  for (const char* name : {"t1", "t2", "t3"}) {
    b.st->Execute(std::string("drop ") + name + ";");
    WriteProgress(std::string(" ") + name + " ");
  }
  b.Commit();
  StopTest();
  Digest(b, "Test 16");
}

}  // namespace speedtrial
