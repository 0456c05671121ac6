// Blobs: values of any length, written and read whole or through streams.
#include <dbquillon/dbquillon.h>

#include <cstdio>
#include <sstream>
#include <string>

int main() {
  std::remove("blobs.qdf");
  dbquillon::Database db("blobs.qdf");
  dbquillon::Transaction t = db.BeginWrite();
  t.Execute(
      "create TQdfItemClass TDoc (TQdfIntegerField id; TQdfBlobField body);"
      "create table docs on TDoc; create unique index by_id on docs (id)");
  dbquillon::Table docs = t.OpenTable("docs");
  const std::string big(100000, 'q');
  docs.Insert().Set("id", 1).WriteBlob("body", big).Post();
  std::istringstream in("read from a stream");
  docs.Insert().Set("id", 2).WriteBlob("body", in).Post();
  t.Commit();

  dbquillon::Transaction r = db.BeginRead();
  dbquillon::Table read = r.OpenTable("docs");
  dbquillon::Row one = *read.Find("by_id", 1);
  std::printf("doc 1: %lld bytes, intact: %s\n", static_cast<long long>(one.BlobSize("body")),
              one.ReadBlob("body") == big ? "yes" : "no");
  std::ostringstream out;
  read.Find("by_id", 2)->ReadBlob("body", out);
  std::printf("doc 2: %s\n", out.str().c_str());
  return 0;
}
