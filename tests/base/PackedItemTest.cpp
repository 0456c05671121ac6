#include <gtest/gtest.h>

#include <vector>

#include "base/Bytes.h"
#include "base/PackedItem.h"
#include "base/QdfException.h"

namespace qdf {
namespace {

using Bytes = std::vector<uint8_t>;

TEST(PackedItem, LayoutWithAbsentTextField) {
  Bytes item(64, 0xEE);
  InitPacked(item.data(), 3);
  EXPECT_EQ(PackedSize(3), 8);
  EXPECT_EQ(PackedSize(3, 13), 21);
  uint8_t v[4] = {1, 2, 3, 4};
  SetField(item.data(), 0, 4, v);
  SetFieldText(item.data(), 1, "");
  SetFieldText(item.data(), 2, "hi");
  const Bytes expect = {3, 0, 12, 0, 12, 0, 15, 0, 1, 2, 3, 4, 'h', 'i', 0};
  EXPECT_EQ(Bytes(item.begin(), item.begin() + 15), expect);
  EXPECT_EQ(PackedLength(item.data()), 15);
  EXPECT_EQ(PackedLength(item.data(), 13), 28);

  int len;
  EXPECT_EQ(GetField(item.data(), 1, &len), nullptr);
  EXPECT_EQ(len, 0);
  EXPECT_EQ(GetField(item.data(), 0, &len), item.data() + 8);
  EXPECT_EQ(len, 4);
  EXPECT_EQ(GetField(item.data(), 3, &len), nullptr);
  EXPECT_EQ(GetFieldText(item.data(), 1, "dflt"), "dflt");
  // Too short for an address: the default.
  EXPECT_EQ(GetFieldAdr(item.data(), 0, kBeforeFirstAdr), kBeforeFirstAdr);
  EXPECT_TRUE(ValidPackedItem(item.data(), 15));
  EXPECT_FALSE(ValidPackedItem(item.data(), 14));
  StoreU16(item.data() + 2, 13);  // field 1 would end before it starts
  EXPECT_FALSE(ValidPackedItem(item.data(), 15));
}

TEST(FieldCursor, WritesAndReadsEveryEncodingWithinItsCapacity) {
  Bytes item(128, 0xEE);
  TFieldCursor w;
  w.OpenWrite(item.data(), 9, item.size());
  w.WriteByte(0xAB);
  w.WriteU32(0x01020304);
  w.WriteU64(0x1122334455667788ull);
  w.WriteAdr(TItemAdr{0xDEADBEEF, 7});
  w.WriteText("");
  w.WriteText("abc");
  const uint8_t raw[] = {0, 1, 2};
  w.WriteByteArray(raw);
  w.Finish();
  EXPECT_EQ(w.index, 8);
  // count + 9 offsets = 20; then 1 + 4 + 8 + 6 + 0 + 4 + 3 bytes.
  const int ends[] = {21, 25, 33, 39, 39, 43, 46, 46, 46};
  for (int i = 0; i < 9; ++i) EXPECT_EQ(LoadU16(item.data() + 2 + 2 * i), ends[i]) << i;
  EXPECT_EQ(item[25], 0x88);  // little-endian
  EXPECT_EQ(PackedLength(item.data()), 46);

  TFieldCursor r;
  r.OpenRead(item.data());
  EXPECT_EQ(r.ReadByte(), 0xAB);
  EXPECT_EQ(r.ReadU32(), 0x01020304u);
  EXPECT_EQ(r.ReadU64(), 0x1122334455667788ull);
  EXPECT_EQ(r.ReadAdr(), (TItemAdr{0xDEADBEEF, 7}));
  EXPECT_EQ(r.ReadText("none"), "none");
  EXPECT_EQ(r.ReadText(), "abc");
  int len;
  r.NextField(&len);
  EXPECT_EQ(len, 3);
  EXPECT_EQ(r.ReadU32(77), 77u);  // finished, absent
  EXPECT_EQ(r.ReadByte(3), 3);    // beyond the last field
  // Writing past the capacity is refused.
  Bytes small(12, 0);
  TFieldCursor s;
  s.OpenWrite(small.data(), 1, small.size());
  EXPECT_THROW(s.WriteText("toolong!!"), EAssertionFailed);
  EXPECT_THROW(s.WriteBytes(9, "123456789"), EAssertionFailed);
  s.WriteText("fits!!!");  // 4 + 8 = 12
  EXPECT_EQ(PackedLength(small.data()), 12);
  EXPECT_THROW(TFieldCursor().OpenWrite(small.data(), 6, small.size()), EAssertionFailed);
}

}  // namespace
}  // namespace qdf
