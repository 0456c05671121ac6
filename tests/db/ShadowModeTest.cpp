// Write transactions on remote databases: the page reader's shadow mode keeps
// the transaction's pages in the system's shadow file, and the commit sends
// the collected record changes ("SUL") to the server.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "ErrorText.h"
#include "FileBytes.h"
#include "base/PackedItem.h"
#include "base/QdfException.h"
#include "db/InTransStorage.h"
#include "db/System.h"
#include "db/SystemTestUtil.h"
#include "db/Transaction.h"
#include "file/FileTestUtil.h"
#include "file/IndirectPageReader.h"
#include "file/ProtocolPeer.h"
#include "file/TCPFiler.h"
#include "list/ServerUpdateList.h"
#include "record/Field.h"
#include "table/Table.h"

namespace qdf {
namespace {

using qdf_test::ChainPageIs;
using qdf_test::MessageOf;
using qdf_test::PageIs;
using qdf_test::PutPage;
using qdf_test::ReadFileBytes;
using qdf_test::TFilerRef;
using qdf_test::TPeerFault;
using qdf_test::TProtocolPeer;
using qdf_test::TRemote;

// ---- the page reader ----

// A stand-in server of a chain database, a remote filer connected to it,
// and the system whose shadow file the remote filer's readers write.
class ShadowReaderTest : public ::testing::Test {
 protected:
  static std::string Made(const qdf_test::TSystemFixture& fx) {
    qdf_test::MakeChainDatabase(fx.Db("served.qdf"));
    return fx.Db("served.qdf");
  }
  void SetUp() override { ASSERT_TRUE(remote_->Open("127.0.0.1", peer_.Port())); }

  qdf_test::TSystemFixture fx_;
  std::string db_ = Made(fx_);
  TProtocolPeer peer_{db_};
  TRemote remote_;
};

// Pages of a transaction go to the shadow file and are read back from it; at
// its end, committed or rolled back, the server's pages are read again and
// its file never changed.
TEST_F(ShadowReaderTest, PagesGoToTheShadowFileNeverReachTheServerAndNeedItElsewhereDamage) {
  const std::vector<uint8_t> served = ReadFileBytes(db_);
  TQdfIndirectPageReader r(remote_.filer);
  r.SetShadowStore(fx_.system.get());
  for (int round = 0; round < 2; ++round) {
    r.Open(false);
    r.StartTransaction();
    PutPage(r, 1, 30, true);
    r.Flush(kFlushWriteDrop);
    EXPECT_TRUE(PageIs(r, 1, 30, true));
    round == 0 ? r.Rollback() : r.Commit(false);
    EXPECT_TRUE(r.ShadowChain().IsNull());
    r.Open(true);
    EXPECT_TRUE(ChainPageIs(r.GetPage(1, kGpRead), 1)) << round;
  }
  EXPECT_EQ(ReadFileBytes(db_), served);
  // Without the system's shadow file nothing is written.
  TQdfSystem bare;  // never initialised: no shadow file
  TQdfIndirectPageReader w(remote_.filer);
  w.SetShadowStore(&bare);
  w.Open(false);
  EXPECT_EQ(MessageOf([&] { w.StartTransaction(); }),
            "Remote: writing needs the system's shadow file, which is not open");
  EXPECT_FALSE(w.InWriteTransaction());
  // A shadow entry outside its transaction is refused as damage: a local
  // file whose table block names a shadow block for page 2.
  {
    TFilerRef f(db_, false);
    TQdfIndirectPageReader r(f.filer);
    r.Open(false);
    r.StartTransaction();
    uint8_t* table = r.EditPage(0);
    uint8_t* entry = table + kIbEntries + 12 * 1;  // page 2: slot 1
    StoreU32(entry, LoadU32(entry) | kEntryShadow);
    r.Flush(kFlushWriteUnpin);
    r.Commit(false);
  }
  TFilerRef f(db_, true);
  TQdfIndirectPageReader damaged(f.filer);
  damaged.Open(true);
  EXPECT_TRUE(ChainPageIs(damaged.GetPage(1, kGpRead), 1));
  EXPECT_EQ(MessageOf([&] { damaged.GetPage(2, kGpRead); }),
            "Page 2 is damaged: page-table entry names a shadow block outside its transaction");
}

// ---- storages of remote databases ----

// One entry of the update list as the server receives it.
struct TEntry {
  uint32_t record_page = 0;
  uint8_t kind = 0;
  std::string body;
};

std::vector<TEntry> Entries(const qdf_test::TPeerStream& stream) {
  std::vector<TEntry> out;
  for (const std::string& item : qdf_test::StreamItems(stream)) {
    const auto* p = reinterpret_cast<const uint8_t*>(item.data());
    if (item.size() < 15 || LoadU16(p + 11) != 4) continue;  // not an entry
    const uint8_t* body = p + 13;
    if (!ValidPackedItem(body, item.size() - 13) || FieldCount(body) != 5) continue;
    TEntry e;
    int length = 0;
    e.record_page = LoadU32(GetField(body, 0, &length));
    e.kind = *GetField(body, 2, &length);
    const uint8_t* data = GetField(body, 4, &length);
    e.body.assign(reinterpret_cast<const char*>(data), static_cast<size_t>(length));
    out.push_back(e);
  }
  return out;
}

std::string BodyOf(int i) { return "record " + std::to_string(i) + std::string(180, 'x'); }

class ShadowStorageTest : public ::testing::Test {
 protected:
  ShadowStorageTest() {
    fx_.Write([](TQdfInTransStorage* s) {
      s->Execute("create TQdfItemClass TRow (TQdfIntegerField a;); create table t on TRow;");
    });
    peer_ = std::make_unique<TProtocolPeer>(fx_.Db());
    fx_.config.WriteIni(qdf_test::PeerIni(peer_->Port()));
    served_ = ReadFileBytes(fx_.Db());
  }
  ~ShadowStorageTest() override {
    fx_.kept.clear();
    fx_.system.reset();  // says goodbye while the peer listens
  }

  static TQdfServerUpdateList* UpdateList(TQdfInTransStorage* s) {
    TQdfPersistentObject* found = s->ChildByName("$UPDATE_LIST");
    EXPECT_NE(found, nullptr);
    return static_cast<TQdfServerUpdateList*>(found);
  }
  // What a table records: `n` inserts of its records, spread over pages.
  static void RecordInserts(TQdfInTransStorage* s, int n) {
    TQdfServerUpdateList* list = UpdateList(s);
    for (int i = 0; i < n; ++i) {
      list->AddUpdate(TItemAdr{77, 3}, TItemAdr{static_cast<uint32_t>(1000 + i), 0}, kNullAdr,
                      BodyOf(i), "ab", kUpdateInsert);
    }
    // Out to the shadow file and out of the cache: the commit reads them back.
    s->Reader()->Flush(kFlushWriteDrop);
  }

  qdf_test::TSystemFixture fx_;
  std::unique_ptr<TProtocolPeer> peer_;
  std::vector<uint8_t> served_;
  TQdfTransaction* t_ = nullptr;
};

// Records are not entered into the update list yet: a table of a database on
// a server refuses changes instead of committing them where the server never
// sees them.
TEST_F(ShadowStorageTest,
       RecordsAreRefusedAndARefusedCloseOrALostConnectionLeaveTheTransactionRollbackOnly) {
  TQdfInTransStorage* s = fx_.Open("Made", false, "");
  t_ = s->Transaction();
  {
    std::unique_ptr<TQdfTable> table = s->TableByName("t");
    table->Insert();
    table->FieldByName("a")->SetAsString("7");
    EXPECT_QDF_ERROR(table->Post(), "lies on a database server");
    table->Cancel();
  }
  RecordInserts(s, 5);
  peer_->FailNext(kCmdCloseTransaction, TPeerFault::kErrorReply, "Deadlock");
  EXPECT_EQ(MessageOf([&] { t_->SetActive(false); }), "Server indicated Exception: Deadlock");
  EXPECT_TRUE(t_->Active());
  EXPECT_EQ(MessageOf([&] { t_->SetActive(false); }),
            "The commit of Made failed (Server indicated Exception: Deadlock); the transaction "
            "can only be rolled back");
  EXPECT_EQ(peer_->Streams().size(), 1u);  // the update list went out once
  t_->Rollback(false);
  EXPECT_TRUE(s->Reader()->ShadowChain().IsNull());
  // The connection is still in step: the next transaction sends its update
  // list, several pages read back from the shadow file, and then reads the
  // server's empty list again.
  t_->SetActive(true);
  EXPECT_EQ(UpdateList(s)->Count(), 0);
  RecordInserts(s, 120);
  EXPECT_NE(s->Reader()->EntryOf(UpdateList(s)->FirstPage()).flags & kEntryShadow, 0u);
  t_->SetActive(false);
  ASSERT_EQ(peer_->Streams().size(), 2u);
  const qdf_test::TPeerStream sent = peer_->Streams()[1];
  EXPECT_EQ(sent.name, "SUL");
  EXPECT_TRUE(sent.ended);
  EXPECT_GT(sent.chunks.size(), 2u);
  const std::vector<TEntry> entries = Entries(sent);
  ASSERT_EQ(entries.size(), 120u);
  for (size_t i = 0; i < entries.size(); ++i) {
    EXPECT_EQ(entries[i].record_page, 1000 + i);
    EXPECT_EQ(entries[i].kind, kUpdateInsert);
    EXPECT_EQ(entries[i].body, BodyOf(static_cast<int>(i))) << i;
  }
  t_->SetActive(true);
  EXPECT_EQ(UpdateList(s)->Count(), 0);
  // A connection lost during the commit leaves the transaction rollback-only.
  RecordInserts(s, 60);
  // The update list's first page arrives, then the server is gone.
  peer_->FailNext(kCmdStream, TPeerFault::kCloseConnection, "", 0, 1);
  EXPECT_THROW(t_->SetActive(false), EQdfException);
  EXPECT_TRUE(t_->Active());
  EXPECT_TRUE(s->Reader()->RollbackOnly());
  const size_t streamed = peer_->CountOf(kCmdStream);
  EXPECT_EQ(MessageOf([&] { t_->SetActive(false); }).find("The commit of Made failed ("), 0u);
  EXPECT_EQ(peer_->CountOf(kCmdStream), streamed);  // nothing sent again
  EXPECT_NO_THROW(t_->Rollback(false));
  EXPECT_FALSE(t_->Active());
  EXPECT_TRUE(s->Reader()->ShadowChain().IsNull());
  EXPECT_EQ(ReadFileBytes(fx_.Db()), served_);
  // The connection stays closed until the database is opened again.
  EXPECT_NE(MessageOf([&] { t_->SetActive(true); }).find("is lost"), std::string::npos);
}

}  // namespace
}  // namespace qdf
