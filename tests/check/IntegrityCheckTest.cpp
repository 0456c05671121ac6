// The integrity check: sound files pass, and each kind of damage made to a
// copy is found and reported as a line, never as a crash.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "ErrorText.h"
#include "FileBytes.h"
#include "base/Bytes.h"
#include "base/PageCodec.h"
#include "base/QdfException.h"
#include "check/IntegrityCheck.h"
#include "db/SystemTestUtil.h"
#include "file/FileCheck.h"
#include "file/FileFormat.h"
#include "file/LocalFiler.h"
#include "list/DataListBase.h"
#include "list/PageList.h"
#include "reader/CacheBlock.h"
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

bool Mentions(const TQdfCheckReport& r, const std::string& text) {
  return Joined(r).find(text) != std::string::npos;
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

// A database with a class (ThisID, a, c), a table of 3000 records with two
// indexes, a second table, and deletions and rewrites over several
// transactions so that the free list holds blocks.
class TCheckDb {
 public:
  TCheckDb() { Build(); }
  void Build() {
    auto t = fx.system->NewTransaction("build");
    qdf::TQdfInTransStorage* s = t->OpenStorage("DB", false, fx.Db());
    t->SetActive(true);
    s->Execute(
        "create TQdfItemClass TRec (TQdfObjectIDField ThisID; TQdfIntegerField a; "
        "TQdfCharField c); create table t on TRec; create index ia on t (a); "
        "create index ic on t (c); create table u on TRec");
    t->CommitAndContinue();
    {
      std::unique_ptr<qdf::TQdfTable> table = s->TableByName("t");
      for (int i = 0; i < 3000; ++i) {
        table->Insert();
        static_cast<qdf::TQdfIntegerField*>(table->FieldByName("a"))->SetAsInteger(i * 7 % 3001);
        table->FieldByName("c")->SetAsString("record number " + std::to_string(i));
        table->Post();
      }
    }
    t->CommitAndContinue();
    {
      std::unique_ptr<qdf::TQdfTable> table = s->TableByName("t");
      std::unique_ptr<qdf::TvNode> filter = table->CompileFilter("a < 500");
      table->DeleteWhere(std::move(filter));
    }
    t->CommitAndContinue();
    {
      std::unique_ptr<qdf::TQdfTable> table = s->TableByName("u");
      for (int i = 0; i < 50; ++i) {
        table->Insert();
        static_cast<qdf::TQdfIntegerField*>(table->FieldByName("a"))->SetAsInteger(i);
        table->Post();
      }
    }
    t->Commit(true);
    t.reset();
    fx.Restart();  // closes the file
  }
  // Runs `change` on the table t inside a write transaction and commits.
  void Change(const std::function<void(qdf::TQdfInTransStorage*)>& change) {
    auto t = fx.system->NewTransaction("change");
    qdf::TQdfInTransStorage* s = t->OpenStorage("DB", false, fx.Db());
    t->SetActive(true);
    change(s);
    t->Commit(true);
    t.reset();
    fx.Restart();
  }
  std::string Copy(const std::string& name) {
    const std::string path = fx.Db(name);
    std::filesystem::copy_file(fx.Db(), path, std::filesystem::copy_options::overwrite_existing);
    return path;
  }
  TSystemFixture fx;
};

TEST(IntegrityCheck, SoundDatabaseAndItsFigures) {
  TCheckDb db;
  const std::vector<uint8_t> before = qdf_test::ReadFileBytes(db.fx.Db());
  const TQdfCheckReport r = CheckDatabase(db.fx.Db());
  EXPECT_TRUE(r.Sound()) << Joined(r);
  EXPECT_EQ(r.figures.records, 2500 + 50);
  EXPECT_EQ(r.figures.tables, 3);   // t, u and $BLOB
  EXPECT_GE(r.figures.indexes, 4);  // ia, ic, $ID and the blob index
  EXPECT_GT(r.figures.pages, 10);
  EXPECT_GT(r.figures.compressed_pages, 0);
  EXPECT_GT(r.figures.free_blocks, 0);  // the deletions and rewrites freed blocks
  EXPECT_EQ(r.figures.file_size, static_cast<int64_t>(before.size()));
  EXPECT_LE(r.figures.stored_bytes + r.figures.free_bytes + qdf::kHeaderSize,
            r.figures.allocation_end);
  // The check reads only.
  EXPECT_EQ(qdf_test::ReadFileBytes(db.fx.Db()), before);
}

TEST(IntegrityCheck, ReportListsAThousandLinesAndCountsAll) {
  TQdfCheckReport r;
  for (int i = 0; i < 1005; ++i) r.Add("problem " + std::to_string(i) + "\x01");
  EXPECT_EQ(r.found, 1005);
  ASSERT_EQ(r.problems.size(), TQdfCheckReport::kMaxProblems + 1);
  EXPECT_EQ(r.problems[0], "problem 0?");  // control bytes never reach a terminal
  EXPECT_EQ(r.problems.back(), "more problems were found; the first 1000 are listed");
  EXPECT_FALSE(r.Sound());
}

// A database whose first transaction never committed (its writer was
// killed) is empty and sound, even with pages written past its header.
TEST(IntegrityCheck, NeverCommittedFileIsAnEmptyDatabase) {
  TSystemFixture fx;
  {
    qdf::TQdfFilerRef filer =
        qdf::TQdfFilerRef::Adopt(new qdf::TQdfLocalFiler(fx.Db(), false, "W"));
  }
  std::vector<uint8_t> bytes = qdf_test::ReadFileBytes(fx.Db());
  ASSERT_EQ(bytes.size(), static_cast<size_t>(qdf::kHeaderSize));
  bytes.resize(bytes.size() + 3 * qdf::kPageSize, 0x5A);  // pages of the lost transaction
  qdf_test::WriteFileBytes(fx.Db(), bytes);
  const TQdfCheckReport r = CheckDatabase(fx.Db());
  EXPECT_TRUE(r.Sound()) << Joined(r);
  EXPECT_EQ(r.figures.objects, 0);
  EXPECT_EQ(r.figures.tables, 0);
}

TEST(IntegrityCheck, NoDatabaseFileIsAnError) {
  TSystemFixture fx;
  EXPECT_NE(qdf_test::MessageOf([&] { CheckDatabase(fx.Db("missing.qdf")); }), "<no error>");
  qdf_test::WriteFileBytes(fx.Db("empty.qdf"), {});
  EXPECT_EQ(qdf_test::MessageOf([&] { CheckDatabase(fx.Db("empty.qdf")); }),
            fx.Db("empty.qdf") + " is empty: no database file");
  qdf_test::WriteFileBytes(fx.Db("text.qdf"), std::vector<uint8_t>(600, 'x'));
  EXPECT_EQ(qdf_test::MessageOf([&] { CheckDatabase(fx.Db("text.qdf")); }),
            fx.Db("text.qdf") + " is no database file");
}

// A next page number near the top of the range (a damaged header) leaves
// the walk to the page-table blocks that exist: one look per level-1 range
// of 409600 pages that has none, not one per 640 pages (millions).
TEST(IntegrityCheck, HugeNextPageNumberIsWalkedByTheTableBlocksThatExist) {
  TCheckDb db;
  const TQdfCheckReport before = CheckDatabase(db.fx.Db());
  TRawFile raw(db.fx.Db());
  qdf::StoreU32(&raw.bytes[qdf::kHdrRoot + qdf::kRootNextPage], 0xFFFFFF00u);
  const std::string path = db.fx.Db("far.qdf");
  qdf_test::WriteFileBytes(path, raw.bytes);
  qdf::TQdfFileCheck file(path);
  TQdfCheckReport r;
  file.Run(r);
  EXPECT_LT(file.TableBlocksLookedUp(), 20000u);
  EXPECT_EQ(r.figures.next_page, 0xFFFFFF00u);
  EXPECT_EQ(r.figures.pages, before.figures.pages);
  EXPECT_EQ(r.figures.table_blocks, before.figures.table_blocks);
  EXPECT_EQ(CheckDatabase(path).found, before.found);
}

// A blob table that lost a chunk field cannot serve any blob value: the
// check says so, and the file still opens for its other tables (it used to
// stop every open with an engine assertion).
TEST(IntegrityCheck, BlobTableWithoutItsChunkFieldIsReportedAndTheFileStillOpens) {
  TCheckDb db;
  db.Change([](qdf::TQdfInTransStorage* s) {
    // Past the statements' guard, as a damaged file has it.
    s->ChildByPath("TBlobClassNode.Position")->SetProperties("ObjectName=Pos");
  });
  const TQdfCheckReport r = CheckDatabase(db.fx.Db());
  EXPECT_TRUE(Mentions(r, "$BLOB: The $BLOB table lacks its ")) << Joined(r);
  auto t = db.fx.system->NewTransaction("read");
  qdf::TQdfInTransStorage* s = t->OpenStorage("DB", true, db.fx.Db());
  t->SetActive(true);
  EXPECT_EQ(s->TableByName("t")->Count(), 2500);
}

TEST(IntegrityCheck, FindsDamagedAndMisplacedBlocks) {
  TCheckDb db;
  TRawFile raw(db.fx.Db());
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
      TRawFile copy = raw;
      copy.bytes[static_cast<size_t>(e.position + 4 + (packed_length - 4) * i / 16)] ^= 0x5A;
      qdf_test::WriteFileBytes(db.fx.Db("flipped.qdf"), copy.bytes);
      const TQdfCheckReport r = CheckDatabase(db.fx.Db("flipped.qdf"));
      found += r.Sound() ? 0 : 1;
      for (const std::string& line : r.problems) {
        for (unsigned char c : line)
          EXPECT_TRUE(c >= 0x20 && c != 0x7F) << "unprintable in: " << line;
      }
    }
    EXPECT_GE(found, 12);
  }
  {  // Another page's entry pointing into the same block.
    TRawFile copy = raw;
    qdf::TPageEntry moved = copy.Entry(other);
    moved.position = e.position;
    qdf::EncodeEntry(copy.EntryAt(other), moved);
    qdf_test::WriteFileBytes(db.fx.Db("overlap.qdf"), copy.bytes);
    const TQdfCheckReport r = CheckDatabase(db.fx.Db("overlap.qdf"));
    EXPECT_TRUE(Mentions(r, " overlaps the block of ")) << Joined(r);
  }
  {  // A block beyond the end of the file.
    TRawFile copy = raw;
    qdf::TPageEntry far = copy.Entry(other);
    far.position = static_cast<int64_t>(copy.bytes.size()) + 4096;
    qdf::EncodeEntry(copy.EntryAt(other), far);
    qdf_test::WriteFileBytes(db.fx.Db("far.qdf"), copy.bytes);
    const TQdfCheckReport r = CheckDatabase(db.fx.Db("far.qdf"));
    EXPECT_TRUE(Mentions(r, "page " + std::to_string(other) + ": ")) << Joined(r);
    EXPECT_TRUE(Mentions(r, "past the end of the file")) << Joined(r);
  }
  {  // A position near the top of the 64-bit range (adding the size overflows).
    TRawFile copy = raw;
    qdf::TPageEntry huge = copy.Entry(other);
    huge.position = INT64_MAX - 511;
    qdf::EncodeEntry(copy.EntryAt(other), huge);
    qdf_test::WriteFileBytes(db.fx.Db("huge.qdf"), copy.bytes);
    const TQdfCheckReport r = CheckDatabase(db.fx.Db("huge.qdf"));
    EXPECT_TRUE(Mentions(r, "page " + std::to_string(other) + ": ")) << Joined(r);
    EXPECT_TRUE(Mentions(r, "starts past the end of the file")) << Joined(r);
  }
  {  // An allocated space that ends past the file: every write would fail.
    TRawFile copy = raw;
    qdf::StoreU32(&copy.bytes[qdf::kHdrRoot + qdf::kRootAllocEnd], 0xFFFFFFFFu);
    qdf_test::WriteFileBytes(db.fx.Db("alloc.qdf"), copy.bytes);
    const TQdfCheckReport r = CheckDatabase(db.fx.Db("alloc.qdf"));
    EXPECT_TRUE(Mentions(r, "header: allocated space ends at ")) << Joined(r);
    EXPECT_TRUE(Mentions(r, ", past the end of the file (")) << Joined(r);
  }
  {  // A cut-off file.
    TRawFile copy = raw;
    copy.bytes.resize(copy.bytes.size() / 2);
    qdf_test::WriteFileBytes(db.fx.Db("cut.qdf"), copy.bytes);
    EXPECT_FALSE(CheckDatabase(db.fx.Db("cut.qdf")).Sound());
  }
}

TEST(IntegrityCheck, FindsBrokenChainsAndIndexes) {
  TCheckDb db;
  const std::string pristine = db.Copy("pristine.qdf");
  // A chain link of table t pointing back to its first page.
  uint32_t first = 0;
  db.Change([&](qdf::TQdfInTransStorage* s) {
    auto* t = static_cast<qdf::TQdfPageList*>(s->ChildByName("t"));
    first = t->PageListHeader()->FirstPg();
    const uint32_t second =
        qdf::LoadU32(s->PageReader()->GetPage(first, qdf::kGpRead) + qdf::kPgNext);
    uint8_t* p = s->PageReader()->EditPage(second);
    qdf::StoreU32(p + qdf::kPgNext, first);
  });
  TQdfCheckReport r = CheckDatabase(db.fx.Db());
  EXPECT_TRUE(Mentions(r, "t: chain page " + qdf::PageName(first) + " is already a page of t"))
      << Joined(r);
  EXPECT_TRUE(Mentions(r, ": following the next links from here leads back to it")) << Joined(r);

  // The same among the pages of the object headers, which loading the tree
  // follows: the check reports it and does not load the tree.
  {
    TRawFile raw(pristine);
    raw.EditPage(1, [](uint8_t* page) { qdf::StoreU32(page + qdf::kPgNext, 1); });
    qdf_test::WriteFileBytes(db.fx.Db("rootloop.qdf"), raw.bytes);
    r = CheckDatabase(db.fx.Db("rootloop.qdf"));
    EXPECT_TRUE(Mentions(r, "page 1: following the next links from here leads back to it"))
        << Joined(r);
    EXPECT_TRUE(Mentions(r, "the object tree was not loaded")) << Joined(r);
  }

  // A key of index ia removed behind the table's back.
  std::filesystem::copy_file(pristine, db.fx.Db(),
                             std::filesystem::copy_options::overwrite_existing);
  db.Change([&](qdf::TQdfInTransStorage* s) {
    std::unique_ptr<qdf::TQdfTable> t = s->TableByName("t");
    qdf::TQdfIndex* ia = t->IndexByName("ia");
    qdf::TItemAdr at = qdf::kBeforeFirstAdr;
    ASSERT_NE(ia->NextItem(at), nullptr);
    ia->DeleteAt(at);
  });
  r = CheckDatabase(db.fx.Db());
  EXPECT_EQ(Joined(r).find("t.ia: the record at "), 0u) << Joined(r);
  EXPECT_TRUE(Mentions(r, " has no key")) << Joined(r);
  EXPECT_EQ(r.problems.size(), 1u) << Joined(r);

  // A record changed behind the index's back: its key no longer matches.
  std::filesystem::copy_file(pristine, db.fx.Db(),
                             std::filesystem::copy_options::overwrite_existing);
  db.Change([&](qdf::TQdfInTransStorage* s) {
    std::unique_ptr<qdf::TQdfTable> t = s->TableByName("t");
    t->IndexByName("ic")->SetListening(false);
    t->First();
    t->Edit();
    t->FieldByName("c")->SetAsString("changed quietly");
    t->Post();
  });
  r = CheckDatabase(db.fx.Db());
  EXPECT_TRUE(Mentions(r, "ic: key ")) << Joined(r);
  EXPECT_TRUE(Mentions(r, "does not match its record")) << Joined(r);

  // A data page whose stored free-space class no longer matches its list.
  std::filesystem::copy_file(pristine, db.fx.Db(),
                             std::filesystem::copy_options::overwrite_existing);
  uint32_t listed = 0;
  db.Change([&](qdf::TQdfInTransStorage* s) {
    auto* t = static_cast<qdf::TQdfDataListBase*>(s->ChildByName("t"));
    for (int k = 0; k < qdf::TQHDataListBase::kFreeClasses && listed == 0; ++k) {
      if (t->DataListBaseHeader()->FreeHead(k) != qdf::kNoPage)
        listed = t->DataListBaseHeader()->FreeHead(k);
    }
    ASSERT_NE(listed, 0u);  // the deletions left pages with room
    uint8_t* p = s->PageReader()->EditPage(listed);
    qdf::StoreU16(p + qdf::kDpFreeClass, 0xFFFF);  // "in no list"
  });
  r = CheckDatabase(db.fx.Db());
  EXPECT_TRUE(Mentions(r, "t: " + qdf::PageName(listed) + " of class -1 is in free-space list"))
      << Joined(r);

  // A record deleted behind $ID's back.
  std::filesystem::copy_file(pristine, db.fx.Db(),
                             std::filesystem::copy_options::overwrite_existing);
  db.Change([&](qdf::TQdfInTransStorage* s) {
    std::unique_ptr<qdf::TQdfTable> t = s->TableByName("t");
    qdf::TItemAdr at = qdf::kBeforeFirstAdr;
    ASSERT_NE(s->IDIndex()->NextItem(at), nullptr);
    s->IDIndex()->DeleteAt(at);
  });
  r = CheckDatabase(db.fx.Db());
  EXPECT_FALSE(r.Sound());
}

// A database with blobs: TDoc (name, body and note: blobs) in tables d and e.
// d: "a" (body of 6000 bytes in three chunks, note of 10), "b" (body of 100),
// "c" (no blob); e: "x" (body of 4500).
class TBlobDb {
 public:
  TBlobDb() {
    auto t = fx.system->NewTransaction("build");
    qdf::TQdfInTransStorage* s = t->OpenStorage("DB", false, fx.Db());
    t->SetActive(true);
    s->Execute(
        "create TQdfItemClass TDoc (TQdfCharField name; TQdfBlobField body; "
        "TQdfBlobField note); create table d on TDoc; create table e on TDoc");
    t->CommitAndContinue();
    {
      std::unique_ptr<qdf::TQdfTable> d = s->TableByName("d");
      Add(*d, "a", std::string(6000, 'a'), "0123456789");
      Add(*d, "b", std::string(100, 'b'), "");
      Add(*d, "c", "", "");
      std::unique_ptr<qdf::TQdfTable> e = s->TableByName("e");
      Add(*e, "x", std::string(4500, 'x'), "");
    }
    t->Commit(true);
    t.reset();
    fx.Restart();
    pristine = qdf_test::ReadFileBytes(fx.Db());
  }
  static void Add(qdf::TQdfTable& t, const std::string& name, const std::string& body,
                  const std::string& note) {
    t.Insert();
    t.FieldByName("name")->SetAsString(name);
    t.FieldByName("body")->SetAsString(body);
    t.FieldByName("note")->SetAsString(note);
    t.Post();
  }
  // Puts the table on the record named `name`.
  static void Find(qdf::TQdfTable& t, const std::string& name) {
    for (t.First(); t.Cursor().Item() != nullptr; t.Next()) {
      if (t.FieldByName("name")->GetAsString() == name) return;
    }
    FAIL() << "no record " << name;
  }
  static qdf::TQdfBlobField& Blob(qdf::TQdfTable& t, const char* name = "body") {
    return static_cast<qdf::TQdfBlobField&>(*t.FieldByName(name));
  }
  // The field stops following its record: what the test does to it next
  // happens behind the blob's back.
  static void Detach(qdf::TQdfTable& t, const char* name = "body") {
    t.Events().Remove(t.FieldByName(name));
  }
  // Puts $BLOB on the first chunk of blob `id` that `also` accepts.
  static qdf::TQdfTable& SeekChunk(qdf::TQdfInTransStorage* s, int64_t id,
                                   const std::function<bool(qdf::TQdfTable&)>& also) {
    qdf::TQdfTable& b = *s->BlobTable();
    b.SetCurrentIndex(nullptr);
    for (b.First(); b.Cursor().Item() != nullptr; b.Next()) {
      if (static_cast<qdf::TQdfObjectIDField*>(b.FieldByName("BlobID"))->AsInt64() == id && also(b))
        break;
    }
    return b;
  }
  // Runs `change` on the pristine file inside a write transaction, commits.
  void Change(const std::function<void(qdf::TQdfInTransStorage*)>& change) {
    qdf_test::WriteFileBytes(fx.Db(), pristine);
    auto t = fx.system->NewTransaction("change");
    qdf::TQdfInTransStorage* s = t->OpenStorage("DB", false, fx.Db());
    t->SetActive(true);
    change(s);
    t->Commit(true);
    t.reset();
    fx.Restart();
  }
  TSystemFixture fx;
  std::vector<uint8_t> pristine;
};

TEST(IntegrityCheck, FindsSharedDamagedAndUnownedBlobs) {
  TBlobDb db;
  {
    const TQdfCheckReport r = CheckDatabase(db.fx.Db());
    EXPECT_TRUE(r.Sound()) << Joined(r);
  }
  using qdf::TQdfInTransStorage;
  using qdf::TQdfTable;
  struct TCase {
    const char* name;
    // Damages the file; returns the lines the report must hold.
    std::function<std::vector<std::string>(TQdfInTransStorage*)> damage;
  };
  auto text = [](int64_t id) { return std::to_string(static_cast<long long>(id)); };
  const std::vector<TCase> cases = {
      {"two records of a table share a blob",
       [&](TQdfInTransStorage* s) -> std::vector<std::string> {
         std::unique_ptr<TQdfTable> d = s->TableByName("d");
         TBlobDb::Find(*d, "a");
         const int64_t a = TBlobDb::Blob(*d).AsInt64();
         const std::string at_a = qdf::AdrToText(d->Cursor().Address());
         TBlobDb::Find(*d, "b");
         const int64_t b = TBlobDb::Blob(*d).AsInt64();
         TBlobDb::Detach(*d);
         d->Edit();
         TBlobDb::Blob(*d).SetAsInt64(a);
         d->Post();
         const std::string at_b = qdf::AdrToText(d->Cursor().Address());
         auto bare = [](std::string adr) { return adr.substr(1, adr.size() - 2); };
         return {"d: the record at " + bare(at_b) + " of d (field body) shares blob " + text(a) +
                     " with the record at " + bare(at_a) + " of d (field body)",
                 "$BLOB: blob " + text(b) + " (1 chunk, 100 bytes) belongs to no record"};
       }},
      {"records of two tables share a blob",
       [&](TQdfInTransStorage* s) -> std::vector<std::string> {
         std::unique_ptr<TQdfTable> d = s->TableByName("d");
         TBlobDb::Find(*d, "a");
         const int64_t note = TBlobDb::Blob(*d, "note").AsInt64();
         std::unique_ptr<TQdfTable> e = s->TableByName("e");
         TBlobDb::Find(*e, "x");
         TBlobDb::Detach(*e);
         e->Edit();
         TBlobDb::Blob(*e).SetAsInt64(note);
         e->Post();
         return {" of e (field body) shares blob " + text(note) + " with the record at ",
                 " of d (field note)"};
       }},
      {"a chunk is missing",
       [&](TQdfInTransStorage* s) -> std::vector<std::string> {
         std::unique_ptr<TQdfTable> d = s->TableByName("d");
         TBlobDb::Find(*d, "a");
         const int64_t a = TBlobDb::Blob(*d).AsInt64();
         TQdfTable& b = TBlobDb::SeekChunk(s, a, [](TQdfTable& c) {
           return static_cast<qdf::TQdfIntegerField*>(c.FieldByName("Position"))->AsInteger() ==
                  2000;
         });
         b.Delete(false);
         return {"$BLOB: blob " + text(a) + " (of the record at ",
                 " of d (field body)): chunk at 4000 (", ") where 2000 was expected"};
       }},
      {"a head with the wrong size",
       [&](TQdfInTransStorage* s) -> std::vector<std::string> {
         std::unique_ptr<TQdfTable> e = s->TableByName("e");
         TBlobDb::Find(*e, "x");
         const int64_t x = TBlobDb::Blob(*e).AsInt64();
         TQdfTable& b = TBlobDb::SeekChunk(
             s, x, [](TQdfTable& c) { return c.CursorClass()->ObjectName() == "TBlobClass"; });
         b.Edit();
         static_cast<qdf::TQdfIntegerField*>(b.CursorClass()->FieldByName("BlobSize"))
             ->SetAsInteger(4499);
         b.Post();
         return {"$BLOB: blob " + text(x) + " (of the record at ",
                 "): its head says 4499 bytes, its chunks hold 4500"};
       }},
      {"a record deleted without its blobs",
       [&](TQdfInTransStorage* s) -> std::vector<std::string> {
         std::unique_ptr<TQdfTable> d = s->TableByName("d");
         TBlobDb::Find(*d, "a");
         const int64_t body = TBlobDb::Blob(*d).AsInt64();
         const int64_t note = TBlobDb::Blob(*d, "note").AsInt64();
         TBlobDb::Detach(*d);
         TBlobDb::Detach(*d, "note");
         d->Delete(false);
         return {"$BLOB: blob " + text(body) + " (3 chunks, 6000 bytes) belongs to no record",
                 "$BLOB: blob " + text(note) + " (1 chunk, 10 bytes) belongs to no record"};
       }},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<std::string> lines;
    db.Change([&](TQdfInTransStorage* s) { lines = c.damage(s); });
    const TQdfCheckReport r = CheckDatabase(db.fx.Db());
    EXPECT_FALSE(r.Sound());
    for (const std::string& line : lines)
      EXPECT_TRUE(Mentions(r, line)) << line << "\n" << Joined(r);
  }
}

// Random damage anywhere in the file: the check reports or passes, but never
// crashes or raises (the sanitizers watch). Size from QDF_CHECK_DAMAGE_ROUNDS.
// Schema damage that statements refuse, made behind their back: a table on
// a class that holds no records of its kind, and a field re-created with
// another type over stored values and an index key.
TEST(IntegrityCheck, FindsASchemaItsTablesCannotBeReadWith) {
  TCheckDb db;
  db.Change([&](qdf::TQdfInTransStorage* s) {
    static_cast<qdf::TQdfTable*>(s->ChildByName("u"))
        ->TableHeader()
        ->SetBaseStructureName("TBlobClassNode");
    s->ChildByPath("TRec.c")->DeleteObject();
    s->PushParent(s->ChildByName("TRec"));
    s->CreateSchemaObject("TQdfIntegerField", "c", false);
    s->PopUntil(nullptr);
  });
  const TQdfCheckReport r = CheckDatabase(db.fx.Db());
  EXPECT_TRUE(Mentions(r, "u: TBlobClassNode is not a record class")) << Joined(r);
  EXPECT_TRUE(Mentions(r,
                       "t.ic: its key field c is a TQdfCharField, but TRec.c is a "
                       "TQdfIntegerField"))
      << Joined(r);
  EXPECT_TRUE(Mentions(r, " bytes for TRec.c, which a TQdfIntegerField never writes")) << Joined(r);
}

TEST(IntegrityCheck, RandomDamageNeverCrashes) {
  TCheckDb db;
  const std::vector<uint8_t> pristine = qdf_test::ReadFileBytes(db.fx.Db());
  const char* env = std::getenv("QDF_CHECK_DAMAGE_ROUNDS");
  const int rounds = env != nullptr ? std::atoi(env) : 40;
  std::mt19937 rng(20261207);
  int found = 0;
  for (int round = 0; round < rounds; ++round) {
    std::vector<uint8_t> bytes = pristine;
    const int flips = 1 + static_cast<int>(rng() % 8);
    for (int i = 0; i < flips; ++i) {
      // Half of the flips land in the first 64 KB, where the header, the
      // page table and the schema live.
      const size_t span = (rng() & 1) ? std::min<size_t>(bytes.size(), 65536) : bytes.size();
      bytes[qdf::kHeaderSize + rng() % (span - qdf::kHeaderSize)] ^=
          static_cast<uint8_t>(1 + rng() % 255);
    }
    const std::string path = db.fx.Db("random.qdf");
    qdf_test::WriteFileBytes(path, bytes);
    TQdfCheckReport r;
    ASSERT_NO_THROW(r = CheckDatabase(path)) << "round " << round;
    found += r.Sound() ? 0 : 1;
  }
  EXPECT_GT(found, rounds / 2);
}

}  // namespace
