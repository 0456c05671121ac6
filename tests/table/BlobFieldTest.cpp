// Blob fields: chunk layout in $BLOB, rewrites, resizing, short streams,
// blobs that follow their record's post, cancel, copy, deletion and drop,
// and values that survive commit, reopen and rollback.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <map>
#include <random>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "EnvSize.h"
#include "ErrorText.h"
#include "base/QdfException.h"
#include "list/ItemList.h"
#include "list/ListTestUtil.h"
#include "query/QueryTestUtil.h"
#include "record/ItemClass.h"
#include "storage/Storage.h"
#include "table/BlobField.h"
#include "table/Table.h"

namespace qdf {
namespace {

using qdf_test::AddDoc;
using qdf_test::MessageOf;

struct TChunk {
  int32_t position;
  int32_t length;
  int32_t blob_size;  // -1 for a TBlobClassNode
  bool operator==(const TChunk&) const = default;
};

// TDoc (name: char, body, note: blob) in the table docs.
void BuildDocs(TQdfStorage& s) { qdf_test::BuildDocs(s, {"docs"}, "", true); }

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

// Positions `t` on the record named `name`.
void Find(TQdfTable& t, const std::string& name) {
  for (t.First(); t.Cursor().Item() != nullptr; t.Next()) {
    if (t.FieldByName("name")->GetAsString() == name) return;
  }
  FAIL() << "no record " << name;
}

// The chunks of every blob, read straight from $BLOB in physical order and
// sorted by position.
std::map<TObjectID, std::vector<TChunk>> AllChunks(TQdfStorage& s) {
  TQdfTable& b = *s.BlobTable();
  TQdfItemClass* head = b.ItemClass()->ClassByName("TBlobClass");
  std::map<TObjectID, std::vector<TChunk>> out;
  b.SetCurrentIndex(nullptr);
  for (b.First(); b.Cursor().Item() != nullptr; b.Next()) {
    const bool is_head = head->IsKindOfClass(b.CursorClass());
    out[static_cast<TQdfObjectIDField*>(b.FieldByName("BlobID"))->AsID()].push_back(
        {static_cast<TQdfIntegerField*>(b.FieldByName("Position"))->AsInteger(),
         static_cast<int32_t>(b.FieldByName("Data")->GetAsString().size()),
         is_head ? static_cast<TQdfIntegerField*>(head->FieldByName("BlobSize"))->AsInteger()
                 : -1});
  }
  for (auto& [id, chunks] : out) {
    std::sort(chunks.begin(), chunks.end(),
              [](const TChunk& a, const TChunk& c) { return a.position < c.position; });
  }
  return out;
}

std::vector<TChunk> ChunksOf(TQdfStorage& s, const TObjectID& id) { return AllChunks(s)[id]; }

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

// Announces `size` bytes, delivers `deliver` (which outlives it), `step`
// at a time.
class TScriptedStream : public TBlobMemoryStream {
 public:
  TScriptedStream(int64_t size, std::string_view deliver, int step)
      : TBlobMemoryStream(deliver), size_(size), step_(step) {}
  int64_t Size() const override { return size_; }
  int Read(uint8_t* dest, int count) override {
    return TBlobMemoryStream::Read(dest, std::min(count, step_));
  }

 private:
  int64_t size_;
  int step_;
};

// The chunk layout of one blob through a run of writes and resizes: a fresh
// value up to 4000 bytes is one chunk, a longer one 2000-byte chunks;
// rewrites in the same edit reuse the chunks there (a short one grows to 512
// first); a resize fills the last chunk (a lone head to 4000) before adding
// chunks, and the first resize of an edit works on a copy. A damaged run.
TEST(BlobField, ChunkLayoutOfWritesResizesAndADamagedRun) {
  struct TStep {
    bool new_edit;  // post, then edit again before this step
    bool resize;    // SetBlobSize instead of a write
    int32_t size;
    std::vector<TChunk> chunks;
  };
  const std::vector<TStep> steps = {
      {false, false, 4001, {{0, 2000, 4001}, {2000, 2000, -1}, {4000, 1, -1}}},
      {false, false, 6000, {{0, 2000, 6000}, {2000, 2000, -1}, {4000, 512, -1}, {4512, 1488, -1}}},
      {false, false, 100, {{0, 100, 100}}},
      {false, false, 3000, {{0, 512, 3000}, {512, 2488, -1}}},
      {false, true, 10, {{0, 10, 10}}},
      {false, true, 4500, {{0, 4000, 4500}, {4000, 500, -1}}},
      {true, true, 3001, {{0, 3001, 3001}}}};
  qdf_test::TListFixture fx;
  auto s = OpenDb(fx, true);
  auto t = s->TableByName("docs");
  TQdfBlobField& body = Blob(*t);
  std::string v = Bytes(4000, 1);
  AddDoc(*t, "a", v);
  EXPECT_EQ(ChunksOf(*s, body.AsID()), (std::vector<TChunk>{{0, 4000, 4000}}));
  t->Edit();
  for (const TStep& step : steps) {
    SCOPED_TRACE(std::to_string(step.size) + (step.resize ? " resized" : " written"));
    if (step.new_edit) {
      t->Post();
      t->Edit();
    }
    if (step.resize) {
      v.resize(static_cast<size_t>(step.size), '\0');
      body.SetBlobSize(step.size);
    } else {
      v = Bytes(static_cast<size_t>(step.size), static_cast<uint32_t>(step.size));
      body.SetAsString(v);
    }
    EXPECT_EQ(ChunksOf(*s, body.AsID()), step.chunks);
    EXPECT_TRUE(body.GetAsString() == v);
  }
  t->Post();
  EXPECT_EQ(ChunkCount(*s), 1);

  // A chunk taken away behind the field's back: reads report the damage, a
  // resize refuses, a full rewrite replaces the run, whose chunks go with
  // the post.
  AddDoc(*t, "b", Bytes(6000, 1));
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
  body.SetAsString(Bytes(4500, 2));
  EXPECT_EQ(body.GetAsString(), Bytes(4500, 2));
  t->Post();
  EXPECT_EQ(body.GetAsString(), Bytes(4500, 2));
  ExpectSound(ChunksOf(*s, body.AsID()), 4500);
  EXPECT_EQ(ChunkCount(*s), 1 + 3);
}

// Operations drawn at random against a model of each record's two values
// (empty: null): writes, resizes, streams that deliver other than they
// announce, clears, and another record's or field's blob taken over, in
// inserts and edits that end in a post, a cancel, a move, a failed post, a
// refusal after the write or the table freed; writes outside an edit,
// deletes through either of two working instances, emptying the table, and
// reopens. After every step each value reads back, its chunks are sound, no
// two fields share a blob, and $BLOB holds the chunks of the records' blobs
// and nothing else.
TEST(BlobField, RandomOperationsMatchAModel) {
  const int steps = static_cast<int>(qdf_test::EnvSize("QDF_BLOB_STEPS", 150));
  std::mt19937 rng(2024);
  auto random_size = [&]() -> size_t {
    static const size_t kBounds[] = {0, 600, 4100, 9000, 40000};  // 0: empty
    const size_t bound = kBounds[rng() % 5];
    return bound == 0 ? 0 : rng() % bound;
  };
  const char* const kFields[] = {"body", "note"};
  qdf_test::TListFixture fx;
  auto s = OpenDb(fx, true);
  ASSERT_NE(s->TableByName("docs")->CreateIndex("byname", "name", true, nullptr, true, ""),
            nullptr);
  auto t = s->TableByName("docs");
  auto other = s->TableByName("docs");
  std::map<std::string, std::array<std::string, 2>> model;
  // One value near the top of the sizes, kept throughout.
  model["big"] = {Bytes((1u << 20) - rng() % 1000, rng()), ""};
  AddDoc(*t, "big", model["big"][0]);
  int next_name = 0;
  auto random_record = [&] {
    auto it = model.begin();
    std::advance(it, static_cast<long>(rng() % model.size()));
    return it;
  };
  auto check = [&] {
    ASSERT_EQ(t->State(), kModeBrowse);
    ASSERT_EQ(t->Count(), static_cast<int64_t>(model.size()));
    std::map<TObjectID, std::vector<TChunk>> chunks = AllChunks(*s);
    std::set<TObjectID> ids;
    for (t->First(); t->Cursor().Item() != nullptr; t->Next()) {
      const std::string name = t->FieldByName("name")->GetAsString();
      ASSERT_EQ(model.count(name), 1u) << name;
      for (int f = 0; f < 2; ++f) {
        SCOPED_TRACE(name + "." + kFields[f]);
        TQdfBlobField& b = Blob(*t, kFields[f]);
        const std::string& v = model[name][static_cast<size_t>(f)];
        ASSERT_EQ(b.IsNull(), v.empty());
        ASSERT_EQ(b.BlobSize(), static_cast<int32_t>(v.size()));
        ASSERT_TRUE(b.GetAsString() == v);
        if (v.empty()) continue;
        ASSERT_TRUE(ids.insert(b.AsID()).second) << "a blob of two fields";
        ExpectSound(chunks[b.AsID()], v.size());
      }
    }
    for (const auto& [id, c] : chunks) EXPECT_EQ(ids.count(id), 1u) << "chunks of no record";
  };
  for (int step = 0; step < steps && !HasFailure(); ++step) {
    const int op = static_cast<int>(rng() % 16);
    SCOPED_TRACE("step " + std::to_string(step) + " op " + std::to_string(op));
    if (op < 10) {
      const bool inserting = model.size() < 12 && (model.size() < 2 || rng() % 3 == 0);
      std::string name;
      std::array<std::string, 2> values{};
      if (inserting) {
        name = "r" + std::to_string(next_name++);
        t->Insert();
        t->FieldByName("name")->SetAsString(name);
      } else {
        name = random_record()->first;
        Find(*t, name);
        values = model[name];
        t->Edit();
      }
      for (int w = static_cast<int>(rng() % 3); w >= 0; --w) {
        const size_t f = rng() % 2;
        TQdfBlobField& b = Blob(*t, kFields[f]);
        std::string& v = values[f];
        switch (rng() % 6) {
          case 0:
            v = Bytes(random_size(), rng());
            b.SetAsString(v);
            break;
          case 1:
            v.resize(random_size(), '\0');
            b.SetBlobSize(static_cast<int32_t>(v.size()));
            break;
          case 2:
            b.ClearBlob();
            v.clear();
            break;
          case 3: {
            // Delivered in small pieces or at once.
            const size_t announced = random_size();
            const std::string bytes = Bytes(random_size(), rng());
            TScriptedStream stream(static_cast<int64_t>(announced), bytes,
                                   rng() % 2 == 0 ? 7 : 1 << 20);
            b.WriteBlob(stream);
            v = bytes.substr(0, announced);
            break;
          }
          case 4: {
            // The ID of a stored record's blob, as a row copied field by
            // field holds it: the record gets a copy at the post.
            const auto source = random_record();
            const size_t g = rng() % 2;
            Find(*other, source->first);
            b.SetAsID(Blob(*other, kFields[g]).AsID());
            v = source->second[g];
            break;
          }
          default:
            // The other field's value, now and then after taking its very ID.
            if (rng() % 2 == 0) b.SetAsID(Blob(*t, kFields[1 - f]).AsID());
            b.Assign(Blob(*t, kFields[1 - f]));
            v = values[1 - f];
            break;
        }
        // Within the edit the field reads what was written.
        ASSERT_EQ(b.IsNull(), v.empty());
        ASSERT_TRUE(b.GetAsString() == v);
      }
      switch (rng() % 9) {
        case 0:
          t->Cancel();
          break;
        case 1:
          t->First();
          break;
        case 2:
          t.reset();
          t = s->TableByName("docs");
          break;
        case 3: {
          // The unique index refuses a name that is taken ("big" sorts first).
          if (name == "big" && model.size() < 2) {
            t->Cancel();
            break;
          }
          t->FieldByName("name")->SetAsString(name == "big" ? std::next(model.begin())->first
                                                            : "big");
          EXPECT_NE(MessageOf([&] { t->Post(); }), "<no error>");
          break;
        }
        case 4: {
          // A listener after the blob fields fails once the record is
          // written: the write is taken back.
          static const int kRefuser = 0;
          t->Events().Add(&kRefuser).after_post = [](TQdfPersistentObject*, void*) {
            throw EQdfException("refused");
          };
          EXPECT_EQ(MessageOf([&] { t->Post(); }), "refused");
          t->Events().Remove(&kRefuser);
          break;
        }
        default:
          t->Post();
          model[name] = values;
      }
    } else if (op < 12) {
      const auto victim = random_record();
      if (victim->first == "big") continue;
      TQdfTable& x = op == 10 ? *t : *other;
      Find(x, victim->first);
      x.Delete(false);
      model.erase(victim);
    } else if (op == 12) {
      // Writes outside an edit are refused and change nothing.
      Find(*t, random_record()->first);
      TQdfBlobField& b = Blob(*t, kFields[rng() % 2]);
      EXPECT_EQ(MessageOf([&] { b.SetAsString("x"); }), "Cannot edit");
      EXPECT_EQ(MessageOf([&] { b.SetBlobSize(5); }), "Cannot edit");
      EXPECT_EQ(MessageOf([&] { b.ClearBlob(); }), "Cannot edit");
      // Too large for 32-bit sizes: refused before anything is written.
      t->Edit();
      TScriptedStream huge(int64_t{1} << 32, "", 1);
      EXPECT_EQ(MessageOf([&] { b.WriteBlob(huge); }),
                "Blob of 4294967296 bytes is too large for " + b.ObjectName() +
                    ": at most 2147483647 bytes fit");
      t->Post();
    } else if (op == 13 && rng() % 4 == 0) {
      t->ClearPages();
      model.clear();
      model["big"] = {Bytes(5000, rng()), ""};
      AddDoc(*t, "big", model["big"][0]);
    } else {
      t.reset();
      other.reset();
      s = Reopen(fx, std::move(s));
      t = s->TableByName("docs");
      other = s->TableByName("docs");
    }
    check();
  }
}

// A database without $BLOB: reads are empty, writes refuse and keep the
// field as it was.
TEST(BlobField, DatabaseWithoutBlobTable) {
  qdf_test::TListFixture bare;
  auto root = bare.CreateStorage();
  BuildDocs(*root);
  ASSERT_EQ(root->BlobTable(), nullptr);
  auto d = root->TableByName("docs");
  d->Insert();
  EXPECT_EQ(MessageOf([&] { Blob(*d).SetAsString("lost?"); }),
            "Cannot write blob body: the database has no $BLOB table");
  EXPECT_TRUE(Blob(*d).IsNull());
  Blob(*d).SetAsInt64(77);
  std::string out = "stale";
  Blob(*d).ReadBlob(out);
  EXPECT_EQ(out, "");
  EXPECT_EQ(Blob(*d).BlobSize(), 0);
  Blob(*d).ClearBlob();  // nothing to delete
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
