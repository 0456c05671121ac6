#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <vector>

#include "ErrorText.h"
#include "FileBytes.h"
#include "ProcessRun.h"
#include "TestDir.h"
#include "base/QdfException.h"
#include "platform/Clock.h"
#include "platform/FaultFileSystem.h"
#include "platform/FileSystem.h"

namespace qdf {
namespace {

using qdf_test::ReadFileBytes;

// A fault file system and a file created through it.
class FaultFileSystem : public ::testing::Test {
 protected:
  qdf_test::TTestDir dir_;
  TFaultFileSystem fs;
  const std::string path = dir_.File("f");
  std::unique_ptr<TFileHandle> f = fs.Create(path);
};

TEST(NativeFileSystem, ReadsWritesReportsErrorsWithPathAndPositionAndRefusesASecondWriter) {
  qdf_test::TTestDir dir;
  const std::string path = dir.File("a.qdf");
  TFileSystem& fs = TFileSystem::Native();
  {
    auto f = fs.Create(path);
    const char text[] = "hello";
    f->WriteAt(10000, text, 5);  // a hole before it reads as zeros
    f->Sync();
    EXPECT_EQ(f->Size(), 10005u);
    char back[5];
    f->ReadAt(10000, back, 5);
    EXPECT_EQ(std::memcmp(back, text, 5), 0);
    EXPECT_EQ(f->ReadUpTo(10003, back, 5), 2u);
    EXPECT_QDF_ERROR(f->ReadAt(10003, back, 5), path);  // a short read names file and place
    EXPECT_QDF_ERROR(f->ReadAt(10003, back, 5), "10003");
  }
  EXPECT_GT(fs.ModificationTime(path), SystemTimeAsFileTime() - 600LL * 10000000);
  EXPECT_TRUE(fs.Delete(path));
  EXPECT_FALSE(fs.Delete(path));
  EXPECT_QDF_ERROR(fs.Open(path, TOpenMode::kReadOnly),
                   "cannot open file: " + path + ": No such file or directory");

  // A second writer is refused, also from another process.
  fs.Create(path).reset();
  auto writer = fs.Open(path, TOpenMode::kReadWrite);
  EXPECT_THROW(fs.Open(path, TOpenMode::kReadWrite), EQdfException);
  EXPECT_NO_THROW(fs.Open(path, TOpenMode::kReadOnly));  // readers are welcome
  qdf_test::TRunOptions options;
  options.env = {{"QDF_FS_CHILD_FILE", path}};
  const qdf_test::TRunResult run = qdf_test::RunProcess(
      qdf_test::ShellQuote(qdf_test::SelfExe()) + " --gtest_filter=FileSystemChild.OpenForWriting",
      options);
  EXPECT_EQ(run.code, 0) << run.output;
  EXPECT_NE(run.output.find("CHILD REFUSED"), std::string::npos) << run.output;
  writer.reset();
  EXPECT_NO_THROW(fs.Open(path, TOpenMode::kReadWrite));
}

// Run by the NativeFileSystem test in a process of its own:
// tries to open QDF_FS_CHILD_FILE for writing.
TEST(FileSystemChild, OpenForWriting) {
  const char* path = std::getenv("QDF_FS_CHILD_FILE");
  if (path == nullptr) GTEST_SKIP() << "runs only as the child of the NativeFileSystem test";
  const std::string m =
      qdf_test::MessageOf([&] { TFileSystem::Native().Open(path, TOpenMode::kReadWrite); });
  std::printf("CHILD %s\n", m == "<no error>" ? "OPENED" : "REFUSED");
}

TEST_F(FaultFileSystem, FailsTheNthWriteAndLandsOnlyTheHeadOfAShortWrite) {
  uint8_t block[16] = {1};
  fs.FailWriteAfter(2);
  EXPECT_NO_THROW(f->WriteAt(0, block, 16));
  EXPECT_THROW(f->WriteAt(16, block, 16), EQdfException);
  EXPECT_NO_THROW(f->WriteAt(16, block, 16));  // only the one write fails
  fs.SetDiskFull(true);
  EXPECT_QDF_ERROR(f->WriteAt(0, block, 16), "No space left");
  EXPECT_EQ(fs.WriteCount(), 4);

  // A short write lands only its head.
  fs.SetDiskFull(false);
  std::vector<uint8_t> zeros(64, 0), ones(64, 0xFF);
  f->WriteAt(0, zeros.data(), 64);
  fs.ShortWriteAfter(1, 10);
  EXPECT_THROW(f->WriteAt(0, ones.data(), 64), EQdfException);
  auto bytes = ReadFileBytes(path);
  ASSERT_EQ(bytes.size(), 64u);
  EXPECT_EQ(bytes[9], 0xFF);
  EXPECT_EQ(bytes[10], 0x00);
}

TEST_F(FaultFileSystem, PowerLossAndAFailedSyncForgetEverythingSinceTheLastSync) {
  std::vector<uint8_t> a(1000, 0xAA), b(1000, 0xBB), c(3000, 0xCC);
  f->WriteAt(0, a.data(), a.size());
  f->Sync();
  f->WriteAt(500, b.data(), b.size());   // overwrites the synced tail and grows
  f->WriteAt(1200, c.data(), c.size());  // grows again
  f->WriteAt(0, c.data(), 10);
  fs.SimulatePowerLoss();
  EXPECT_EQ(ReadFileBytes(path), a);

  // A failed sync forgets what it was to make durable; the next one succeeds.
  f->WriteAt(500, b.data(), b.size());
  fs.FailSyncAfter(1);
  EXPECT_THROW(f->Sync(), EQdfException);
  EXPECT_NO_THROW(f->Sync());
  EXPECT_EQ(ReadFileBytes(path), a);

  // A file opened later, never synced through us, goes back to its size at open.
  f.reset();
  auto g = fs.Open(path, TOpenMode::kReadWrite);
  g->WriteAt(1000, b.data(), b.size());
  fs.SimulatePowerLoss();
  EXPECT_EQ(ReadFileBytes(path), a);
}

// Drawn outcomes: each write since the sync survives whole or not at all,
// independently, except the last, which may also end at a sector boundary;
// what was synced always survives, and the file itself stays as written.
TEST_F(FaultFileSystem, PowerLossOutcomesKeepOrLoseEachWriteAndTearOnlyTheLast) {
  const std::string image = dir_.File("image");
  const std::vector<uint8_t> synced(6144, 0xAA);
  f->WriteAt(0, synced.data(), synced.size());
  f->Sync();
  struct TWrite {
    uint64_t pos;
    size_t size;
    uint8_t byte;
  };
  const TWrite writes[] = {{1024, 1024, 0x11}, {4096, 2048, 0x22}, {2560, 1536, 0x33}};
  for (const TWrite& w : writes) {
    const std::vector<uint8_t> bytes(w.size, w.byte);
    f->WriteAt(w.pos, bytes.data(), bytes.size());
  }
  const std::vector<uint8_t> as_written = ReadFileBytes(path);
  std::mt19937 rng(7);
  int kept[3] = {0, 0, 0}, lost[3] = {0, 0, 0}, torn = 0;
  for (int draw = 0; draw < 200; ++draw) {
    fs.PowerLossImage(path, image, &rng);
    const std::vector<uint8_t> got = ReadFileBytes(image);
    ASSERT_EQ(got.size(), synced.size());
    for (int i = 0; i < 3; ++i) {
      const TWrite& w = writes[i];
      size_t prefix = 0;  // leading bytes of the region holding the write
      while (prefix < w.size && got[w.pos + prefix] == w.byte) ++prefix;
      for (size_t k = prefix; k < w.size; ++k) ASSERT_EQ(got[w.pos + k], 0xAA) << i << " " << k;
      if (i < 2) {
        ASSERT_TRUE(prefix == 0 || prefix == w.size) << "write " << i << " torn";
      } else {
        ASSERT_EQ(prefix % 512, 0u) << "torn inside a sector";
        torn += prefix != 0 && prefix != w.size;
      }
      kept[i] += prefix == w.size;
      lost[i] += prefix == 0;
    }
  }
  for (int i = 0; i < 3; ++i) {
    EXPECT_GT(kept[i], 0) << i;
    EXPECT_GT(lost[i], 0) << i;
  }
  EXPECT_GT(torn, 0);
  EXPECT_EQ(ReadFileBytes(path), as_written);
  // A sync makes everything durable: every outcome is the file as it is.
  f->Sync();
  fs.PowerLossImage(path, image, &rng);
  EXPECT_EQ(ReadFileBytes(image), as_written);
}

// After the crash point the process is dead: nothing it writes lands.
TEST_F(FaultFileSystem, NothingLandsAfterTheCrashPoint) {
  const std::string other = dir_.File("other");
  fs.Watch(path);
  auto g = fs.Create(other);
  const std::vector<uint8_t> a(512, 0xAA), b(512, 0xBB);
  fs.CrashAfterOp(2);
  f->WriteAt(0, a.data(), a.size());
  g->WriteAt(0, a.data(), a.size());  // not watched: not counted
  EXPECT_THROW(f->WriteAt(512, a.data(), a.size()), EQdfException);
  EXPECT_TRUE(fs.Crashed());
  EXPECT_NO_THROW(f->WriteAt(0, b.data(), b.size()));
  EXPECT_NO_THROW(f->Sync());
  std::vector<uint8_t> both = a;
  both.insert(both.end(), a.begin(), a.end());
  EXPECT_EQ(ReadFileBytes(path), both);
  EXPECT_EQ(fs.OpCount(), 2);
}

}  // namespace
}  // namespace qdf
