// Header classes: the stored section layout and round trips.
#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "base/BaseTestUtil.h"
#include "base/Bytes.h"
#include "base/PackedItem.h"
#include "object/PersistentObject.h"
#include "object/QHBtreeList.h"
#include "object/QHField.h"
#include "object/QHItemClass.h"
#include "object/QHPageList.h"
#include "object/QHStorage.h"

namespace {

using namespace qdf;
using qdf_test::Le32;
using qdf_test::PackedBytes;

// The header item `h` writes: 13-byte prefix (length in the first word) and
// a packed body of Depth()+1 sections.
std::vector<uint8_t> WriteItem(TQHPersistentObject& h) {
  std::vector<uint8_t> buf(8192, 0);
  TFieldCursor body;
  body.OpenWrite(buf.data() + kRecordPrefixSize, h.Depth() + 1, buf.size() - kRecordPrefixSize);
  h.WriteHeader(body);
  body.Finish();
  buf.resize(static_cast<size_t>(PackedLength(buf.data() + kRecordPrefixSize, kRecordPrefixSize)));
  StoreU16(buf.data(), static_cast<uint16_t>(buf.size()));
  return buf;
}

template <typename H>
std::unique_ptr<H> New(TQdfPersistentObject* owner = nullptr) {
  std::unique_ptr<TQHPersistentObject> h = NewHeader(H::kClassInfo, owner);
  return std::unique_ptr<H>(static_cast<H*>(h.release()));
}

// ---- round trips and layout ----

struct RoundTripCase {
  const TClassInfo* info;
  std::map<std::string, std::string> values;  // published name -> non-default text
};

// Every level written and read back keeps its values; an item written by a
// shallower header afterwards resets every deeper level to its defaults.
TEST(HeaderRoundTripTest, SectionsRoundTripShallowItemsResetAndDamageReadsAsDefaults) {
  TQHPersistentObject base(nullptr);
  base.ReadHeader(nullptr);
  base.SetObjectName("orders");
  const std::vector<uint8_t> shallow = WriteItem(base);

  // The values of each level, and a case's values: its levels' and its own.
  using TValues = std::map<std::string, std::string>;
  const TValues root = {{"ParentIndex", "4"},
                        {"ObjectName", "name"},
                        {"ObjectModulName", "Modul"},
                        {"ObjectClassName", "TSomething"}};
  const TValues list = {{"FirstPg", "11"},
                        {"LastPg", "4000000000"},
                        {"CountPg", "3"},
                        {"CountIt", "5000000000"},
                        {"UpdateCount", "17"}};
  const TValues btree = {
      {"RootPg", "12"}, {"CountUnused", "-3"}, {"Balance", "75"}, {"AllowDuplicates", "True"}};
  auto plus = [&](TValues more, std::vector<const TValues*> levels = {}) {
    levels.push_back(&root);
    for (const TValues* level : levels) more.insert(level->begin(), level->end());
    return more;
  };
  const std::vector<RoundTripCase> cases = {
      {&TQHStorage::kClassInfo, plus({{"FirstFreePg", "8"},
                                      {"ReuseAddresses", "False"},
                                      {"SchemaTAN", "3000000000"},
                                      {"SchemaVersion", "16908288"}},
                                     {&list})},
      {&TQHTable::kClassInfo,
       plus({{"FirstFreePg", "8"}, {"ReuseAddresses", "False"}, {"BaseStructureName", "TBench"}},
            {&list})},
      {&TQHSortableList::kClassInfo, plus({}, {&list})},
      {&TQHBtreeList::kClassInfo, plus({}, {&list, &btree})},
      {&TQHIndex::kClassInfo, plus({}, {&list, &btree})},
      {&TQHResultSet::kClassInfo, plus({{"OrderBy", "a, DESC b"}}, {&list, &btree})},
      {&TQHField::kClassInfo,
       plus(
           {{"FieldIndex", "6"}, {"ixAscending", "False"}, {"DefSize", "20"}, {"UserInfo", "-7"}})},
      {&TQHCharField::kClassInfo, plus({{"FieldIndex", "0"}, {"DefSize", "255"}})},
      {&TQHItemClass::kClassInfo, plus({{"InterfaceAlias", "TBenchIntf"}})},
      {&TQHIndexObject::kClassInfo,
       plus({{"InterfaceAlias", "X"}, {"BaseObjectClass", "TBench"}, {"Flags", "-2"}})},
  };
  for (const RoundTripCase& c : cases) {
    SCOPED_TRACE(c.info->name);
    auto out = NewHeader(*c.info, nullptr);
    for (const auto& [name, value] : c.values) {
      ASSERT_TRUE(out->SetPropertyText(name, value)) << name;
    }
    const std::vector<uint8_t> item = WriteItem(*out);
    EXPECT_EQ(FieldCount(item.data() + kRecordPrefixSize), c.info->Depth() + 1);
    auto in = NewHeader(*c.info, nullptr);
    in->ReadHeader(item.data());
    for (const TPropInfo* p : c.info->AllProperties()) {
      EXPECT_EQ(p->get(*in), p->get(*out)) << p->name;
    }
    for (const auto& [name, value] : c.values) {
      EXPECT_EQ(c.info->FindProperty(name)->get(*in), value) << name;
    }

    in->ReadHeader(shallow.data());
    EXPECT_EQ(in->ObjectName(), "orders");
    const auto fresh = NewHeader(*c.info, nullptr);
    for (const TPropInfo* p : c.info->AllProperties()) {
      if (TQHPersistentObject::kClassInfo.FindProperty(p->name) == p) continue;  // level 0
      EXPECT_EQ(p->get(*in), p->get(*fresh)) << p->name;
    }
  }
  // A table keeps its max field count and leaves its structure size.
  auto out = New<TQHTable>();
  out->SetBaseStructureName("TBench");
  out->SetMaxFieldCount(6);
  out->SetMaxStructureSize(300);
  const std::vector<uint8_t> item = WriteItem(*out);
  // BaseStructureName, MaxFieldCount, MaxFieldCount again; no structure size.
  EXPECT_EQ(GetFieldBytes(item.data() + kRecordPrefixSize, 5),
            PackedBytes({{'T', 'B', 'e', 'n', 'c', 'h', 0}, Le32(6), Le32(6)}));

  auto in = New<TQHTable>();
  in->SetMaxStructureSize(123);
  in->ReadHeader(item.data());
  EXPECT_EQ(in->MaxStructureSize(), 123);

  // Field 2 is what the count is read back from.
  const std::vector<uint8_t> differing = PackedBytes(
      {{}, {}, {}, {}, {}, PackedBytes({{'T', 0}, Le32(4), Le32(5)})}, kRecordPrefixSize);
  in->ReadHeader(differing.data());
  EXPECT_EQ(in->MaxFieldCount(), 5);

  // A section whose end offsets point past it reads as defaults.
  std::vector<uint8_t> bad = PackedBytes({Le32(1), {0}, Le32(2), Le32(3)});
  StoreU16(bad.data() + 2 + 2 * 3, 0x7FFF);
  const std::vector<uint8_t> damaged = PackedBytes({{}, bad}, kRecordPrefixSize);
  auto field = New<TQHField>();
  field->SetFieldIndex(9);
  field->ReadHeader(damaged.data());
  EXPECT_EQ(field->FieldIndex(), -1);
}

}  // namespace
