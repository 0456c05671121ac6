// A first dbQuillon program: opens (or creates) a database file, makes the
// record class TBench, the table t1 and an index on it the first time, adds
// a few records, commits; every later run finds them and reads them back in
// index order.
//
//   create_and_find [FILE]     (default: example.qdf in the current folder)
#include <cstdio>
#include <string>

#include "base/QdfException.h"
#include "db/InTransStorage.h"
#include "db/System.h"
#include "db/Transaction.h"
#include "record/Fields.h"
#include "table/Index.h"
#include "table/Table.h"

using namespace qdf;

int main(int argc, char** argv) {
  const std::string file = argc > 1 ? argv[1] : "example.qdf";
  try {
    // One transaction groups the databases a program works on.
    auto transaction = QdfSystem()->NewTransaction("example");
    TQdfInTransStorage* db = transaction->OpenStorage("Example", false, file);
    transaction->SetActive(true);  // a write transaction on every storage

    if (db->ChildByName("t1") == nullptr) {
      db->Execute(
          "create TQdfItemClass TBench (TQdfIntegerField a; TQdfIntegerField b; TQdfCharField c);"
          "create table t1 on TBench;"
          "create index i1 on t1 (a);");
      std::unique_ptr<TQdfTable> t1 = db->TableByName("t1");
      for (int i = 5; i >= 1; --i) {
        t1->Insert();
        static_cast<TQdfIntegerField*>(t1->FieldByName("a"))->SetAsInteger(i);
        static_cast<TQdfIntegerField*>(t1->FieldByName("b"))->SetAsInteger(i * i);
        t1->FieldByName("c")->SetAsString("record " + std::to_string(i));
        t1->Post();
      }
      transaction->Commit(true);
      std::printf("created TBench, t1 and i1 in %s with 5 records\n", file.c_str());
    } else {
      std::unique_ptr<TQdfTable> t1 = db->TableByName("t1");
      TQdfIndex* i1 = t1->IndexByName("i1");
      std::printf("found t1 with index %s in %s:\n", i1 != nullptr ? "i1" : "(none)", file.c_str());
      if (i1 != nullptr) {
        for (i1->First(); !i1->Position().IsNull(); i1->Next()) {
          std::printf("  a=%s b=%s c=%s\n", t1->FieldByName("a")->GetAsString().c_str(),
                      t1->FieldByName("b")->GetAsString().c_str(),
                      t1->FieldByName("c")->GetAsString().c_str());
        }
      }
      t1.reset();
      transaction->Commit(true);
    }
    transaction.reset();
    return 0;
  } catch (const Exception& e) {
    std::fprintf(stderr, "error: %s\n", e.Message().c_str());
    return 1;
  }
}
