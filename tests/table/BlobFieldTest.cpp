// Blob fields: chunk layout in $BLOB, rewrites, resizing, short streams,
// blobs that follow their record's post, cancel, copy, deletion and drop,
// and values that survive commit, reopen and rollback.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "EnvSize.h"
#include "ErrorText.h"
#include "base/QdfException.h"
#include "list/ItemList.h"
#include "list/ListTestUtil.h"
#include "record/ItemClass.h"
#include "storage/Storage.h"
#include "table/BlobField.h"
#include "table/Table.h"

namespace qdf {
namespace {

using qdf_test::MessageOf;

struct TChunk {
  int32_t position;
  int32_t length;
  int32_t blob_size;  // -1 for a TBlobClassNode
  bool operator==(const TChunk&) const = default;
};

// TDoc (name: char, body, note: blob) in the table docs.
void BuildDocs(TQdfStorage& s) {
  s.CreateSchemaObject("TQdfItemClass", "TDoc", false);
  s.CreateSchemaObject("TQdfCharField", "name", true);
  s.CreateSchemaObject("TQdfBlobField", "body", true);
  s.CreateSchemaObject("TQdfBlobField", "note", true);
  s.PopUntil(nullptr);
  s.CreateSchemaObject("TQdfTable", "docs", false)->SetProperties("BaseStructureName=TDoc");
  s.PopUntil(nullptr);
  s.StoreModified();
}

std::unique_ptr<TQdfStorage> OpenDb(qdf_test::TListFixture& fx, bool build) {
  auto s = fx.New<TQdfStorage>();
  s->OpenRoot(fx.Reader());
  if (build) BuildDocs(*s);
  return s;
}

// Commits, closes the file and opens it again.
std::unique_ptr<TQdfStorage> Reopen(qdf_test::TListFixture& fx, std::unique_ptr<TQdfStorage> s) {
  s->StoreModified();
  fx.Commit();
  s.reset();
  fx.Close();
  fx.Open();
  return OpenDb(fx, false);
}

TQdfBlobField& Blob(TQdfTable& t, const char* name = "body") {
  return *static_cast<TQdfBlobField*>(t.FieldByName(name));
}

// Inserts a record named `name` whose body holds `bytes`.
void AddDoc(TQdfTable& t, const std::string& name, const std::string& bytes) {
  t.Insert();
  t.FieldByName("name")->SetAsString(name);
  Blob(t).SetAsString(bytes);
  t.Post();
}

// Positions `t` on the record named `name`.
void Find(TQdfTable& t, const std::string& name) {
  for (t.First(); t.Cursor().Item() != nullptr; t.Next()) {
    if (t.FieldByName("name")->GetAsString() == name) return;
  }
  FAIL() << "no record " << name;
}

// The chunks of blob `id`, read straight from $BLOB in physical order and
// sorted by position.
std::vector<TChunk> ChunksOf(TQdfStorage& s, const TObjectID& id) {
  TQdfTable& b = *s.BlobTable();
  TQdfItemClass* head = b.ItemClass()->ClassByName("TBlobClass");
  std::vector<TChunk> out;
  b.SetCurrentIndex(nullptr);
  for (b.First(); b.Cursor().Item() != nullptr; b.Next()) {
    if (static_cast<TQdfObjectIDField*>(b.FieldByName("BlobID"))->AsID() != id) continue;
    const bool is_head = head->IsKindOfClass(b.CursorClass());
    out.push_back({static_cast<TQdfIntegerField*>(b.FieldByName("Position"))->AsInteger(),
                   static_cast<int32_t>(b.FieldByName("Data")->GetAsString().size()),
                   is_head
                       ? static_cast<TQdfIntegerField*>(head->FieldByName("BlobSize"))->AsInteger()
                       : -1});
  }
  std::sort(out.begin(), out.end(),
            [](const TChunk& a, const TChunk& c) { return a.position < c.position; });
  return out;
}

int64_t ChunkCount(TQdfStorage& s) { return s.BlobTable()->Count(); }

// Chunks start at 0 with the head, follow without gaps, and all but the
// last hold at least 512 bytes; the head's BlobSize is the total.
void ExpectSound(const std::vector<TChunk>& chunks, size_t total) {
  int64_t at = 0;
  for (size_t i = 0; i < chunks.size(); ++i) {
    EXPECT_EQ(chunks[i].position, at) << i;
    EXPECT_EQ(chunks[i].blob_size >= 0, i == 0) << i;
    if (i + 1 < chunks.size()) {
      EXPECT_GE(chunks[i].length, TQdfBlobField::kMinChunkSize) << i;
    }
    at += chunks[i].length;
  }
  EXPECT_EQ(at, static_cast<int64_t>(total));
  if (!chunks.empty()) {
    EXPECT_EQ(chunks[0].blob_size, static_cast<int32_t>(total));
  }
}

std::string Bytes(size_t n, uint32_t seed) {
  std::string s(n, '\0');
  std::mt19937 rng(seed);
  for (char& c : s) c = static_cast<char>(rng());
  return s;
}

// Announces `size` bytes, delivers `deliver` of them, `step` at a time.
class TScriptedStream : public TBlobStream {
 public:
  TScriptedStream(int64_t size, std::string deliver, int step)
      : size_(size), bytes_(std::move(deliver)), step_(step) {}
  int64_t Size() const override { return size_; }
  void Rewind() override { at_ = 0; }
  int Read(uint8_t* dest, int count) override {
    const int n = static_cast<int>(std::min<size_t>(
        {static_cast<size_t>(count), static_cast<size_t>(step_), bytes_.size() - at_}));
    std::copy_n(bytes_.data() + at_, n, dest);
    at_ += static_cast<size_t>(n);
    return n;
  }

 private:
  int64_t size_;
  std::string bytes_;
  int step_;
  size_t at_ = 0;
};

TEST(BlobField, ChunkLayoutOfFreshWritesAndRewrites) {
  qdf_test::TListFixture fx;
  auto s = OpenDb(fx, true);
  auto t = s->TableByName("docs");
  AddDoc(*t, "a", Bytes(4000, 1));
  TQdfBlobField& body = Blob(*t);
  EXPECT_EQ(ChunksOf(*s, body.AsID()), (std::vector<TChunk>{{0, 4000, 4000}}));
  EXPECT_EQ(body.BlobSize(), 4000);

  AddDoc(*t, "b", Bytes(4001, 2));
  const TObjectID b = body.AsID();
  EXPECT_EQ(ChunksOf(*s, b),
            (std::vector<TChunk>{{0, 2000, 4001}, {2000, 2000, -1}, {4000, 1, -1}}));
  EXPECT_EQ(body.GetAsString(), Bytes(4001, 2));

  // An edit writes a blob of its own, fresh; the stored one stays as it is
  // until the post.
  t->Edit();
  body.SetAsString(Bytes(4001, 3));
  const TObjectID e = body.AsID();
  EXPECT_NE(e, b);
  EXPECT_EQ(ChunksOf(*s, e),
            (std::vector<TChunk>{{0, 2000, 4001}, {2000, 2000, -1}, {4000, 1, -1}}));
  // Later writes of the edit rewrite it: 6000 bytes over it, the 1-byte
  // chunk grows to 512, new chunks follow.
  body.SetAsString(Bytes(6000, 3));
  EXPECT_EQ(body.AsID(), e);
  EXPECT_EQ(
      ChunksOf(*s, e),
      (std::vector<TChunk>{{0, 2000, 6000}, {2000, 2000, -1}, {4000, 512, -1}, {4512, 1488, -1}}));
  EXPECT_EQ(body.GetAsString(), Bytes(6000, 3));
  EXPECT_EQ(ChunksOf(*s, b).size(), 3u);
  // Then 100: the head is cut, the others go.
  body.SetAsString(Bytes(100, 4));
  EXPECT_EQ(ChunksOf(*s, e), (std::vector<TChunk>{{0, 100, 100}}));
  // Longer again: the small head grows to 512, the rest follows it.
  body.SetAsString(Bytes(3000, 5));
  EXPECT_EQ(ChunksOf(*s, e), (std::vector<TChunk>{{0, 512, 3000}, {512, 2488, -1}}));
  t->Post();
  // The record names the new blob; the old one's chunks are gone.
  EXPECT_EQ(body.AsID(), e);
  EXPECT_EQ(body.GetAsString(), Bytes(3000, 5));
  EXPECT_TRUE(ChunksOf(*s, b).empty());
  EXPECT_EQ(ChunkCount(*s), 1 + 2);
  // The other record's blob was never touched.
  Find(*t, "a");
  EXPECT_EQ(body.GetAsString(), Bytes(4000, 1));
}

TEST(BlobField, NullAndMissingBlobTable) {
  qdf_test::TListFixture fx;
  auto s = OpenDb(fx, true);
  auto t = s->TableByName("docs");
  AddDoc(*t, "empty", "");
  TQdfBlobField& body = Blob(*t);
  EXPECT_TRUE(body.IsNull());
  EXPECT_EQ(body.GetAsString(), "");
  EXPECT_EQ(body.BlobSize(), 0);
  std::string out = "stale";
  body.ReadBlob(out);
  EXPECT_EQ(out, "");
  EXPECT_EQ(ChunkCount(*s), 0);
  // Blobs are written in edit mode only, like every other value.
  EXPECT_EQ(MessageOf([&] { body.SetAsString("x"); }), "Cannot edit");
  EXPECT_EQ(MessageOf([&] { body.ClearBlob(); }), "Cannot edit");
  EXPECT_EQ(MessageOf([&] { body.SetBlobSize(5); }), "Cannot edit");
  EXPECT_EQ(ChunkCount(*s), 0);
  AddDoc(*t, "full", "bytes");
  EXPECT_EQ(MessageOf([&] { body.SetAsString("other"); }), "Cannot edit");
  EXPECT_EQ(MessageOf([&] { body.SetBlobSize(1); }), "Cannot edit");
  EXPECT_EQ(body.GetAsString(), "bytes");

  // A database without $BLOB: reads are empty, writes refuse and keep the
  // field as it was.
  qdf_test::TListFixture bare;
  auto root = bare.New<TQdfStorage>();
  root->CreateRoot(bare.Reader());
  BuildDocs(*root);
  ASSERT_EQ(root->BlobTable(), nullptr);
  auto d = root->TableByName("docs");
  d->Insert();
  EXPECT_EQ(MessageOf([&] { Blob(*d).SetAsString("lost?"); }),
            "Cannot write blob body: the database has no $BLOB table");
  EXPECT_TRUE(Blob(*d).IsNull());
  Blob(*d).SetAsInt64(77);
  EXPECT_EQ(Blob(*d).GetAsString(), "");
  EXPECT_EQ(Blob(*d).BlobSize(), 0);
  Blob(*d).ClearBlob();  // nothing to delete
}

TEST(BlobField, DeletingRecordsDeletesTheirChunks) {
  qdf_test::TListFixture fx;
  auto s = OpenDb(fx, true);
  auto t = s->TableByName("docs");
  AddDoc(*t, "a", Bytes(9000, 1));
  const TObjectID a = Blob(*t).AsID();
  AddDoc(*t, "b", Bytes(50, 2));
  const TObjectID b = Blob(*t).AsID();
  t->Edit();
  Blob(*t, "note").SetAsString(Bytes(4500, 3));
  t->Post();
  EXPECT_EQ(ChunkCount(*s), 5 + 1 + 3);
  Find(*t, "b");
  t->Delete(false);
  EXPECT_TRUE(ChunksOf(*s, b).empty());
  EXPECT_EQ(ChunkCount(*s), 5);
  Find(*t, "a");
  EXPECT_EQ(Blob(*t).GetAsString(), Bytes(9000, 1));
  // IDs only grow: a new blob never takes a deleted one's.
  AddDoc(*t, "c", "c");
  EXPECT_GT(Blob(*t).AsID(), b);
  // Another working instance of the table clears as well.
  auto other = s->TableByName("docs");
  Find(*other, "a");
  other->Delete(false);
  EXPECT_TRUE(ChunksOf(*s, a).empty());
  // Emptying the table takes every blob along.
  t->ClearPages();
  EXPECT_EQ(ChunkCount(*s), 0);
}

TEST(BlobField, ClearAndResize) {
  qdf_test::TListFixture fx;
  auto s = OpenDb(fx, true);
  auto t = s->TableByName("docs");
  const std::string v = Bytes(7000, 9);
  AddDoc(*t, "a", v);
  TQdfBlobField& body = Blob(*t);
  const TObjectID stored = body.AsID();
  t->Edit();
  // Cut inside the second chunk: the edit's blob starts as a copy.
  body.SetBlobSize(3001);
  const TObjectID id = body.AsID();
  EXPECT_NE(id, stored);
  EXPECT_EQ(ChunksOf(*s, id), (std::vector<TChunk>{{0, 2000, 3001}, {2000, 1001, -1}}));
  EXPECT_EQ(body.GetAsString(), v.substr(0, 3001));
  // Grow: the last chunk fills up, then zero chunks follow.
  body.SetBlobSize(6500);
  ExpectSound(ChunksOf(*s, id), 6500);
  EXPECT_EQ(body.GetAsString(), v.substr(0, 3001) + std::string(3499, '\0'));
  // Inside the head, then a lone head grows to the one-chunk limit first.
  body.SetBlobSize(10);
  EXPECT_EQ(ChunksOf(*s, id), (std::vector<TChunk>{{0, 10, 10}}));
  body.SetBlobSize(4500);
  EXPECT_EQ(ChunksOf(*s, id), (std::vector<TChunk>{{0, 4000, 4500}, {4000, 500, -1}}));
  EXPECT_EQ(body.GetAsString(), v.substr(0, 10) + std::string(4490, '\0'));
  // A rewrite of a grown blob keeps every chunk in order.
  body.SetAsString(Bytes(4600, 4));
  ExpectSound(ChunksOf(*s, id), 4600);
  EXPECT_EQ(body.GetAsString(), Bytes(4600, 4));
  EXPECT_EQ(MessageOf([&] { body.SetBlobSize(-1); }), "Invalid blob size: -1");
  // Clearing makes the field null: the edit's chunks go at once, the stored
  // ones with the post.
  body.ClearBlob();
  EXPECT_TRUE(body.IsNull());
  EXPECT_EQ(body.BlobSize(), 0);
  EXPECT_TRUE(ChunksOf(*s, id).empty());
  EXPECT_EQ(ChunksOf(*s, stored).size(), 4u);
  t->Post();
  EXPECT_TRUE(body.IsNull());
  EXPECT_EQ(ChunkCount(*s), 0);
  // Growing from nothing writes a head.
  t->Edit();
  body.SetBlobSize(3);
  EXPECT_EQ(body.GetAsString(), std::string(3, '\0'));
  t->Post();
  EXPECT_EQ(body.GetAsString(), std::string(3, '\0'));
  t->Edit();
  body.SetBlobSize(0);
  t->Post();
  EXPECT_EQ(ChunkCount(*s), 0);
}

TEST(BlobField, StreamsThatDeliverOtherThanTheyAnnounce) {
  qdf_test::TListFixture fx;
  auto s = OpenDb(fx, true);
  auto t = s->TableByName("docs");
  AddDoc(*t, "a", Bytes(9000, 1));
  TQdfBlobField& body = Blob(*t);
  const std::string v = Bytes(9000, 2);
  t->Edit();
  // Announces 9000, ends after 5000: the blob is those 5000 bytes.
  TScriptedStream short_one(9000, v.substr(0, 5000), 9000);
  body.WriteBlob(short_one);
  const TObjectID id = body.AsID();
  EXPECT_EQ(body.GetAsString(), v.substr(0, 5000));
  EXPECT_EQ(body.BlobSize(), 5000);
  ExpectSound(ChunksOf(*s, id), 5000);
  // Delivers more than announced: only the announced bytes are kept.
  TScriptedStream long_one(100, v, 9000);
  body.WriteBlob(long_one);
  EXPECT_EQ(body.GetAsString(), v.substr(0, 100));
  EXPECT_EQ(ChunksOf(*s, id), (std::vector<TChunk>{{0, 100, 100}}));
  // Small pieces per read still fill whole chunks.
  TScriptedStream trickle(6001, v.substr(0, 6001), 7);
  body.WriteBlob(trickle);
  EXPECT_EQ(body.GetAsString(), v.substr(0, 6001));
  EXPECT_EQ(ChunksOf(*s, id).size(), 4u);
  // Delivers nothing at all: no blob, no chunk of it left.
  TScriptedStream none(300, "", 1);
  body.WriteBlob(none);
  EXPECT_TRUE(body.IsNull());
  EXPECT_EQ(body.BlobSize(), 0);
  EXPECT_TRUE(ChunksOf(*s, id).empty());
  // Too large for 32-bit sizes: refused before anything is written.
  body.SetAsString("kept");
  TScriptedStream huge(int64_t{1} << 32, "", 1);
  EXPECT_EQ(MessageOf([&] { body.WriteBlob(huge); }),
            "Blob of 4294967296 bytes is too large for body: at most 2147483647 bytes fit");
  EXPECT_EQ(body.GetAsString(), "kept");
  t->Post();
  EXPECT_EQ(body.GetAsString(), "kept");
  EXPECT_EQ(ChunkCount(*s), 1);
}

TEST(BlobField, DamagedChunkRunIsReportedAndRewritable) {
  qdf_test::TListFixture fx;
  auto s = OpenDb(fx, true);
  auto t = s->TableByName("docs");
  AddDoc(*t, "a", Bytes(6000, 1));
  TQdfBlobField& body = Blob(*t);
  // Take the middle chunk away behind the field's back.
  TQdfTable& b = *s->BlobTable();
  for (b.First(); b.Cursor().Item() != nullptr; b.Next()) {
    if (static_cast<TQdfIntegerField*>(b.FieldByName("Position"))->AsInteger() == 2000) break;
  }
  b.Delete(false);
  std::string out;
  EXPECT_EQ(MessageOf([&] { body.ReadBlob(out); }),
            "Blob " + std::to_string(body.AsInt64()) +
                " is damaged: chunk at 4000 where 2000 was expected");
  EXPECT_EQ(out, "");
  t->Edit();
  EXPECT_NE(MessageOf([&] { body.SetBlobSize(10); }), "<no error>");
  // A full rewrite replaces the damaged run, whose chunks go with the post.
  body.SetAsString(Bytes(4500, 2));
  EXPECT_EQ(body.GetAsString(), Bytes(4500, 2));
  t->Post();
  EXPECT_EQ(body.GetAsString(), Bytes(4500, 2));
  ExpectSound(ChunksOf(*s, body.AsID()), 4500);
  EXPECT_EQ(ChunkCount(*s), 3);
}

TEST(BlobField, RandomSizesSurviveCommitAndReopen) {
  const int rounds = static_cast<int>(qdf_test::EnvSize("QDF_BLOB_ROUNDS", 6));
  std::mt19937 rng(12345);
  // Mostly small and medium values, now and then up to 1 MB.
  auto random_size = [&]() -> size_t {
    switch (rng() % 4) {
      case 0:
        return rng() % 600;
      case 1:
        return rng() % 4100;
      case 2:
        return rng() % 40000;
      default:
        return rng() % (1u << 20) + 1;
    }
  };
  qdf_test::TListFixture fx;
  auto s = OpenDb(fx, true);
  std::vector<std::string> values(static_cast<size_t>(rounds));
  {
    auto t = s->TableByName("docs");
    for (int i = 0; i < rounds; ++i) {
      // The first one always near the top of the range.
      const size_t n = i == 0 ? (1u << 20) - rng() % 1000 : random_size();
      values[static_cast<size_t>(i)] = Bytes(n, rng());
      AddDoc(*t, std::to_string(i), values[static_cast<size_t>(i)]);
    }
  }
  for (int pass = 0; pass < 3; ++pass) {
    s = Reopen(fx, std::move(s));
    auto t = s->TableByName("docs");
    for (int i = 0; i < rounds; ++i) {
      SCOPED_TRACE("pass " + std::to_string(pass) + " record " + std::to_string(i));
      Find(*t, std::to_string(i));
      std::string& v = values[static_cast<size_t>(i)];
      ASSERT_EQ(Blob(*t).BlobSize(), static_cast<int32_t>(v.size()));
      ASSERT_TRUE(Blob(*t).GetAsString() == v);
      ExpectSound(ChunksOf(*s, Blob(*t).AsID()), v.size());
      // Shorter or longer, then on to the next reopen.
      const size_t n = pass % 2 == 0 ? v.size() / (1 + rng() % 5) : random_size();
      v = Bytes(n, rng());
      t->Edit();
      Blob(*t).SetAsString(v);
      t->Post();
      ASSERT_TRUE(Blob(*t).GetAsString() == v);
    }
  }
}

// Every way an edit or insert can end without a write leaves $BLOB as it
// was: the stored record keeps its bytes, a new record leaves no chunk.
TEST(BlobField, FollowsItsRecordThroughPostAndCancel) {
  struct TEnding {
    const char* name;
    std::function<void(std::unique_ptr<TQdfTable>&)> end;
  };
  const std::vector<TEnding> endings = {
      {"Cancel", [](std::unique_ptr<TQdfTable>& t) { t->Cancel(); }},
      {"moving on", [](std::unique_ptr<TQdfTable>& t) { t->First(); }},
      {"another insert",
       [](std::unique_ptr<TQdfTable>& t) {
         t->Insert();  // ends the edit; the new one writes nothing
         t->Cancel();
       }},
      {"a post that fails",
       [](std::unique_ptr<TQdfTable>& t) {
         t->FieldByName("name")->SetAsString("b");  // taken: the unique index refuses it
         EXPECT_NE(MessageOf([&] { t->Post(); }), "<no error>");
       }},
      {"a post refused after the write",
       [](std::unique_ptr<TQdfTable>& t) {
         // A listener after the blob fields (an index of another parent, say)
         // fails once the record is written: the write is taken back.
         static const int kRefuser = 0;
         t->Events().Add(&kRefuser).after_post = [](TQdfPersistentObject*, void*) {
           throw EQdfException("refused");
         };
         EXPECT_EQ(MessageOf([&] { t->Post(); }), "refused");
         t->Events().Remove(&kRefuser);
       }},
      {"freeing the table", [](std::unique_ptr<TQdfTable>& t) { t.reset(); }}};
  for (const TEnding& ending : endings) {
    for (const bool inserting : {false, true}) {
      SCOPED_TRACE(std::string(ending.name) + (inserting ? " of an insert" : " of an edit"));
      qdf_test::TListFixture fx;
      auto s = OpenDb(fx, true);
      {
        auto t = s->TableByName("docs");
        ASSERT_NE(t->CreateIndex("byname", "name", true, nullptr, true, ""), nullptr);
      }
      auto t = s->TableByName("docs");
      AddDoc(*t, "a", Bytes(5000, 1));
      AddDoc(*t, "b", Bytes(300, 2));
      Find(*t, "a");
      const TObjectID a = Blob(*t).AsID();
      if (inserting) {
        t->Insert();
        t->FieldByName("name")->SetAsString("c");
      } else {
        t->Edit();
      }
      Blob(*t).SetAsString(Bytes(9000, 3));
      Blob(*t, "note").SetAsString(Bytes(100, 4));
      Blob(*t).SetAsString(Bytes(4500, 5));  // a rewrite within the edit
      ending.end(t);
      if (t == nullptr) t = s->TableByName("docs");
      EXPECT_EQ(t->State(), kModeBrowse);
      EXPECT_EQ(ChunkCount(*s), 3 + 1);
      EXPECT_EQ(ChunksOf(*s, a).size(), 3u);
      Find(*t, "a");
      EXPECT_EQ(Blob(*t).AsID(), a);
      EXPECT_EQ(Blob(*t).GetAsString(), Bytes(5000, 1));
      EXPECT_TRUE(Blob(*t, "note").IsNull());
    }
  }
  // A post keeps the new bytes and frees the old ones, across a reopen.
  qdf_test::TListFixture fx;
  auto s = OpenDb(fx, true);
  {
    auto t = s->TableByName("docs");
    AddDoc(*t, "a", Bytes(5000, 1));
    t->Edit();
    Blob(*t).SetAsString(Bytes(2500, 2));
    t->Post();
  }
  s = Reopen(fx, std::move(s));
  auto t = s->TableByName("docs");
  Find(*t, "a");
  EXPECT_EQ(Blob(*t).GetAsString(), Bytes(2500, 2));
  EXPECT_EQ(ChunkCount(*s), 1);
}

// A record is posted with a blob of its own: an ID taken from another
// record (a row copied field by field) becomes a copy of that blob.
TEST(BlobField, RecordGivenAnotherRecordsBlobGetsACopy) {
  qdf_test::TListFixture fx;
  auto s = OpenDb(fx, true);
  auto t = s->TableByName("docs");
  AddDoc(*t, "a", Bytes(6000, 1));
  const TObjectID a = Blob(*t).AsID();
  AddDoc(*t, "b", Bytes(50, 2));
  const TObjectID b = Blob(*t).AsID();
  // Copied as a row is copied: the stored bytes of the field.
  t->Insert();
  t->FieldByName("name")->SetAsString("copy");
  Blob(*t).SetAsID(a);
  Blob(*t, "note").SetAsID(a);
  t->Post();
  const TObjectID copy = Blob(*t).AsID();
  EXPECT_NE(copy, a);
  EXPECT_NE(Blob(*t, "note").AsID(), a);
  EXPECT_NE(Blob(*t, "note").AsID(), copy);
  EXPECT_EQ(Blob(*t).GetAsString(), Bytes(6000, 1));
  ExpectSound(ChunksOf(*s, copy), 6000);
  // Deleting the original leaves the copy whole.
  Find(*t, "a");
  t->Delete(false);
  EXPECT_TRUE(ChunksOf(*s, a).empty());
  Find(*t, "copy");
  EXPECT_EQ(Blob(*t).GetAsString(), Bytes(6000, 1));
  EXPECT_EQ(Blob(*t, "note").GetAsString(), Bytes(6000, 1));
  // An edit that takes another record's blob: a copy, and its own old blob
  // goes with the post.
  t->Edit();
  Blob(*t).SetAsID(b);
  t->Post();
  EXPECT_NE(Blob(*t).AsID(), b);
  EXPECT_EQ(Blob(*t).GetAsString(), Bytes(50, 2));
  EXPECT_TRUE(ChunksOf(*s, copy).empty());
  Find(*t, "b");
  EXPECT_EQ(Blob(*t).GetAsString(), Bytes(50, 2));
  EXPECT_EQ(ChunkCount(*s), 1 + 1 + 3);
  // Assign of a field that holds the source's very ID splits it off too.
  t->Edit();
  Blob(*t, "note").SetAsID(Blob(*t).AsID());
  Blob(*t, "note").Assign(Blob(*t));
  t->Post();
  EXPECT_NE(Blob(*t, "note").AsID(), Blob(*t).AsID());
  EXPECT_EQ(Blob(*t, "note").GetAsString(), Bytes(50, 2));
}

// A blob field of a subclass follows its records as well, and a base-class
// post leaves the subclass's field alone.
TEST(BlobField, SubclassBlobsFollowTheirRecords) {
  qdf_test::TListFixture fx;
  auto s = OpenDb(fx, true);
  s->PushParent(s->ChildByName("TDoc"));
  s->CreateSchemaObject("TQdfItemClass", "TBig", false);
  s->CreateSchemaObject("TQdfBlobField", "extra", true);
  s->PopUntil(nullptr);
  s->StoreModified();
  auto t = s->TableByName("docs");
  TQdfItemClass* big = t->ItemClass()->ClassByName("TBig");
  ASSERT_NE(big, nullptr);
  auto& extra = static_cast<TQdfBlobField&>(*big->FieldByName("extra"));
  t->Insert(big);
  big->FieldByName("name")->SetAsString("big");
  extra.SetAsString(Bytes(4500, 1));
  t->Post();
  const TObjectID first = extra.AsID();
  AddDoc(*t, "plain", Bytes(10, 2));
  EXPECT_EQ(ChunkCount(*s), 3 + 1);
  Find(*t, "big");
  t->Edit();
  extra.SetAsString(Bytes(100, 3));
  t->Post();
  EXPECT_TRUE(ChunksOf(*s, first).empty());
  EXPECT_EQ(ChunkCount(*s), 1 + 1);
  t->Delete(false);
  EXPECT_EQ(ChunkCount(*s), 1);
}

// Dropping a blob field, then a table, deletes the chunks of the blobs
// their records name; other fields and tables keep theirs.
TEST(BlobField, DroppingFieldOrTableDeletesItsBlobs) {
  qdf_test::TListFixture fx;
  auto s = OpenDb(fx, true);
  s->CreateSchemaObject("TQdfTable", "keep", false)->SetProperties("BaseStructureName=TDoc");
  s->PopUntil(nullptr);
  {
    auto t = s->TableByName("docs");
    for (int i = 0; i < 3; ++i) {
      t->Insert();
      t->FieldByName("name")->SetAsString("d" + std::to_string(i));
      Blob(*t).SetAsString(Bytes(10, 7));
      if (i < 2) Blob(*t, "note").SetAsString(Bytes(9000 - i * 8990, i));
      t->Post();
    }
    auto k = s->TableByName("keep");
    AddDoc(*k, "k", Bytes(4500, 3));
  }
  s = Reopen(fx, std::move(s));
  EXPECT_EQ(ChunkCount(*s), 3 + 5 + 1 + 3);
  s->Execute("drop TDoc.note");
  EXPECT_EQ(ChunkCount(*s), 3 + 3);
  s = Reopen(fx, std::move(s));
  {
    auto t = s->TableByName("docs");
    EXPECT_EQ(t->ItemClass()->FieldByName("note"), nullptr);
    Find(*t, "d1");
    EXPECT_EQ(Blob(*t).GetAsString(), Bytes(10, 7));
  }
  s->Execute("drop docs");
  EXPECT_EQ(ChunkCount(*s), 3);
  s = Reopen(fx, std::move(s));
  auto k = s->TableByName("keep");
  Find(*k, "k");
  EXPECT_EQ(Blob(*k).GetAsString(), Bytes(4500, 3));
}

}  // namespace
}  // namespace qdf
