#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "ErrorText.h"
#include "FileBytes.h"
#include "TestDir.h"
#include "base/QdfException.h"
#include "file/FileTestUtil.h"
#include "file/LocalFiler.h"

namespace qdf {
namespace {

using qdf_test::TFilerRef;

void PatchU32(const std::string& path, int offset, uint32_t value) {
  std::vector<uint8_t> bytes = qdf_test::ReadFileBytes(path);
  StoreU32(&bytes[static_cast<size_t>(offset)], value);
  qdf_test::WriteFileBytes(path, bytes);
}

TEST(LocalFiler, VersionsAreCheckedOldOnesUpgradedAndWritersRefuseADamagedHeader) {
  qdf_test::TTestDir dir;
  const std::string path = dir.File("v.qdf");
  { TFilerRef f(path, false); }
  PatchU32(path, 8, 1);  // version 1.1
  { TFilerRef f(path, true); }
  EXPECT_EQ(LoadU32(&qdf_test::ReadFileBytes(path)[8]), 1u);  // read-only: left alone
  { TFilerRef f(path, false); }
  EXPECT_EQ(LoadU32(&qdf_test::ReadFileBytes(path)[8]), 2u);  // writable: upgraded

  for (auto [major, minor] : {std::pair<uint32_t, uint32_t>{1, 3}, {2, 0}}) {
    PatchU32(path, 4, major);
    PatchU32(path, 8, minor);
    EXPECT_QDF_ERROR(TFilerRef f(path, false),
                     Format("File: %s has Version: %u.%u please convert to Version: 1.2",
                            path.c_str(), major, minor));
  }
  PatchU32(path, 4, 1);
  PatchU32(path, 8, 2);
  PatchU32(path, 0, 0x1306);
  EXPECT_QDF_ERROR(TFilerRef f(path, false), "File: " + path + " is not a dbQuillon-File");
  PatchU32(path, 0, 0x1305);
  EXPECT_NO_THROW(TFilerRef(path, false));  // the failed opens left no lock behind

  std::filesystem::resize_file(path, 100);
  EXPECT_THROW(TFilerRef(path, false), EQdfException);

  // A header no commit can have written: readers open the file (the check
  // reports it), writers refuse it before they change a byte.
  struct TCase {
    int offset;
    uint32_t value;
    const char* damage;
  };
  const TCase cases[] = {
      {kHdrRoot + kRootAllocEnd, 0xFFFFFFFFu,
       "its allocated space ends at 0x1fffffffe00, past the end of the file (0x200)"},
      {kHdrRoot + kRootAllocEnd, 0, "its allocated space ends at 0x0, inside the header"},
      {kHdrRoot + kRootNextPage, 0, "its next page number 0x0 is out of range"},
      {kHdrRoot + kRootNextPage, 0xFFFFFFFEu, "its next page number 0xfffffffe is out of range"},
      // Level 1's entry: a 16-unit block at 0x400, past the header's 0x200.
      {kHdrRoot + kRootEntries + 12, 0x400 | 15,
       "the page-table block of level 1 at 0x400 lies outside the allocated space"},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.damage);
    std::filesystem::remove(path);
    TFilerRef(path, false);  // a new file: its header alone
    PatchU32(path, c.offset, c.value);
    const std::vector<uint8_t> damaged = qdf_test::ReadFileBytes(path);
    EXPECT_EQ(qdf_test::MessageOf([&] { TFilerRef writer(path, false); }),
              "File: " + path + " is damaged: " + c.damage + "; run qdf check");
    EXPECT_NO_THROW(TFilerRef(path, true));  // the check still reads it
    EXPECT_EQ(qdf_test::ReadFileBytes(path), damaged);
  }
}

// A free list that hands out one stored position, as a damaged one might.
class TOneBlockLists : public TFreeSpaceLists {
 public:
  explicit TOneBlockLists(int64_t position) : position_(position) {}
  bool TakeBlock(int, int64_t* position) override {
    *position = position_;
    return true;
  }
  void AddBlock(const TItemAdr&, int, uint32_t, int64_t) override {}
  void SearchFreeData() override {}
  void PrepareFlush(int) override {}
  TItemAdr NewRoot(uint32_t) override { return kNullAdr; }
  void MergeRoot(const TItemAdr&, TItemAdr&) override {}

 private:
  int64_t position_;
};

// Blocks are whole units from the end of the allocated space; reads and
// writes stay inside the written file.
TEST(LocalFiler, AllocatesWholeUnitsAndRefusesRangesAndFreeBlocksOutsideTheFile) {
  qdf_test::TTestDir dir;
  TFilerRef f(dir.File("a.qdf"), false);
  uint8_t buf[1024] = {};
  const char* refused = "access to non valid file data";
  EXPECT_QDF_ERROR(f->ReadData(buf, 16, 100), refused);
  EXPECT_QDF_ERROR(f->ReadData(buf, 16, 512), refused);  // beyond the high-water mark
  EXPECT_QDF_ERROR(f->WriteData(buf, 16, 511), refused);
  EXPECT_QDF_ERROR(f->WriteData(buf, 0, 512), refused);
  EXPECT_EQ(f->AllocateData(1), 512);
  EXPECT_EQ(f->AllocateData(513), 1024);
  EXPECT_EQ(f->AllocateData(8192), 2048);
  EXPECT_EQ(f->AllocationEnd(), 1u + 1 + 2 + 16);
  EXPECT_QDF_ERROR(f->AllocateData(8193), "Block size 8193 is too big");
  EXPECT_QDF_ERROR(f->AllocateData(0), "Allocation of empty block");
  f->WriteData(buf, 1024, 512);
  EXPECT_EQ(f->HighWaterMark(), 1536);
  EXPECT_NO_THROW(f->ReadData(buf, 1024, 512));
  EXPECT_QDF_ERROR(f->ReadData(buf, 1024, 1024), refused);
  // A damaged page-table entry may name any 64-bit position.
  EXPECT_QDF_ERROR(f->ReadData(buf, 16, INT64_MAX - 8), refused);
  EXPECT_THROW(f->WriteData(buf, 9000, 512), EAssertionFailed);

  // A free list that names a block outside the allocated space (20 units).
  for (int64_t bad : {int64_t{0}, int64_t{100}, int64_t{1000}, int64_t{10240}, INT64_MAX - 100}) {
    TOneBlockLists lists(bad);
    f->SetFreeSpaceLists(&lists);
    EXPECT_QDF_ERROR(f->AllocateData(512),
                     "its free list names a block outside the allocated space")
        << bad;
  }
  TOneBlockLists good(9728);
  f->SetFreeSpaceLists(&good);
  EXPECT_EQ(f->AllocateData(512), 9728);
  f->SetFreeSpaceLists(nullptr);
}

}  // namespace
}  // namespace qdf
