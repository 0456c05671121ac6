// The object factory's object IDs, and the buffers of the typed record
// accessors it creates.
#include <gtest/gtest.h>

#include <memory>

#include "object/PersistentObjectFactory.h"
#include "record/InterfaceStruct.h"

namespace qdf {
namespace {

// ---- object IDs ----

// A bulk insert runs the IDs ahead of the clock; a process started soon
// after would draw the same values again, unless it starts above the highest
// ID its database keeps.
TEST(FactoryTest, AFloorKeepsALaterProcessAboveTheIDsOfAnEarlierOneAndAccessorsOwnBuffers) {
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
  // The buffers of a typed record accessor.
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
