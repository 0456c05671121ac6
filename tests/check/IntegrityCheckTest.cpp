// The integrity check: sound files pass, and each kind of damage made to a
// copy is found and reported as a line, never as a crash.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "EnvSize.h"
#include "ErrorText.h"
#include "FileBytes.h"
#include "base/Bytes.h"
#include "base/PageCodec.h"
#include "check/IntegrityCheck.h"
#include "db/SystemTestUtil.h"
#include "file/FileCheck.h"
#include "file/FileFormat.h"
#include "list/DataListBase.h"
#include "list/PageList.h"
#include "reader/PageReader.h"
#include "record/Fields.h"
#include "record/ItemClass.h"
#include "script/Node.h"
#include "table/BlobField.h"
#include "table/Index.h"
#include "table/Table.h"

namespace {

using qdf::CheckDatabase;
using qdf::TQdfCheckReport;
using qdf_test::TSystemFixture;

std::string Joined(const TQdfCheckReport& r) {
  std::string s;
  for (const std::string& p : r.problems) s += p + "\n";
  return s;
}

// The entry of data page n (n < 640) in the level-0 table block, which is
// stored plain since its entry lives in the header.
struct TRawFile {
  explicit TRawFile(const std::string& path) : bytes(qdf_test::ReadFileBytes(path)) {}
  int64_t TableBlock() const {
    return qdf::DecodeEntry(&bytes[qdf::kHdrRoot + qdf::kRootEntries]).position;
  }
  uint8_t* EntryAt(uint32_t n) {
    return &bytes[static_cast<size_t>(TableBlock()) + qdf::kIbEntries + 12 * (n - 1)];
  }
  qdf::TPageEntry Entry(uint32_t n) { return qdf::DecodeEntry(EntryAt(n)); }
  // Changes data page n: its page is expanded, changed by `edit` and stored
  // plain in a new block at the end of the file.
  void EditPage(uint32_t n, const std::function<void(uint8_t*)>& edit) {
    qdf::TPageEntry e = Entry(n);
    uint8_t page[qdf::kPageSize];
    if (e.flags & qdf::kEntryCompressed) {
      ASSERT_EQ(qdf::Unpack(&bytes[static_cast<size_t>(e.position)],
                            static_cast<size_t>(e.StoredSize()), page, qdf::kPageSize),
                qdf::kUnpackOk);
    } else {
      std::memcpy(page, &bytes[static_cast<size_t>(e.position)], qdf::kPageSize);
    }
    edit(page);
    e.position = static_cast<int64_t>(bytes.size());
    e.units = 16;
    e.flags &= ~qdf::kEntryCompressed;
    bytes.insert(bytes.end(), page, page + qdf::kPageSize);
    qdf::EncodeEntry(EntryAt(n), e);
    qdf::StoreU32(&bytes[qdf::kHdrRoot + qdf::kRootAllocEnd],
                  static_cast<uint32_t>(bytes.size() / qdf::kUnitSize));
  }
  uint32_t NextPage() const { return qdf::LoadU32(&bytes[qdf::kHdrRoot + qdf::kRootNextPage]); }
  std::vector<uint8_t> bytes;
};

using TStep = std::function<void(qdf::TQdfInTransStorage*)>;

// A database built in steps (one transaction each), kept as bytes so that
// every damage starts from it.
struct TCheckDb {
  explicit TCheckDb(const std::vector<TStep>& steps) {
    for (const TStep& step : steps) fx.Write(step);
    pristine = qdf_test::ReadFileBytes(fx.Db());
  }
  // Checks `bytes` as a database file of its own.
  TQdfCheckReport CheckBytes(const std::vector<uint8_t>& bytes) {
    qdf_test::WriteFileBytes(fx.Db("damaged.qdf"), bytes);
    return CheckDatabase(fx.Db("damaged.qdf"));
  }
  TSystemFixture fx;
  std::vector<uint8_t> pristine;
};

// Adds a record with the given field values.
void Add(qdf::TQdfTable& t, const std::vector<std::pair<const char*, std::string>>& values) {
  t.Insert();
  for (const auto& [field, value] : values) t.FieldByName(field)->SetAsString(value);
  t.Post();
}

// A class (ThisID, a, c), a table t of 3000 records with two indexes, a
// second table u, and deletions and rewrites over several transactions so
// that the free list holds blocks; then documents (name, body and note: blobs)
// in tables d and e.
const std::vector<TStep> kRecords = {
    [](qdf::TQdfInTransStorage* s) {
      s->Execute(
          "create TQdfItemClass TRec (TQdfObjectIDField ThisID; TQdfIntegerField a; "
          "TQdfCharField c); create table t on TRec; create index ia on t (a); "
          "create index ic on t (c); create table u on TRec");
    },
    [](qdf::TQdfInTransStorage* s) {
      std::unique_ptr<qdf::TQdfTable> table = s->TableByName("t");
      for (int i = 0; i < 3000; ++i) {
        Add(*table,
            {{"a", std::to_string(i * 7 % 3001)}, {"c", "record number " + std::to_string(i)}});
      }
    },
    [](qdf::TQdfInTransStorage* s) {
      std::unique_ptr<qdf::TQdfTable> table = s->TableByName("t");
      table->DeleteWhere(table->CompileFilter("a < 500"));
    },
    [](qdf::TQdfInTransStorage* s) {
      std::unique_ptr<qdf::TQdfTable> table = s->TableByName("u");
      for (int i = 0; i < 50; ++i) Add(*table, {{"a", std::to_string(i)}});
    },
    [](qdf::TQdfInTransStorage* s) {
      s->Execute(
          "create TQdfItemClass TDoc (TQdfCharField name; TQdfBlobField body; "
          "TQdfBlobField note); create table d on TDoc; create table e on TDoc");
      std::unique_ptr<qdf::TQdfTable> d = s->TableByName("d");
      // d: "a" (body of 6000 bytes in three chunks, note of 10), "b" (body of
      // 100), "c" (no blob); e: "x" (body of 4500).
      Add(*d, {{"name", "a"}, {"body", std::string(6000, 'a')}, {"note", "0123456789"}});
      Add(*d, {{"name", "b"}, {"body", std::string(100, 'b')}});
      Add(*d, {{"name", "c"}});
      Add(*s->TableByName("e"), {{"name", "x"}, {"body", std::string(4500, 'x')}});
    }};

TEST(IntegrityCheck, ReportListsAThousandLinesAndCountsAll) {
  TQdfCheckReport r;
  for (int i = 0; i < 1005; ++i) r.Add("problem " + std::to_string(i) + "\x01");
  EXPECT_EQ(r.found, 1005);
  ASSERT_EQ(r.problems.size(), TQdfCheckReport::kMaxProblems + 1);
  EXPECT_EQ(r.problems[0], "problem 0?");  // control bytes never reach a terminal
  EXPECT_EQ(r.problems.back(), "more problems were found; the first 1000 are listed");
  EXPECT_FALSE(r.Sound());
}

// Puts the table on the record named `name`.
void Find(qdf::TQdfTable& t, const std::string& name) {
  for (t.First(); t.Cursor().Item() != nullptr; t.Next()) {
    if (t.FieldByName("name")->GetAsString() == name) return;
  }
  FAIL() << "no record " << name;
}

qdf::TQdfBlobField& Blob(qdf::TQdfTable& t, const char* name = "body") {
  return static_cast<qdf::TQdfBlobField&>(*t.FieldByName(name));
}

// The field stops following its record: what the test does to it next
// happens behind the blob's back.
void Detach(qdf::TQdfTable& t, const char* name = "body") {
  t.Events().Remove(t.FieldByName(name));
}

// Puts $BLOB on the first chunk of blob `id` that `also` accepts.
qdf::TQdfTable& SeekChunk(qdf::TQdfInTransStorage* s, int64_t id,
                          const std::function<bool(qdf::TQdfTable&)>& also) {
  qdf::TQdfTable& b = *s->BlobTable();
  b.SetCurrentIndex(nullptr);
  for (b.First(); b.Cursor().Item() != nullptr; b.Next()) {
    if (static_cast<qdf::TQdfObjectIDField*>(b.FieldByName("BlobID"))->AsInt64() == id && also(b))
      break;
  }
  return b;
}

using TLines = std::vector<std::string>;

// Damage made to a copy of the database, to its bytes or through the engine,
// and the lines the report must then hold (and, with `problems`, how many).
struct TDamage {
  TDamage(const char* n, std::function<TLines(TRawFile&)> b) : name(n), bytes(std::move(b)) {}
  TDamage(const char* n, std::function<TLines(qdf::TQdfInTransStorage*)> e, size_t p = 0)
      : name(n), engine(std::move(e)), problems(p) {}
  const char* name;
  std::function<TLines(TRawFile&)> bytes;
  std::function<TLines(qdf::TQdfInTransStorage*)> engine;
  size_t problems = 0;
};

TEST(IntegrityCheck, FindsEveryKindOfDamage) {
  TCheckDb db(kRecords);
  TRawFile raw(db.fx.Db());
  {  // A next page number near the top of the range (a damaged header) leaves
    // the walk to the page-table blocks that exist: one look per level-1
    // range of 409600 pages that has none, not one per 640 pages (millions).
    const TQdfCheckReport before = CheckDatabase(db.fx.Db());
    EXPECT_TRUE(before.Sound()) << Joined(before);
    EXPECT_EQ(before.figures.records, 2500 + 50 + 4 + 8);  // $BLOB: 3 + 1 + 1 + 3 chunks
    EXPECT_EQ(before.figures.tables, 5);                   // t, u, d, e and $BLOB
    TRawFile far = raw;
    qdf::StoreU32(&far.bytes[qdf::kHdrRoot + qdf::kRootNextPage], 0xFFFFFF00u);
    EXPECT_EQ(db.CheckBytes(far.bytes).found, before.found);
    qdf::TQdfFileCheck file(db.fx.Db("damaged.qdf"));
    TQdfCheckReport r;
    file.Run(r);
    EXPECT_LT(file.TableBlocksLookedUp(), 20000u);
    EXPECT_EQ(r.figures.next_page, 0xFFFFFF00u);
    EXPECT_EQ(r.figures.pages, before.figures.pages);
    EXPECT_EQ(r.figures.table_blocks, before.figures.table_blocks);
  }
  // The first compressed data page and the next stored page after it.
  uint32_t packed = 0, other = 0;
  for (uint32_t n = 1; n < raw.NextPage() && n < 640; ++n) {
    const qdf::TPageEntry e = raw.Entry(n);
    if (e.position == 0) continue;
    if (packed == 0 && (e.flags & qdf::kEntryCompressed) && e.units >= 2) {
      packed = n;
    } else if (packed != 0 && other == 0) {
      other = n;
    }
  }
  ASSERT_NE(packed, 0u);
  ASSERT_NE(other, 0u);
  const qdf::TPageEntry e = raw.Entry(packed);
  {  // A flipped byte inside the compressed stream, at 16 places in turn.
    // Most flips break the code stream; some change a literal, which gives
    // another page that packs back the same and only a structure check could
    // notice, so not every one can be found.
    const int64_t packed_length = qdf::LoadU16(&raw.bytes[static_cast<size_t>(e.position)]);
    int found = 0;
    for (int i = 0; i < 16; ++i) {
      std::vector<uint8_t> bytes = raw.bytes;
      bytes[static_cast<size_t>(e.position + 4 + (packed_length - 4) * i / 16)] ^= 0x5A;
      const TQdfCheckReport r = db.CheckBytes(bytes);
      found += r.Sound() ? 0 : 1;
      for (const std::string& line : r.problems) {
        for (unsigned char c : line)
          EXPECT_TRUE(c >= 0x20 && c != 0x7F) << "unprintable in: " << line;
      }
    }
    EXPECT_GE(found, 12);
  }
  const std::string page = "page " + std::to_string(other) + ": ";
  auto move_other = [other](int64_t to, TLines lines) {
    return [other, to, lines](TRawFile& f) {
      qdf::TPageEntry moved = f.Entry(other);
      moved.position = to;
      qdf::EncodeEntry(f.EntryAt(other), moved);
      return lines;
    };
  };
  auto text = [](int64_t id) { return std::to_string(static_cast<long long>(id)); };
  using qdf::TQdfInTransStorage;
  using qdf::TQdfTable;
  const TDamage cases[] = {
      {"another page's entry points into the same block",
       move_other(e.position, {" overlaps the block of "})},
      {"a block beyond the end of the file",
       move_other(static_cast<int64_t>(raw.bytes.size()) + 4096,
                  {page, "past the end of the file"})},
      {"a position near the top of the 64-bit range (adding the size overflows)",
       move_other(INT64_MAX - 511, {page, "starts past the end of the file"})},
      {"an allocated space that ends past the file: every write would fail",
       [](TRawFile& f) -> TLines {
         qdf::StoreU32(&f.bytes[qdf::kHdrRoot + qdf::kRootAllocEnd], 0xFFFFFFFFu);
         return {"header: allocated space ends at ", ", past the end of the file ("};
       }},
      {"a cut-off file",
       [](TRawFile& f) -> TLines {
         f.bytes.resize(f.bytes.size() / 2);
         return {};
       }},
      // Loading the tree follows the pages of the object headers: the check
      // reports the loop and does not load the tree.
      {"a loop among the pages of the object headers",
       [](TRawFile& f) -> TLines {
         f.EditPage(1, [](uint8_t* page) { qdf::StoreU32(page + qdf::kPgNext, 1); });
         return {"page 1: following the next links from here leads back to it",
                 "the object tree was not loaded"};
       }},
      {"a key of index ia removed behind the table's back: one problem, said once",
       [](TQdfInTransStorage* s) -> TLines {
         std::unique_ptr<TQdfTable> t = s->TableByName("t");
         qdf::TQdfIndex* ia = t->IndexByName("ia");
         qdf::TItemAdr at = qdf::kBeforeFirstAdr;
         EXPECT_NE(ia->NextItem(at), nullptr);
         ia->DeleteAt(at);
         return {"t.ia: the record at ", " has no key"};
       },
       1},
      {"a chain link of table t points back to its first page",
       [](TQdfInTransStorage* s) -> TLines {
         auto* t = static_cast<qdf::TQdfPageList*>(s->ChildByName("t"));
         const uint32_t first = t->PageListHeader()->FirstPg();
         const uint32_t second =
             qdf::LoadU32(s->PageReader()->GetPage(first, qdf::kGpRead) + qdf::kPgNext);
         qdf::StoreU32(s->PageReader()->EditPage(second) + qdf::kPgNext, first);
         return {"t: chain page " + qdf::PageName(first) + " is already a page of t",
                 ": following the next links from here leads back to it"};
       }},
      {"a record changed behind the index's back",
       [](TQdfInTransStorage* s) -> TLines {
         std::unique_ptr<TQdfTable> t = s->TableByName("t");
         t->IndexByName("ic")->SetListening(false);
         t->First();
         t->Edit();
         t->FieldByName("c")->SetAsString("changed quietly");
         t->Post();
         return {"ic: key ", "does not match its record"};
       }},
      {"a data page whose stored free-space class no longer matches its list",
       [](TQdfInTransStorage* s) -> TLines {
         auto* t = static_cast<qdf::TQdfDataListBase*>(s->ChildByName("t"));
         uint32_t listed = qdf::kNoPage;
         for (int k = 0; k < qdf::TQHDataListBase::kFreeClasses && listed == qdf::kNoPage; ++k)
           listed = t->DataListBaseHeader()->FreeHead(k);
         EXPECT_NE(listed, qdf::kNoPage);  // the deletions left pages with room
         qdf::StoreU16(s->PageReader()->EditPage(listed) + qdf::kDpFreeClass,
                       0xFFFF);  // "in no list"
         return {"t: " + qdf::PageName(listed) + " of class -1 is in free-space list"};
       }},
      {"a record deleted behind $ID's back",
       [](TQdfInTransStorage* s) -> TLines {
         qdf::TItemAdr at = qdf::kBeforeFirstAdr;
         EXPECT_NE(s->IDIndex()->NextItem(at), nullptr);
         s->IDIndex()->DeleteAt(at);
         return {};
       }},
      // Schema damage that statements refuse, made behind their back: a
      // table on a class that holds no records of its kind, and a field
      // re-created with another type over stored values and an index key.
      {"a schema the tables cannot be read with",
       [](TQdfInTransStorage* s) -> TLines {
         static_cast<TQdfTable*>(s->ChildByName("u"))
             ->TableHeader()
             ->SetBaseStructureName("TBlobClassNode");
         s->ChildByPath("TRec.c")->DeleteObject();
         s->PushParent(s->ChildByName("TRec"));
         s->CreateSchemaObject("TQdfIntegerField", "c", false);
         s->PopUntil(nullptr);
         return {"u: TBlobClassNode is not a record class",
                 "t.ic: its key field c is a TQdfCharField, but TRec.c is a TQdfIntegerField",
                 " bytes for TRec.c, which a TQdfIntegerField never writes"};
       }},
      {"two records of a table share a blob",
       [&](TQdfInTransStorage* s) -> TLines {
         std::unique_ptr<TQdfTable> d = s->TableByName("d");
         Find(*d, "a");
         const int64_t a = Blob(*d).AsInt64();
         const std::string at_a = qdf::AdrToText(d->Cursor().Address());
         Find(*d, "b");
         const int64_t b = Blob(*d).AsInt64();
         Detach(*d);
         d->Edit();
         Blob(*d).SetAsInt64(a);
         d->Post();
         const std::string at_b = qdf::AdrToText(d->Cursor().Address());
         auto bare = [](std::string adr) { return adr.substr(1, adr.size() - 2); };
         return {"d: the record at " + bare(at_b) + " of d (field body) shares blob " + text(a) +
                     " with the record at " + bare(at_a) + " of d (field body)",
                 "$BLOB: blob " + text(b) + " (1 chunk, 100 bytes) belongs to no record"};
       }},
      {"records of two tables share a blob",
       [&](TQdfInTransStorage* s) -> TLines {
         std::unique_ptr<TQdfTable> d = s->TableByName("d");
         Find(*d, "a");
         const int64_t note = Blob(*d, "note").AsInt64();
         std::unique_ptr<TQdfTable> e = s->TableByName("e");
         Find(*e, "x");
         Detach(*e);
         e->Edit();
         Blob(*e).SetAsInt64(note);
         e->Post();
         return {" of e (field body) shares blob " + text(note) + " with the record at ",
                 " of d (field note)"};
       }},
      {"a chunk is missing",
       [&](TQdfInTransStorage* s) -> TLines {
         std::unique_ptr<TQdfTable> d = s->TableByName("d");
         Find(*d, "a");
         const int64_t a = Blob(*d).AsInt64();
         TQdfTable& b = SeekChunk(s, a, [](TQdfTable& c) {
           return static_cast<qdf::TQdfIntegerField*>(c.FieldByName("Position"))->AsInteger() ==
                  2000;
         });
         b.Delete(false);
         return {"$BLOB: blob " + text(a) + " (of the record at ",
                 " of d (field body)): chunk at 4000 (", ") where 2000 was expected"};
       }},
      {"a head with the wrong size",
       [&](TQdfInTransStorage* s) -> TLines {
         std::unique_ptr<TQdfTable> e = s->TableByName("e");
         Find(*e, "x");
         const int64_t x = Blob(*e).AsInt64();
         TQdfTable& b = SeekChunk(
             s, x, [](TQdfTable& c) { return c.CursorClass()->ObjectName() == "TBlobClass"; });
         b.Edit();
         static_cast<qdf::TQdfIntegerField*>(b.CursorClass()->FieldByName("BlobSize"))
             ->SetAsInteger(4499);
         b.Post();
         return {"$BLOB: blob " + text(x) + " (of the record at ",
                 "): its head says 4499 bytes, its chunks hold 4500"};
       }},
      {"a record deleted without its blobs",
       [&](TQdfInTransStorage* s) -> TLines {
         std::unique_ptr<TQdfTable> d = s->TableByName("d");
         Find(*d, "a");
         const int64_t body = Blob(*d).AsInt64();
         const int64_t note = Blob(*d, "note").AsInt64();
         Detach(*d);
         Detach(*d, "note");
         d->Delete(false);
         return {"$BLOB: blob " + text(body) + " (3 chunks, 6000 bytes) belongs to no record",
                 "$BLOB: blob " + text(note) + " (1 chunk, 10 bytes) belongs to no record"};
       }},
      // Past the statements' guard, as a damaged file has it; kept last (see
      // below).
      {"a blob table that lost a chunk field cannot serve any blob value",
       [](TQdfInTransStorage* s) -> TLines {
         s->ChildByPath("TBlobClassNode.Position")->SetProperties("ObjectName=Pos");
         return {"$BLOB: The $BLOB table lacks its "};
       }},
  };
  for (const TDamage& c : cases) {
    SCOPED_TRACE(c.name);
    TLines lines;
    TQdfCheckReport r;
    if (c.bytes) {
      TRawFile copy = raw;
      lines = c.bytes(copy);
      r = db.CheckBytes(copy.bytes);
    } else {
      // In a write transaction on the pristine database.
      qdf_test::WriteFileBytes(db.fx.Db(), db.pristine);
      db.fx.Write([&](qdf::TQdfInTransStorage* s) { lines = c.engine(s); });
      r = CheckDatabase(db.fx.Db());
    }
    EXPECT_FALSE(r.Sound());
    for (const std::string& line : lines) {
      EXPECT_NE(Joined(r).find(line), std::string::npos) << line << "\n" << Joined(r);
    }
    if (c.problems != 0) {
      EXPECT_EQ(r.problems.size(), c.problems) << Joined(r);
    }
  }
  EXPECT_EQ(qdf_test::MessageOf([&] { db.CheckBytes({}); }),
            db.fx.Db("damaged.qdf") + " is empty: no database file");
  EXPECT_EQ(qdf_test::MessageOf([&] { db.CheckBytes(std::vector<uint8_t>(600, 'x')); }),
            db.fx.Db("damaged.qdf") + " is no database file");
  // The file without the chunk field still opens for its other tables (it
  // used to stop every open with an engine assertion).
  EXPECT_EQ(db.fx.Open("DB", true)->TableByName("t")->Count(), 2500);
}

// Random damage anywhere in the file: the check reports or passes, but never
// crashes or raises (the sanitizers watch). Size from QDF_CHECK_DAMAGE_ROUNDS.
TEST(IntegrityCheck, RandomDamageNeverCrashes) {
  TCheckDb db(kRecords);
  const std::vector<uint8_t>& pristine = db.pristine;
  const long rounds = qdf_test::EnvSize("QDF_CHECK_DAMAGE_ROUNDS", 40);
  std::mt19937 rng(20261207);
  int found = 0;
  for (long round = 0; round < rounds; ++round) {
    std::vector<uint8_t> bytes = pristine;
    const int flips = 1 + static_cast<int>(rng() % 8);
    for (int i = 0; i < flips; ++i) {
      // Half of the flips land in the first 64 KB, where the header, the
      // page table and the schema live.
      const size_t span = (rng() & 1) ? std::min<size_t>(bytes.size(), 65536) : bytes.size();
      bytes[qdf::kHeaderSize + rng() % (span - qdf::kHeaderSize)] ^=
          static_cast<uint8_t>(1 + rng() % 255);
    }
    TQdfCheckReport r;
    ASSERT_NO_THROW(r = db.CheckBytes(bytes)) << "round " << round;
    found += r.Sound() ? 0 : 1;
  }
  EXPECT_GT(found, rounds / 2);
}

}  // namespace
