// Fields: stored encodings and null rules, browse and edit modes, the record
// class filter, text and variant conversions, Assign and the reference flag.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <iterator>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include "ErrorText.h"
#include "base/Bytes.h"
#include "base/PackedItem.h"
#include "base/QdfException.h"
#include "object/FakeObjectStore.h"
#include "record/Fields.h"
#include "table/BlobField.h"

namespace qdf {
namespace {

using Bytes = std::vector<uint8_t>;

template <typename T>
std::unique_ptr<T> NewField(int field_index) {
  std::unique_ptr<TQdfPersistentObject> o = TQdfPersistentObject::Create(T::kClassInfo, nullptr);
  auto field = std::unique_ptr<T>(static_cast<T*>(o.release()));
  field->FieldHeader()->SetFieldIndex(field_index);
  return field;
}

// A record item: 13-byte prefix (length, flags 0, class address, version)
// and a packed body with the given fields (empty = absent).
Bytes Record(const std::vector<Bytes>& fields, TItemAdr class_adr = {7, 1}) {
  Bytes item(8192, 0);
  StoreAdr(item.data() + 3, class_adr);
  uint8_t* body = item.data() + 13;
  InitPacked(body, static_cast<int>(fields.size()));
  for (size_t i = 0; i < fields.size(); ++i) {
    SetField(body, static_cast<int>(i), static_cast<int>(fields[i].size()), fields[i].data());
  }
  item.resize(static_cast<size_t>(PackedLength(body, 13)));
  StoreU16(item.data(), static_cast<uint16_t>(item.size()));
  return item;
}

Bytes Le32(int32_t v) {
  Bytes b(4);
  StoreU32(b.data(), static_cast<uint32_t>(v));
  return b;
}

Bytes Text(const std::string& s) {
  Bytes b(s.begin(), s.end());
  b.push_back(0);
  return b;
}

Bytes Data(TQdfField& f) {
  int length;
  const uint8_t* p = f.GetData(&length);
  return p ? Bytes(p, p + length) : Bytes();
}

void Attach(TQdfItemProvider* cursor, std::initializer_list<TQdfField*> fields) {
  for (TQdfField* f : fields) f->SetProvider(cursor);
}

// A cursor over one record held in memory.
struct TCursor {
  explicit TCursor(Bytes rec = Record({})) : record(std::move(rec)) { Show(); }
  void Show() { cursor.Fill(record.data()); }
  void Set(Bytes rec) {
    record = std::move(rec);
    Show();
  }
  Bytes record;
  TQdfItemProvider cursor{nullptr, 13};
};

TEST(FieldTest, BrowseModeReadsTheCurrentRecord) {
  TCursor c(Record({Le32(-5), Text("abc"), {}}));
  auto i = NewField<TQdfIntegerField>(0);
  auto s = NewField<TQdfCharField>(1);
  auto absent = NewField<TQdfIntegerField>(2);  // empty packed field
  auto missing = NewField<TQdfCharField>(6);    // record written before the field existed
  auto unplaced = NewField<TQdfIntegerField>(-1);
  Attach(&c.cursor, {i.get(), s.get(), absent.get(), missing.get(), unplaced.get()});
  EXPECT_EQ(i->AsInteger(), -5);
  EXPECT_EQ(s->AsString(), "abc");
  EXPECT_EQ(Data(*s), Text("abc"));
  for (TQdfField* f :
       std::initializer_list<TQdfField*>{absent.get(), missing.get(), unplaced.get()}) {
    EXPECT_TRUE(f->IsNull());
    EXPECT_EQ(f->GetAsString(), "");
    EXPECT_TRUE(f->GetAsVariant().IsNull());
    EXPECT_TRUE(Data(*f).empty());
  }
  EXPECT_EQ(absent->AsInteger(), 0);

  // The next record is read, not a copy of the last.
  c.Set(Record({Le32(9)}));
  EXPECT_EQ(i->AsInteger(), 9);
  EXPECT_TRUE(s->IsNull());
}

TEST(FieldTest, ClassFilterHidesRecordsOfOtherClasses) {
  TCursor c(Record({Le32(1)}, TItemAdr{7, 1}));
  auto f = NewField<TQdfIntegerField>(0);
  f->SetProvider(&c.cursor);
  // Passes records whose class address (prefix bytes 3-8) is 7:1; any
  // object stands in for the class.
  f->SetItemClass(f.get(), [](const TQdfPersistentObject*, const uint8_t* record) {
    return LoadAdr(record + 3) == TItemAdr{7, 1};
  });
  EXPECT_EQ(f->AsInteger(), 1);
  c.Set(Record({Le32(2)}, TItemAdr{8, 0}));
  EXPECT_TRUE(f->IsNull());
}

TEST(FieldTest, SettersNeedEditMode) {
  TCursor c(Record({Le32(4)}));
  auto i = NewField<TQdfIntegerField>(0);
  i->SetProvider(&c.cursor);
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
  // A failed conversion keeps the previous value.
  i->SetAsInteger(3);
  EXPECT_THROW(i->SetAsString("12x"), EConvertError);
  EXPECT_EQ(i->AsInteger(), 3);
}

TEST(FieldTest, BooleanStoredAsOneOrTwoBytes) {
  TCursor c;
  auto b = NewField<TQdfBooleanField>(0);
  b->SetProvider(&c.cursor);
  c.cursor.mode = kModeEdit;
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

// An all-zero ID and an empty text are null, whether set or stored.
TEST(FieldTest, ZeroIDsAndEmptyTextsAreNull) {
  TCursor c;
  c.cursor.mode = kModeEdit;
  auto id = NewField<TQdfObjectIDField>(0);
  auto s = NewField<TQdfCharField>(1);
  Attach(&c.cursor, {id.get(), s.get()});
  id->SetAsInt64(5);
  id->SetAsString("0");
  EXPECT_TRUE(id->IsNull());
  s->SetAsString("x");
  s->SetAsString("");
  EXPECT_TRUE(Data(*s).empty());
  c.cursor.mode = kModeBrowse;
  c.Set(Record({Bytes(8, 0), Bytes{0}}));
  EXPECT_TRUE(id->IsNull());
  EXPECT_TRUE(s->IsNull());
}

TEST(FieldTest, CharTextNeverReadsPastItsStoredLength) {
  TCursor c;
  auto s = NewField<TQdfCharField>(0);
  s->SetProvider(&c.cursor);
  // Exactly three bytes on the heap, no zero byte: the sanitizer sees any
  // read beyond them.
  auto damaged = std::make_unique<uint8_t[]>(3);
  std::memcpy(damaged.get(), "abc", 3);
  s->SetData(damaged.get(), 3);
  c.cursor.mode = kModeEdit;
  EXPECT_EQ(s->AsString(), "abc");
  EXPECT_EQ(Data(*s), Text("abc"));
  // A zero byte ends the text; what follows it is dropped.
  const uint8_t embedded[] = {'a', 0, 'b', 0};
  s->SetData(embedded, 4);
  EXPECT_EQ(Data(*s), Text("a"));
  // A zero byte in a text to store is refused rather than cut there.
  s->SetAsString("keep");
  for (const std::string& text : {std::string("x\0y", 3), std::string("\0", 1)}) {
    EXPECT_THROW(s->SetAsString(text), EQdfException);
    EXPECT_EQ(s->AsString(), "keep");
  }

  // Browse mode: a field without its zero byte ends at the field's end, not
  // in the next field.
  c.cursor.mode = kModeBrowse;
  c.Set(Record({Bytes{'a', 'b'}, Text("cd")}));
  EXPECT_EQ(s->AsString(), "ab");
}

TEST(FieldTest, DamagedRecordsRaiseInsteadOfReadingPastThem) {
  // The body claims a field that ends beyond the record's length word.
  TCursor c(Record({Le32(1), Le32(2)}));
  StoreU16(c.record.data(), static_cast<uint16_t>(c.record.size() - 4));
  c.Show();
  auto first = NewField<TQdfIntegerField>(0);
  auto second = NewField<TQdfIntegerField>(1);
  first->SetProvider(&c.cursor);
  second->SetProvider(&c.cursor);
  EXPECT_EQ(first->AsInteger(), 1);
  EXPECT_THROW(second->AsInteger(), EQdfException);
  // A stored value of the wrong size for its type (a damaged record, or one
  // written under another schema) is an error of the engine, no assertion.
  c.Set(Record({Bytes{1, 2, 3}}));
  EXPECT_QDF_ERROR(first->AsInteger(), "Invalid Field Size");
  const uint8_t three[] = {1, 2, 3};
  EXPECT_QDF_ERROR(first->SetData(three, 3), "Invalid Field Size");
}

TEST(FieldTest, TextConversions) {
  TCursor c;
  c.cursor.mode = kModeEdit;

  auto b = NewField<TQdfBooleanField>(0);
  b->SetProvider(&c.cursor);
  b->SetAsString("yes");
  EXPECT_EQ(b->GetAsString(), "True");
  b->SetAsString("No");
  EXPECT_EQ(b->GetAsString(), "False");
  // Any other word is refused, and the field keeps its value.
  for (const char* word : {"maybe", " yes", "2", "on"}) {
    b->SetAsBoolean(true);
    EXPECT_QDF_ERROR(b->SetAsString(word),
                     std::string("Field  cannot take '") + word +
                         "': a boolean field takes True, False, Yes, No, 1 or 0");
    EXPECT_EQ(b->GetAsString(), "True") << word;
  }

  auto i = NewField<TQdfIntegerField>(0);
  i->SetProvider(&c.cursor);
  i->SetAsString("-2147483648");
  EXPECT_EQ(i->AsInteger(), INT32_MIN);
  EXPECT_THROW(i->SetAsString("2147483648"), EConvertError);

  auto f = NewField<TQdfFloatField>(0);
  f->SetProvider(&c.cursor);
  EXPECT_THROW(f->SetAsString("1,5"), EConvertError);
  // NaN and infinities have no place in a key order: every setter of a float
  // or date-time field refuses them, and the field keeps its value.
  auto d2 = NewField<TQdfDateTimeField>(0);
  d2->SetProvider(&c.cursor);
  const double inf = std::numeric_limits<double>::infinity();
  const double nan = std::numeric_limits<double>::quiet_NaN();
  for (TQdfFloatField* field : {f.get(), static_cast<TQdfFloatField*>(d2.get())}) {
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
  EXPECT_QDF_ERROR(f->SetAsFloat(nan),
                   "Field  cannot take nan: a float field holds finite numbers only");

  auto d = NewField<TQdfDateTimeField>(0);
  d->SetProvider(&c.cursor);
  d->SetAsString("1899-12-29 06:00:00");  // before day 0 the time counts away from zero
  EXPECT_EQ(d->AsDateTime(), -1.25);
  EXPECT_EQ(d->GetAsString(), "1899-12-29 06:00:00");
  for (const char* text : {"2024-02-29 13:45:10.250", "0001-01-01 00:00:00"}) {
    d->SetAsString(text);
    EXPECT_EQ(d->GetAsString(), text);
  }
  d->SetAsString("12:00");
  EXPECT_EQ(d->AsDateTime(), 0.5);
  for (const char* bad : {"2023-02-29", "2024-01-01 24:00", "2024-01-01x"}) {
    EXPECT_THROW(d->SetAsString(bad), EConvertError) << bad;
  }
  EXPECT_EQ(d->AsDateTime(), 0.5);

  // Object IDs: the stored big-endian bytes read little-endian as text.
  auto id = NewField<TQdfObjectIDField>(0);
  id->SetProvider(&c.cursor);
  TObjectID big{};
  big[7] = 1;  // ID value 1 in its stored form
  id->SetAsID(big);
  EXPECT_EQ(id->GetAsString(), "72057594037927936");
  EXPECT_THROW(id->SetAsString("x"), EConvertError);

  auto r = NewField<TQdfShortReferenceField>(0);
  r->SetProvider(&c.cursor);
  r->SetAsString("(4294967295:65535)");
  EXPECT_EQ(r->AsAddress(), (TItemAdr{0xFFFFFFFFu, 0xFFFF}));
  EXPECT_THROW(r->SetAsString("7-3"), EConvertError);
}

TEST(FieldTest, VariantsAndAssignConvertBetweenTypes) {
  TCursor c;
  c.cursor.mode = kModeEdit;
  auto i = NewField<TQdfIntegerField>(0);
  auto f = NewField<TQdfFloatField>(0);
  auto id = NewField<TQdfObjectIDField>(0);
  auto s = NewField<TQdfCharField>(0);
  auto r = NewField<TQdfReferenceField>(0);
  auto r2 = NewField<TQdfShortReferenceField>(0);
  Attach(&c.cursor, {i.get(), f.get(), id.get(), s.get(), r.get(), r2.get()});
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
}

TEST(FieldTest, ReferenceFlagFollowsPendingUpdateEntries) {
  struct HookReset {
    ~HookReset() { TQdfReferenceField::SetPendingEntryHook(nullptr); }
  } reset;
  static TItemAdr asked;
  qdf_test::TFakeObjectStore store;
  TCursor c;
  c.cursor.mode = kModeEdit;
  auto r = NewField<TQdfReferenceField>(0);
  r->SetProvider(&c.cursor);

  // Without a hook there is never a pending entry.
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
  Bytes with_flag = Data(*r);
  EXPECT_EQ(with_flag.size(), 7u);
  EXPECT_EQ(with_flag[6], 1);
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
