// The object factory: registry, creation by name, object IDs; and the typed
// record accessors it creates.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "base/Bytes.h"
#include "base/QdfException.h"
#include "object/PersistentObject.h"
#include "object/PersistentObjectFactory.h"
#include "object/QHField.h"
#include "platform/Clock.h"
#include "record/InterfaceStruct.h"

namespace qdf {
namespace {

class TFactoryField : public TQdfSchemaObject {
  QDF_CLASS_INFO(TFactoryField)

 public:
  const TClassInfo& HeaderClass() const override { return TQHField::kClassInfo; }
};
QDF_DEFINE_PERSISTENT_CLASS(TFactoryField, TQdfSchemaObject);

// An application's accessor class.
class TBenchIntf : public TQdfInterfaceObject {
  QDF_CLASS_INFO(TBenchIntf)
};
QDF_DEFINE_INTERFACE_CLASS(TBenchIntf, TQdfInterfaceObject, nullptr, 0);

// ---- registry ----

TEST(FactoryRegistryTest, FindClassRespectsTheBase) {
  TQdfPersistentObjectFactory f;
  f.RegisterClass(TFactoryField::kClassInfo);
  f.RegisterClass(TBenchIntf::kClassInfo);
  EXPECT_EQ(f.FindClass("TFactoryField", TQdfSchemaObject::kClassInfo), &TFactoryField::kClassInfo);
  EXPECT_EQ(f.FindClass("TFACTORYFIELD", TQdfPersistentObject::kClassInfo),
            &TFactoryField::kClassInfo);
  EXPECT_EQ(f.FindClass("TQdfPersistentObject", TQdfSchemaObject::kClassInfo), nullptr);
  EXPECT_EQ(f.FindClass("TBenchIntf", TQdfPersistentObject::kClassInfo), nullptr);
  EXPECT_EQ(f.FindClass("TBenchIntf", TQdfInterfaceStruct::kClassInfo), &TBenchIntf::kClassInfo);
  EXPECT_EQ(f.FindClass("TNoSuchClass", TQdfPersistentObject::kClassInfo), nullptr);
}

TEST(FactoryRegistryTest, CreateObjectMakesTemplatesAndAccessors) {
  TQdfPersistentObjectFactory f;
  f.RegisterClass(TFactoryField::kClassInfo);
  f.RegisterClass(TBenchIntf::kClassInfo);
  f.RegisterClass(TQdfSchemaObject::kClassInfo);  // abstract

  std::unique_ptr<TObject> o = f.CreateObject("tfactoryfield");
  auto* field = dynamic_cast<TFactoryField*>(o.get());
  ASSERT_NE(field, nullptr);
  EXPECT_TRUE(field->IsTemplate());
  EXPECT_EQ(field->Header()->ClassInfo(), &TQHField::kClassInfo);
  EXPECT_EQ(field->Header()->ObjectClassName(), "TFactoryField");

  std::unique_ptr<TObject> a = f.CreateObject("TBenchIntf");
  auto* intf = dynamic_cast<TBenchIntf*>(a.get());
  ASSERT_NE(intf, nullptr);
  EXPECT_EQ(f.CreateObject("TQdfSchemaObject"), nullptr);
  EXPECT_EQ(f.CreateObject("TUnknown"), nullptr);
}

// ---- object IDs ----

TEST(FactoryObjectIdTest, IdsStayStrictlyIncreasingAcrossTickRefreshes) {
  TQdfPersistentObjectFactory f;
  uint64_t last = 0;
  TObjectID last_bytes{};
  for (int i = 0; i < 5500; ++i) {
    if (i == 2500) f.SetSiteID(7);
    const TObjectID id = f.NewObjectID();
    const uint64_t v = LoadU64BE(id.data());
    ASSERT_GT(v, last) << i;
    // Big-endian bytes: byte order is value order.
    ASSERT_GT(std::memcmp(id.data(), last_bytes.data(), id.size()), 0) << i;
    ASSERT_EQ(v & 0xFFFF, i < 2500 ? 0u : 7u);
    last = v;
    last_bytes = id;
  }
}

// A bulk insert runs the IDs ahead of the clock; a process started soon
// after would draw the same values again, unless it starts above the highest
// ID its database keeps.
TEST(FactoryObjectIdTest, AFloorKeepsALaterProcessAboveTheIDsOfAnEarlierOne) {
  TQdfPersistentObjectFactory earlier;
  uint64_t highest = 0;
  for (int i = 0; i < 100000; ++i) highest = earlier.NewObjectIDValue();
  TQdfPersistentObjectFactory later;
  later.SetSiteID(3);
  later.RaiseIDFloor(highest);
  EXPECT_EQ(later.LastIDValue(), highest);
  const uint64_t first = later.NewObjectIDValue();
  EXPECT_GT(first, highest);
  EXPECT_EQ(first & 0xFFFF, 3u);
  later.RaiseIDFloor(highest / 2);  // a floor never goes down
  EXPECT_GT(later.NewObjectIDValue(), first);
}

// ---- accessors ----

TEST(FactoryAccessorTest, BufferOwnership) {
  TQdfInterfaceObject intf;
  uint8_t borrowed[16] = {};
  intf.AdoptRecordBuffer(std::make_unique<uint8_t[]>(32));
  uint8_t* owned = intf.RecordBuffer();
  EXPECT_TRUE(intf.OwnsBuffer());
  owned[31] = 1;
  // Handing back its own buffer keeps it alive and owned.
  intf.SetRecordBuffer(owned);
  EXPECT_TRUE(intf.OwnsBuffer());
  EXPECT_EQ(owned[31], 1);
  // A new borrowed buffer frees the owned one (the leak checker watches).
  intf.SetRecordBuffer(borrowed);
  EXPECT_FALSE(intf.OwnsBuffer());
  // An owned buffer left at destruction is freed as well.
  intf.AdoptRecordBuffer(std::make_unique<uint8_t[]>(8));
}

}  // namespace
}  // namespace qdf
