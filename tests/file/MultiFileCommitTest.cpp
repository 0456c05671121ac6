// What a commit over several files leaves after it broke off past its commit
// point, and how the next open of any of the files completes it: from either
// file, read-only or read-write; a reader while another writer holds a file;
// a record that never became whole; a record that turns up after the files
// moved on.
#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "ErrorText.h"
#include "TestDir.h"
#include "file/FileTestUtil.h"
#include "file/MultiFileCommit.h"
#include "platform/FaultFileSystem.h"

namespace qdf {
namespace {

using qdf_test::PageIs;
using qdf_test::PutPage;
using qdf_test::TFilerRef;

// Writes page 1 (allocating it in a new file) with `tag` and commits.
void CommitTag(const std::string& path, uint32_t tag) {
  TFilerRef f(path, false);
  TQdfIndirectPageReader r(f.filer);
  r.Open(false);
  r.StartTransaction();
  PutPage(r, r.NextPageNumber() == 1 ? 0 : 1, tag, true);
  r.Flush(kFlushWriteUnpin);
  r.Commit(false);
}

// The tag page 1 holds, 0 when none of those tried.
uint32_t TagOf(const std::string& path, bool read_only = true) {
  TFilerRef f(path, read_only);
  TQdfIndirectPageReader r(f.filer);
  r.Open(true);
  for (uint32_t tag = 1; tag <= 3; ++tag) {
    if (PageIs(r, 1, tag, true)) return tag;
  }
  return 0;
}

bool Exists(const std::string& path) { return std::filesystem::exists(path); }

class MultiFileCommitTest : public ::testing::Test {
 protected:
  void SetUp() override {
    CommitTag(x_, 1);
    CommitTag(y_, 1);
  }

  // Commits tag 2 to both files and breaks off at the first header write,
  // just past the commit point: the headers hold tag 1, the record and the
  // marker are in place.
  void InterruptPastCommitPoint() {
    TFaultFileSystem fs;
    {
      qdf_test::TFaultScope scope(fs);
      TFilerRef fx(x_, false), fy(y_, false);
      TQdfIndirectPageReader rx(fx.filer), ry(fy.filer);
      for (TQdfIndirectPageReader* r : {&rx, &ry}) {
        r->Open(false);
        r->StartTransaction();
        PutPage(*r, 1, 2, true);
        r->Flush(kFlushWriteUnpin);
      }
      // Two page syncs, the marker (write, sync, folder), the record (write,
      // sync, folder); the ninth operation is the first header write.
      fs.FailOpAfter(9);
      const std::string error = qdf_test::MessageOf([&] { TMultiFileCommit::Commit({&rx, &ry}); });
      EXPECT_NE(error.find("is durable"), std::string::npos) << error;
      // The filers take no more writes until the files are opened again.
      EXPECT_NE(qdf_test::MessageOf([&] { rx.Commit(false); }), "<no error>");
      rx.Rollback();
      ry.Rollback();
      EXPECT_QDF_ERROR(ry.StartTransaction(), "close and reopen the database");
    }
    ASSERT_TRUE(Exists(record_));
    ASSERT_TRUE(Exists(marker_));
  }

  qdf_test::TTestDir dir_;
  const std::string x_ = dir_.File("x.qdf");
  const std::string y_ = dir_.File("y.qdf");
  const std::string record_ = TMultiFileCommit::SidePath(x_);
  const std::string marker_ = TMultiFileCommit::SidePath(y_);
};

// Each file, read-only or read-write, opened alone completes the whole commit.
TEST_F(MultiFileCommitTest, EitherFileOpenedAloneCompletesTheWholeCommit) {
  for (const bool second : {true, false}) {
    for (const bool read_only : {true, false}) {
      SCOPED_TRACE(std::string(second ? "second" : "first") + (read_only ? " read-only" : ""));
      InterruptPastCommitPoint();
      EXPECT_EQ(TagOf(second ? y_ : x_, read_only), 2u);
      EXPECT_FALSE(Exists(record_));
      EXPECT_FALSE(Exists(marker_));
      // The other file got its header too, without being opened.
      EXPECT_EQ(TagOf(second ? x_ : y_), 2u);
      // And both take writes again.
      CommitTag(x_, 3);
      CommitTag(y_, 3);
      EXPECT_EQ(TagOf(x_), 3u);
      EXPECT_EQ(TagOf(y_), 3u);
    }
  }
}

TEST_F(MultiFileCommitTest, WhileAnotherWriterHoldsAFileReadersSeeTheCommitAndWritersWait) {
  InterruptPastCommitPoint();
  {
    std::unique_ptr<TFileHandle> held = TFileSystem::Native().Open(x_, TOpenMode::kReadWrite);
    // A reader of the second file sees the committed state, the disk keeps
    // everything for whoever can complete it.
    EXPECT_EQ(TagOf(y_), 2u);
    EXPECT_TRUE(Exists(record_));
    EXPECT_TRUE(Exists(marker_));
    EXPECT_QDF_ERROR(TFilerRef(y_, false), "an interrupted commit over several files");
    EXPECT_QDF_ERROR(TFilerRef(y_, false), "locked by another writer");
  }
  EXPECT_EQ(TagOf(y_, false), 2u);
  EXPECT_EQ(TagOf(x_), 2u);
  EXPECT_FALSE(Exists(record_));
}

TEST_F(MultiFileCommitTest, ARecordThatNeverBecameWholeIsNoCommitAndALateOneUndoesNothing) {
  InterruptPastCommitPoint();
  std::filesystem::resize_file(record_, std::filesystem::file_size(record_) - 1);
  EXPECT_EQ(TagOf(y_, false), 1u);
  // The second file's opener removes its own marker, not the first file's record.
  EXPECT_FALSE(Exists(marker_));
  EXPECT_TRUE(Exists(record_));
  EXPECT_EQ(TagOf(x_, false), 1u);
  EXPECT_FALSE(Exists(record_));

  // A record that turns up after the files moved on never undoes a later commit.
  InterruptPastCommitPoint();
  const std::string old_record = dir_.File("record.copy");
  const std::string old_marker = dir_.File("marker.copy");
  std::filesystem::copy_file(record_, old_record);
  std::filesystem::copy_file(marker_, old_marker);
  EXPECT_EQ(TagOf(x_, false), 2u);  // completed
  CommitTag(y_, 3);                 // and the second file moved on alone
  // A power loss brings back the removed record and marker.
  std::filesystem::copy_file(old_record, record_);
  std::filesystem::copy_file(old_marker, marker_);
  EXPECT_EQ(TagOf(y_, false), 3u);
  EXPECT_EQ(TagOf(x_, false), 2u);
  EXPECT_FALSE(Exists(record_));
  EXPECT_FALSE(Exists(marker_));
}

}  // namespace
}  // namespace qdf
