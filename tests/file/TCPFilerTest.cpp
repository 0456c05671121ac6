// The remote filer against a stand-in server: opening, reading over the
// network and directly, replies that break the protocol, streams, and the
// system's server configuration.
#include <gtest/gtest.h>

#include <algorithm>

#include "ErrorText.h"
#include "FileBytes.h"
#include "TestDir.h"
#include "base/PageCodec.h"
#include "base/QdfException.h"
#include "db/System.h"
#include "db/SystemTestUtil.h"
#include "db/Transaction.h"
#include "file/FileTestUtil.h"
#include "file/IndirectPageReader.h"
#include "file/ProtocolPeer.h"
#include "file/TCPFiler.h"

namespace qdf {
namespace {

using qdf_test::ChainPageIs;
using qdf_test::ClosedPort;
using qdf_test::kShortTimeoutMs;
using qdf_test::MessageOf;
using qdf_test::TPeerFault;
using qdf_test::TProtocolPeer;

std::string Text(const std::string& s) { return s + std::string(1, '\0'); }

// A stand-in server of a chain database and a remote filer for it.
class TCPFilerTest : public ::testing::Test {
 protected:
  void Connect() { ASSERT_TRUE(remote->Open("127.0.0.1", peer.Port())); }
  qdf_test::TTestDir dir_;
  std::string db_ = qdf_test::MakeChainDatabase(dir_.File("served.qdf"));
  TProtocolPeer peer{db_};
  qdf_test::TRemote remote;
};

// ---- opening ----

// A file system whose files fail every read: direct reads cannot be done.
class TUnreadableFs : public TFileSystem {
 public:
  class THandle : public TFileHandle {
   public:
    using TFileHandle::TFileHandle;
    void ReadAt(uint64_t, void*, size_t) override { Fail(); }
    size_t ReadUpTo(uint64_t, void*, size_t) override { Fail(); }
    void WriteAt(uint64_t, const void*, size_t) override { Fail(); }
    void Sync() override { Fail(); }
    uint64_t Size() override { Fail(); }
    void Truncate(uint64_t) override { Fail(); }
    [[noreturn]] static void Fail() { throw EQdfException("read failed: Input/output error"); }
  };
  std::unique_ptr<TFileHandle> Open(const std::string& path, TOpenMode) override {
    return std::make_unique<THandle>(path);
  }
  std::unique_ptr<TFileHandle> Create(const std::string& path) override {
    return std::make_unique<THandle>(path);
  }
  bool Exists(const std::string& path) override { return TFileSystem::Native().Exists(path); }
  bool Delete(const std::string&) override { return false; }
  int64_t ModificationTime(const std::string&) override { return 0; }
};

// The reader sees the chain over the network or directly from the file.
TEST_F(TCPFilerTest, OpenTakesHandleSiteIDAndDirectFileReadersSeeTheServersPagesAndFallBack) {
  EXPECT_FALSE(remote->Open("127.0.0.1", ClosedPort()));
  EXPECT_FALSE(remote->Connected());
  auto reads_chain = [&] {
    const size_t reads_before = peer.CountOf(kCmdReadData);
    TQdfIndirectPageReader r(remote.filer);
    r.Open(true);
    EXPECT_EQ(r.TransactionNumber(), 2u);  // the root record of the served file
    for (uint32_t page = 1; page <= 3; ++page) {
      EXPECT_TRUE(ChainPageIs(r.GetPage(page, kGpRead), page)) << page;
    }
    EXPECT_EQ(peer.CountOf(kCmdReadData) > reads_before, !remote->DirectRead());
  };

  std::string site(2, '\0');
  StoreU16(reinterpret_cast<uint8_t*>(site.data()), 0x4321);
  // Field 1 does not exist here; field 0 does, and client and server share
  // the address, so field 0 is the file to read directly.
  peer.SetOpenFields({Text(db_), Text(dir_.File("elsewhere.qdf")), site});
  ASSERT_TRUE(remote->Open("127.0.0.1", peer.Port()));
  EXPECT_EQ(remote->ConnectionHandle(), TProtocolPeer::kConnectionHandle);
  EXPECT_TRUE(remote->DirectRead());
  EXPECT_EQ(remote->DirectFileName(), db_);
  EXPECT_EQ(remote->SiteID(), std::optional<uint16_t>(0x4321));
  // The alias travels as a one-field packed item.
  EXPECT_EQ(peer.Commands(), std::vector<uint16_t>{kCmdOpenServer});
  EXPECT_EQ(peer.OpenedAliases(), std::vector<std::string>{"Remote"});
  reads_chain();
  uint8_t buf[16];
  EXPECT_EQ(MessageOf([&] { remote->ReadData(buf, 16, 100); }), "access to non valid file data");
  const int64_t end = static_cast<int64_t>(std::filesystem::file_size(db_));
  EXPECT_EQ(MessageOf([&] { remote->ReadData(buf, 16, end - 8); }),
            Format("Cannot read page: %llx size: 16 result: 8",
                   static_cast<unsigned long long>(end - 8)));

  // Neither name exists: everything goes over the network.
  peer.SetOpenFields({Text(dir_.File("a.qdf")), Text(dir_.File("b.qdf"))});
  ASSERT_TRUE(remote->Open("127.0.0.1", peer.Port()));
  EXPECT_FALSE(remote->DirectRead());
  reads_chain();

  // A direct file that cannot be read after all: the network serves it for good.
  TUnreadableFs unreadable;
  qdf_test::TFaultScope scope(unreadable);
  peer.SetOpenFields({Text(db_), Text(db_)});
  ASSERT_TRUE(remote->Open("127.0.0.1", peer.Port()));
  EXPECT_TRUE(remote->DirectRead());
  TQdfIndirectPageReader r(remote.filer);
  r.Open(true);
  EXPECT_TRUE(ChainPageIs(r.GetPage(2, kGpRead), 2));
  EXPECT_FALSE(remote->DirectRead());
  const size_t reads = peer.CountOf(kCmdReadData);
  EXPECT_GE(reads, 1u);
  EXPECT_TRUE(ChainPageIs(r.GetPage(3, kGpRead), 3));
  EXPECT_GT(peer.CountOf(kCmdReadData), reads);
}

TEST_F(TCPFilerTest, OldServerVersionIsRefusedWithItsVersionNumber) {
  peer.FailNext(kCmdOpenServer, TPeerFault::kOldVersion);
  EXPECT_EQ(MessageOf([&] { remote->Open("127.0.0.1", peer.Port()); }),
            "Your dbQuillon-Server uses version 0.1.0, which is no longer supported by this "
            "application.");
  EXPECT_FALSE(remote->Connected());
  EXPECT_QDF_ERROR(remote->Ping(), "not connected");
}

TEST_F(TCPFilerTest, ErrorRepliesRaiseWithTheServersTextAndHelpContext) {
  Connect();
  int help = 0;
  peer.FailNext(kCmdPing, TPeerFault::kErrorReply, "Disk full", 77);
  EXPECT_EQ(MessageOf([&] { remote->Ping(); }, &help), "Server indicated Exception: Disk full");
  EXPECT_EQ(help, 77);
  peer.FailNext(kCmdPing, TPeerFault::kErrorReply, "", 0);
  EXPECT_EQ(MessageOf([&] { remote->Ping(); }, &help), "Server indicated Exception: ");
  // An error reply is a whole message: the connection goes on.
  EXPECT_NO_THROW(remote->Ping());
  peer.FailNext(kCmdOpenServer, TPeerFault::kErrorReply, "Alias unknown", 5);
  EXPECT_EQ(MessageOf([&] { remote->Open("127.0.0.1", peer.Port()); }, &help),
            "Server indicated Exception: Alias unknown");
  EXPECT_FALSE(remote->Connected());
}

TEST_F(TCPFilerTest, WrongReplyLengthsNeverReachTheBuffer) {
  Connect();
  std::vector<uint8_t> buf(kPageSize + 200, 0xAB);
  peer.FailNext(kCmdReadData, TPeerFault::kShortReply);
  EXPECT_EQ(MessageOf([&] { remote->ReadData(buf.data(), 1024, 512); }),
            "Cannot Read: 00000200 Size: 1024 <> 924");
  peer.FailNext(kCmdReadData, TPeerFault::kOversizedReply);
  EXPECT_EQ(MessageOf([&] { remote->ReadData(buf.data(), 1024, 0x1000); }),
            "Cannot Read: 00001000 Size: 1024 <> 1124");
  EXPECT_TRUE(std::all_of(buf.begin(), buf.end(), [](uint8_t b) { return b == 0xAB; }));
  // The stray bytes were consumed: the next read is served correctly.
  remote->ReadData(buf.data(), 16, 0);
  EXPECT_TRUE(std::equal(buf.begin(), buf.begin() + 16, qdf_test::ReadFileBytes(db_).begin()));
  // A root record that is not 68 bytes is refused.
  peer.FailNext(kCmdStartTransaction, TPeerFault::kOversizedReply);
  TRootRecord root{};
  EXPECT_EQ(MessageOf([&] { remote->AttachReader(nullptr, root); }),
            "Server sent a root record of 100 bytes for Remote; 68 expected");
  EXPECT_EQ(root, TRootRecord{});
}

TEST_F(TCPFilerTest, BrokenConnectionsRaiseAndLeaveTheFilerUnusableUntilReopened) {
  struct TCase {
    TPeerFault fault;
    const char* says;
  };
  for (const TCase& c : {TCase{TPeerFault::kTruncatedReply, "closed the connection"},
                         TCase{TPeerFault::kCloseConnection, "closed the connection"},
                         TCase{TPeerFault::kHang, "no answer"},
                         TCase{TPeerFault::kWrongCommand, "reply 5 to request 4"}}) {
    Connect();
    std::vector<uint8_t> buf(kPageSize, 0xAB);
    peer.FailNext(kCmdReadData, c.fault);
    EXPECT_QDF_ERROR(remote->ReadData(buf.data(), 400, 512), c.says);
    EXPECT_NE(remote->LostReason(), "");
    EXPECT_QDF_ERROR(remote->ReadData(buf.data(), 400, 512),
                     "Connection to the server of Remote is lost");
    EXPECT_ANY_THROW(remote->Ping());
    ASSERT_TRUE(remote->Open("127.0.0.1", peer.Port()));
    EXPECT_NO_THROW(remote->ReadData(buf.data(), 400, 512));
  }
}

// ---- transactions and file space ----

// ---- streams ----

TEST_F(TCPFilerTest, ReadersStartResumeAndCloseServerTransactionsAndStreamsGoInChunks) {
  Connect();
  TQdfIndirectPageReader r(remote.filer);
  r.Open(true);
  const uint32_t first = LoadU32(&r.Root()[kRootServerHandle]);
  EXPECT_NE(first, 0u);
  EXPECT_EQ(LoadU32(&remote->GetRoot()[kRootServerHandle]), first);
  EXPECT_EQ(LoadU32(&remote->GetRoot()[kRootTransaction]), 2u);
  // Opening again closes the server's transaction and resumes with the
  // handle the close handed back.
  r.Open(true);
  ASSERT_EQ(peer.HandlesOf(kCmdCloseTransaction), std::vector<uint32_t>{first});
  const std::vector<uint32_t> resumed = peer.HandlesOf(kCmdResumeTransaction);
  ASSERT_EQ(resumed.size(), 1u);
  EXPECT_NE(resumed[0], first);
  EXPECT_EQ(remote->Readers().size(), 1u);
  r.Rollback();
  EXPECT_EQ(peer.CountOf(kCmdCloseTransaction), 2u);
  EXPECT_TRUE(remote->Readers().empty());

  // A circular page chain is refused before anything is sent.
  qdf_test::TFilerRef local(db_, false, "Local");
  TQdfIndirectPageReader writer(local.filer);
  writer.Open(false);
  writer.StartTransaction();
  StoreU32(writer.EditPage(3) + kPgNext, 1);
  EXPECT_EQ(MessageOf([&] { remote->StreamPage("SUL", &writer, 1); }),
            "Page chain of SUL runs in a circle at page 1");
  writer.Rollback();
  EXPECT_TRUE(peer.Streams().empty());

  // A stream of bytes goes in chunks of at most 8192 bytes, packed when that
  // makes them shorter.
  std::string data(8192, 'a');  // packs
  const std::vector<uint8_t> noise = qdf_test::PatternPage(9, 9, false);
  data.append(noise.begin(), noise.end());  // does not pack
  data += "xyz";                            // too short to pack
  remote->StreamStream("DDL", data);
  remote->StreamStream("DDL", "");
  const std::vector<qdf_test::TPeerStream> streams = peer.Streams();
  ASSERT_EQ(streams.size(), 1u);
  EXPECT_EQ(streams[0].start_arg, kStreamOfStream);
  EXPECT_TRUE(streams[0].ended);
  ASSERT_EQ(streams[0].chunks.size(), 3u);
  EXPECT_EQ(streams[0].chunks[0].value, 8192);
  EXPECT_LT(streams[0].chunks[0].bytes.size(), 8192u);
  EXPECT_EQ(streams[0].chunks[1].bytes, data.substr(8192, 8192));
  EXPECT_EQ(streams[0].chunks[2].value, 3);
  EXPECT_EQ(streams[0].chunks[2].bytes, "xyz");
  std::vector<uint8_t> plain(8192);
  const std::string& packed = streams[0].chunks[0].bytes;
  ASSERT_EQ(Unpack(reinterpret_cast<const uint8_t*>(packed.data()), packed.size(), plain.data(),
                   plain.size()),
            kUnpackOk);
  EXPECT_EQ(std::string(plain.begin(), plain.end()), data.substr(0, 8192));
}

// ---- through the system ----

TEST_F(TCPFilerTest, SystemProbesAndOpensServersAndRemoteStoragesSendStatementsToThem) {
  qdf_test::TSystemFixture fx;
  qdf_test::TSystemConfig& config = fx.config;
  const std::string port = std::to_string(peer.Port());
  config.WriteIni("[SERVER]\nPORT=" + port + "\nTIMEOUT=" + std::to_string(kShortTimeoutMs) +
                  "\nMAX_SERVER=2\nServer1=127.0.0.2\nServer2=127.0.0.1\n");
  TQdfSystem system;
  EXPECT_TRUE(system.ProbeServer("127.0.0.1"));
  EXPECT_FALSE(system.ProbeServer("127.0.0.2"));  // nothing listens there
  EXPECT_FALSE(system.ProbeServerAt("127.0.0.1", ClosedPort(), kShortTimeoutMs));
  EXPECT_FALSE(system.ProbeServerAt("no-such-host.invalid", ClosedPort(), kShortTimeoutMs));
  EXPECT_EQ(peer.CountOf(kCmdPing), 1u);
  peer.FailNext(kCmdPing, TPeerFault::kErrorReply, "busy");  // an answer, but not the ping's
  EXPECT_FALSE(system.ProbeServer("127.0.0.1"));

  // The first host refuses; the second serves the alias.
  TQdfFiler* filer = system.OpenFiler("Served", false, false);
  ASSERT_NE(filer, nullptr);
  EXPECT_FALSE(filer->IsLocal());
  EXPECT_EQ(filer->GetServerAddress(), "127.0.0.1");
  EXPECT_EQ(system.OpenFiler("served", false, false), filer);
  // In the listed order: the first that accepts wins.
  config.WriteIni("[SERVER]\nPORT=" + port +
                  "\nMAX_SERVER=2\nServer1=127.0.0.1\nServer2=x.invalid\n");
  const int before = peer.Connections();
  ASSERT_NE(system.OpenFiler("Other", false, false), nullptr);
  EXPECT_EQ(peer.Connections(), before + 1);
  // A server that answers with an error: the error reaches the caller.
  config.WriteIni("[SERVER]\nPORT=" + port + "\nMAX_SERVER=1\nServer1=127.0.0.1\n");
  peer.FailNext(kCmdOpenServer, TPeerFault::kErrorReply, "No such database");
  EXPECT_EQ(MessageOf([&] { system.OpenFiler("Missing", false, false); }),
            "Server indicated Exception: No such database");
  EXPECT_EQ(system.LookupFiler("Missing"), nullptr);

  // At start, [INIT] SERVER asks for a server on this machine at the port;
  // an empty value asks for none.
  for (const char* key : {"1", ""}) {
    config.WriteIni(std::string("[INIT]\nSERVER=") + key + "\n[SERVER]\nPORT=" + port + "\n");
    TQdfSystem started;
    started.Init();
    EXPECT_EQ(started.UseLocalServer(), *key != '\0');
  }

  // A remote storage opens read-only and sends statements to the server.
  fx.Write();  // a real database with its bootstrap objects, made locally
  TProtocolPeer served(fx.Db());
  fx.config.WriteIni(qdf_test::PeerIni(served.Port()));
  TQdfInTransStorage* s = fx.Open("Made", true, "");
  TQdfTransaction* t = s->Transaction();
  EXPECT_NE(s->ChildByName("$UPDATE_LIST"), nullptr);  // read from the server's file
  EXPECT_GT(served.CountOf(kCmdReadData), 0u);
  s->Execute("create table X (a integer)");
  EXPECT_TRUE(t->Active());
  const std::vector<qdf_test::TPeerStream> streams = served.Streams();
  ASSERT_EQ(streams.size(), 1u);
  EXPECT_EQ(streams[0].name, "DDL");
  ASSERT_EQ(streams[0].chunks.size(), 1u);
  EXPECT_EQ(streams[0].chunks[0].bytes, Text("create table X (a integer)"));
  // The statement committed what ran before it: one close per start.
  EXPECT_GE(served.CountOf(kCmdCloseTransaction), 1u);
  fx.EndTransaction(t);
  fx.system.reset();  // its filer says goodbye while the peer still listens
  EXPECT_EQ(served.CountOf(kCmdCloseConnection), 1u);
}

}  // namespace
}  // namespace qdf
