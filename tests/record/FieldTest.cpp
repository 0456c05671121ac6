// Fields: stored encodings, edit mode, the record class filter, damaged
// records, text and variant conversions, Assign and the reference flag.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <iterator>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include "ErrorText.h"
#include "base/BaseTestUtil.h"
#include "base/Bytes.h"
#include "base/PackedItem.h"
#include "base/QdfException.h"
#include "object/FakeObjectStore.h"
#include "record/Fields.h"

namespace qdf {
namespace {

using qdf_test::Bytes;

// A record item: 13-byte prefix (length, flags 0, class address, version)
// and a packed body with the given fields (empty = absent).
Bytes Record(const std::vector<Bytes>& fields, TItemAdr class_adr = {7, 1}) {
  Bytes item = qdf_test::PackedBytes(fields, 13);
  StoreU16(item.data(), static_cast<uint16_t>(item.size()));
  StoreAdr(item.data() + 3, class_adr);
  return item;
}

Bytes Le32(int32_t v) { return qdf_test::Le32(static_cast<uint32_t>(v)); }
using qdf_test::TextBytes;

Bytes Data(TQdfField& f) {
  int length;
  const uint8_t* p = f.GetData(&length);
  return p ? Bytes(p, p + length) : Bytes();
}

// A cursor over one record held in memory.
struct TCursor {
  explicit TCursor(Bytes rec = Record({}), int mode = kModeBrowse) : record(std::move(rec)) {
    Show();
    cursor.mode = mode;
  }
  void Show() { cursor.Fill(record.data()); }
  void Set(Bytes rec) {
    record = std::move(rec);
    Show();
  }
  Bytes record;
  TQdfItemProvider cursor{nullptr, 13};
};

// A field of type T on the cursor's record.
template <typename T>
std::unique_ptr<T> NewField(TCursor& c, int field_index = 0) {
  std::unique_ptr<TQdfPersistentObject> o = TQdfPersistentObject::Create(T::kClassInfo, nullptr);
  auto field = std::unique_ptr<T>(static_cast<T*>(o.release()));
  field->FieldHeader()->SetFieldIndex(field_index);
  field->SetProvider(&c.cursor);
  return field;
}

TEST(FieldTest, SettersNeedEditModeAndBooleansAreStoredAsOneOrTwoBytes) {
  TCursor c(Record({Le32(4)}));
  auto i = NewField<TQdfIntegerField>(c);
  EXPECT_QDF_ERROR(i->SetAsString("5"), "Cannot edit");
  EXPECT_QDF_ERROR(i->Clear(), "Dataset not in Edit Mode");
  EXPECT_EQ(i->AsInteger(), 4);

  // In edit mode the value lives in the field, loaded with SetData.
  int length;
  const uint8_t* stored = c.cursor.Field(0, &length);
  i->SetData(stored, length);
  c.cursor.mode = kModeEdit;
  EXPECT_FALSE(i->Modified());
  i->SetAsInteger(-7);
  EXPECT_TRUE(i->Modified());
  EXPECT_EQ(Data(*i), Le32(-7));
  EXPECT_EQ(LoadU32(c.record.data() + 13 + 4), 4u);  // the record is untouched

  // A boolean is stored as one byte; two are read too.
  auto b = NewField<TQdfBooleanField>(c);
  const uint8_t two_true[] = {0x00, 0x01};
  b->SetData(two_true, 2);
  EXPECT_TRUE(b->AsBoolean());
  EXPECT_EQ(Data(*b), Bytes{1});
  const uint8_t three[] = {1, 1, 1};
  EXPECT_QDF_ERROR(b->SetData(three, 3), "Invalid Field Size");
  EXPECT_EQ(Data(*b), Bytes{1});

  // Browse mode decodes the record's bytes with the same rule.
  c.cursor.mode = kModeBrowse;
  c.Set(Record({Bytes{0x00, 0x01}}));
  EXPECT_EQ(b->GetAsString(), "True");
  c.Set(Record({Bytes{1, 1, 1}}));
  EXPECT_THROW(b->AsBoolean(), EQdfException);
}

TEST(FieldTest, CharTextNeverReadsPastItsStoredLength) {
  TCursor c;
  auto s = NewField<TQdfCharField>(c);
  // Exactly three bytes on the heap, no zero byte: the sanitizer sees any
  // read beyond them.
  auto damaged = std::make_unique<uint8_t[]>(3);
  std::memcpy(damaged.get(), "abc", 3);
  s->SetData(damaged.get(), 3);
  c.cursor.mode = kModeEdit;
  EXPECT_EQ(s->AsString(), "abc");
  EXPECT_EQ(Data(*s), TextBytes("abc"));
  // A zero byte ends the text; what follows it is dropped.
  const uint8_t embedded[] = {'a', 0, 'b', 0};
  s->SetData(embedded, 4);
  EXPECT_EQ(Data(*s), TextBytes("a"));
  // A zero byte in a text to store is refused rather than cut there.
  s->SetAsString("keep");
  for (const std::string& text : {std::string("x\0y", 3), std::string("\0", 1)}) {
    EXPECT_THROW(s->SetAsString(text), EQdfException);
    EXPECT_EQ(s->AsString(), "keep");
  }

  // Browse mode: a field without its zero byte ends at the field's end, not
  // in the next field.
  c.cursor.mode = kModeBrowse;
  c.Set(Record({Bytes{'a', 'b'}, TextBytes("cd")}));
  EXPECT_EQ(s->AsString(), "ab");
}

TEST(FieldTest, DamagedRecordsRaiseAndTheClassFilterHidesRecordsOfOtherClasses) {
  // The body claims a field that ends beyond the record's length word.
  TCursor c(Record({Le32(1), Le32(2)}));
  StoreU16(c.record.data(), static_cast<uint16_t>(c.record.size() - 4));
  c.Show();
  auto first = NewField<TQdfIntegerField>(c);
  auto second = NewField<TQdfIntegerField>(c, 1);
  EXPECT_EQ(first->AsInteger(), 1);
  EXPECT_THROW(second->AsInteger(), EQdfException);
  // A stored value of the wrong size for its type (a damaged record, or one
  // written under another schema) is an error of the engine, no assertion.
  c.Set(Record({Bytes{1, 2, 3}}));
  EXPECT_QDF_ERROR(first->AsInteger(), "Invalid Field Size");
  const uint8_t three[] = {1, 2, 3};
  EXPECT_QDF_ERROR(first->SetData(three, 3), "Invalid Field Size");

  // The class filter passes records whose class address (prefix bytes 3-8)
  // is 7:1; any object stands in for the class.
  first->SetItemClass(first.get(), [](const TQdfPersistentObject*, const uint8_t* record) {
    return LoadAdr(record + 3) == TItemAdr{7, 1};
  });
  c.Set(Record({Le32(1)}, TItemAdr{7, 1}));
  EXPECT_EQ(first->AsInteger(), 1);
  c.Set(Record({Le32(2)}, TItemAdr{8, 0}));
  EXPECT_TRUE(first->IsNull());
}

// Texts set and read back; a refused text (back == nullptr) raises and
// leaves the field with the value of the row before.
TEST(FieldTest, TextConversions) {
  struct Case {
    const TClassInfo* info;
    const char* text;
    const char* back;
  };
  const TClassInfo* const b = &TQdfBooleanField::kClassInfo;
  const TClassInfo* const i = &TQdfIntegerField::kClassInfo;
  const TClassInfo* const f = &TQdfFloatField::kClassInfo;
  const TClassInfo* const d = &TQdfDateTimeField::kClassInfo;
  const TClassInfo* const r = &TQdfShortReferenceField::kClassInfo;
  const Case cases[] = {
      {b, "yes", "True"},
      {b, "No", "False"},
      {b, "maybe", nullptr},
      {b, " yes", nullptr},
      {b, "2", nullptr},
      {b, "on", nullptr},
      {i, "-2147483648", "-2147483648"},
      {i, "2147483648", nullptr},
      {i, "12x", nullptr},
      {f, "1.5", "1.5"},
      {f, "1,5", nullptr},
      // Before day 0 the time counts away from zero.
      {d, "1899-12-29 06:00:00", "1899-12-29 06:00:00"},
      {d, "2024-02-29 13:45:10.250", "2024-02-29 13:45:10.250"},
      {d, "0001-01-01 00:00:00", "0001-01-01 00:00:00"},
      {d, "12:00", "1899-12-30 12:00:00"},
      {d, "2023-02-29", nullptr},
      {d, "2024-01-01 24:00", nullptr},
      {d, "2024-01-01x", nullptr},
      {r, "(4294967295:65535)", "(4294967295:65535)"},
      {r, "7-3", nullptr},
  };
  TCursor c(Record({}), kModeEdit);
  std::unique_ptr<TQdfPersistentObject> made;
  std::string last;
  for (const Case& k : cases) {
    SCOPED_TRACE(std::string(k.info->name) + " '" + k.text + "'");
    if (made == nullptr || made->ClassInfo() != k.info) {
      made = TQdfPersistentObject::Create(*k.info, nullptr);
    }
    auto* field = static_cast<TQdfField*>(made.get());
    field->SetProvider(&c.cursor);
    if (k.back == nullptr) {
      EXPECT_THROW(field->SetAsString(k.text), Exception);
    } else {
      field->SetAsString(k.text);
      last = k.back;
    }
    EXPECT_EQ(field->GetAsString(), last);
  }
  auto boolean = NewField<TQdfBooleanField>(c);
  EXPECT_QDF_ERROR(
      boolean->SetAsString("maybe"),
      "Field  cannot take 'maybe': a boolean field takes True, False, Yes, No, 1 or 0");

  // NaN and infinities have no place in a key order: every setter of a float
  // or date-time field refuses them, and the field keeps its value.
  auto fl = NewField<TQdfFloatField>(c);
  auto dt = NewField<TQdfDateTimeField>(c);
  const double inf = std::numeric_limits<double>::infinity();
  const double nan = std::numeric_limits<double>::quiet_NaN();
  for (TQdfFloatField* field : {fl.get(), static_cast<TQdfFloatField*>(dt.get())}) {
    const std::function<void()> setters[] = {
        [&] { field->SetAsFloat(nan); },
        [&] { field->SetAsFloat(-inf); },
        [&] { field->SetAsVariant(TVariant(nan)); },
        [&] { field->SetAsVariant(TVariant(std::string("inf"))); },
        [&] { field->SetAsString("-nan"); },
        [&] { field->SetAsString("1e999"); },
    };
    for (size_t k = 0; k < std::size(setters); ++k) {
      field->SetAsFloat(2.5);
      EXPECT_THROW(setters[k](), Exception) << "setter " << k;
      EXPECT_EQ(field->AsFloat(), 2.5) << "setter " << k;
    }
  }
  EXPECT_QDF_ERROR(fl->SetAsFloat(nan),
                   "Field  cannot take nan: a float field holds finite numbers only");
  dt->SetAsString("1899-12-29 06:00:00");
  EXPECT_EQ(dt->AsDateTime(), -1.25);

  // Object IDs: the stored big-endian bytes read little-endian as text.
  auto id = NewField<TQdfObjectIDField>(c);
  TObjectID big{};
  big[7] = 1;  // ID value 1 in its stored form
  id->SetAsID(big);
  EXPECT_EQ(id->GetAsString(), "72057594037927936");
  EXPECT_THROW(id->SetAsString("x"), EConvertError);
}

TEST(FieldTest, VariantsAndAssignConvertBetweenTypesAndReferenceFlagsFollowPendingEntries) {
  TCursor c(Record({}), kModeEdit);
  auto i = NewField<TQdfIntegerField>(c);
  auto f = NewField<TQdfFloatField>(c);
  auto id = NewField<TQdfObjectIDField>(c);
  auto s = NewField<TQdfCharField>(c);
  auto r = NewField<TQdfReferenceField>(c);
  auto r2 = NewField<TQdfShortReferenceField>(c);
  i->SetAsVariant(TVariant(2.5));
  EXPECT_EQ(i->GetAsVariant(), TVariant(int32_t{2}));  // half to even
  EXPECT_THROW(i->SetAsVariant(TVariant(1e10)), EConvertError);
  id->SetAsVariant(TVariant(int64_t{1} << 40));
  EXPECT_EQ(id->GetAsVariant(), TVariant(int64_t{1} << 40));

  f->SetAsFloat(3.5);
  i->Assign(*f);
  EXPECT_EQ(i->AsInteger(), 4);
  s->Assign(*i);  // through text
  EXPECT_EQ(s->AsString(), "4");
  // References go through their text form, which must read back.
  r2->SetAsAddress({12, 34});
  r->Assign(*r2);
  EXPECT_EQ(r->AsAddress(), (TItemAdr{12, 34}));
  // A null source makes the target null.
  f->Clear();
  s->Assign(*f);
  EXPECT_TRUE(s->IsNull());

  // The flag byte of a reference follows pending update entries; without a
  // hook there is never one.
  struct HookReset {
    ~HookReset() { TQdfReferenceField::SetPendingEntryHook(nullptr); }
  } reset;
  static TItemAdr asked;
  qdf_test::TFakeObjectStore store;
  r->SetAsAddress({5, 6});
  EXPECT_EQ(r->Flag(), 0);
  EXPECT_EQ(Data(*r).size(), 6u);

  TQdfReferenceField::SetPendingEntryHook([](TQdfObjectStore*, const TItemAdr& adr) {
    asked = adr;
    return adr.page == 5;
  });
  r->SetStorage(&store);
  r->SetAsAddress({5, 7});
  EXPECT_EQ(asked, (TItemAdr{5, 7}));
  EXPECT_EQ(r->Flag(), 1);
  EXPECT_EQ(Data(*r), (Bytes{5, 0, 0, 0, 7, 0, 1}));
  r->SetAsAddress({6, 7});
  EXPECT_EQ(r->Flag(), 0);

  // Loading: a 7-byte value brings its flag, a 6-byte value none. Other
  // flag bits stay when bit 0 is recomputed.
  const uint8_t stored[7] = {1, 0, 0, 0, 2, 0, 0x82};
  r->SetData(stored, 7);
  EXPECT_EQ(r->Flag(), 0x82);
  EXPECT_EQ(r->AsAddress(), (TItemAdr{1, 2}));
  r->SetAsAddress({5, 1});
  EXPECT_EQ(r->Flag(), 0x83);
  r->SetData(stored, 6);
  EXPECT_EQ(r->Flag(), 0);
  r->SetStorage(nullptr);
}

}  // namespace
}  // namespace qdf
