// The system object: its configuration, aliases, shadow file, transactions
// and fix-ups. Servers: TCPFilerTest.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>

#include "ErrorText.h"
#include "db/System.h"
#include "db/SystemTestUtil.h"
#include "file/FileFormat.h"
#include "file/LocalFiler.h"
#include "list/ItemList.h"

namespace qdf {
namespace {

using qdf_test::MessageOf;
using qdf_test::TSystemConfig;
using qdf_test::TSystemFixture;

// ---- configuration ----

TEST(SystemConfig, GlobalSystemAliasResolutionFollowsTheIniFilesTimeAndShadowNamesSkipTakenOnes) {
  TSystemConfig config;
  // Shutdown frees the global system and its shadow file.
  QdfShutdown();  // nothing there: nothing happens
  EXPECT_EQ(QdfSystemIfCreated(), nullptr);
  TQdfSystem* global = QdfSystem();
  ASSERT_NE(global, nullptr);
  EXPECT_EQ(QdfSystem(), global);
  EXPECT_EQ(QdfSystemIfCreated(), global);
  const std::string shadow = global->ShadowFileName();
  EXPECT_TRUE(std::filesystem::exists(shadow));
  // A transaction without its own system uses the global one.
  TQdfTransaction t("Standalone");
  EXPECT_EQ(t.System(), global);
  QdfShutdown();
  EXPECT_EQ(QdfSystemIfCreated(), nullptr);
  EXPECT_FALSE(std::filesystem::exists(shadow));
  EXPECT_TRUE(std::filesystem::is_empty(config.TempDirPath()));
  // [INIT] TEMP_PATH names the shadow file's folder.
  const std::string scratch = config.File("scratch");
  std::filesystem::create_directories(scratch);
  config.WriteIni("[INIT]\nTEMP_PATH=" + scratch + "\n");
  EXPECT_EQ(QdfSystem()->ShadowFileName().substr(0, scratch.size() + 1), scratch + "/");
  QdfShutdown();
  // Alias resolution follows the ini file's modification time.
  config.WriteIni("[ALIAS]\nFirst=" + config.File("first.qdf") + "\n");
  TQdfSystem system;
  EXPECT_EQ(system.IniPath(), config.IniPath());
  EXPECT_EQ(system.OpenFiler("Second", false, false), nullptr);

  // New contents under the old time are not read: the time is the signal.
  const int unchanged = config.IniStamp();
  config.WriteIni("[ALIAS]\nSecond=" + config.File("second.qdf") + "\n");
  config.SetIniTime(unchanged);
  EXPECT_EQ(system.OpenFiler("Second", false, false), nullptr);

  config.SetIniTime(unchanged + 10);
  TQdfFiler* second = system.OpenFiler("second", false, false);
  ASSERT_NE(second, nullptr);
  EXPECT_EQ(static_cast<TQdfLocalFiler*>(second)->FileName(), config.File("second.qdf"));
  EXPECT_TRUE(std::filesystem::exists(config.File("second.qdf")));
  // Registered: the same filer again, under any case, even after the entry went.
  config.WriteIni("");
  EXPECT_EQ(system.OpenFiler("SECOND", false, false), second);
  EXPECT_EQ(system.LookupFiler("Second"), second);
  // A missing file leaves every key at its default.
  std::filesystem::remove(config.IniPath());
  EXPECT_EQ(system.OpenFiler("First", false, false), nullptr);
  // Shadow file names: taken ones are skipped.
  const std::string dir = config.TempDirPath();
  int64_t next = 1000;
  auto stamps = [&next] { return next++; };
  // A file of a drawn name may be another process's live shadow file: it is
  // skipped and kept.
  const std::string other = TQdfSystem::ShadowCandidate(dir, 1000);
  std::ofstream(other) << "in use";
  EXPECT_EQ(TQdfSystem::NewShadowName(dir, stamps), TQdfSystem::ShadowCandidate(dir, 1001));
  EXPECT_TRUE(std::filesystem::exists(other));
  // The name is claimed by the time it is returned: a second system drawing
  // the same stamps (another process's clock) takes the next free one.
  next = 1000;
  EXPECT_EQ(TQdfSystem::NewShadowName(dir, stamps), TQdfSystem::ShadowCandidate(dir, 1002));
  std::filesystem::create_directories(TQdfSystem::ShadowCandidate(dir, 1003) + "/inside");
  EXPECT_EQ(TQdfSystem::NewShadowName(dir, stamps), TQdfSystem::ShadowCandidate(dir, 1004));
}

TEST(SystemConfig, SyncCommitsReachesEveryLocalFilerAliasesNeedAFileOrAServerNamesAreUniqueFixups) {
  TSystemFixture fx;
  // Default: on; the shadow file never syncs.
  auto* a = static_cast<TQdfLocalFiler*>(fx.system->OpenLocalFiler(fx.Db("a.qdf"), "A", false));
  EXPECT_TRUE(a->SyncCommits());
  EXPECT_FALSE(fx.system->ShadowFiler()->SyncCommits());
  // Read when a filer is created, so a changed ini applies to the next one.
  fx.config.WriteIni("[INIT]\nSyncCommits=0\n[ALIAS]\nB=" + fx.Db("b.qdf") + "\n");
  auto* b = static_cast<TQdfLocalFiler*>(fx.system->OpenFiler("B", false, false));
  ASSERT_NE(b, nullptr);
  EXPECT_FALSE(b->SyncCommits());
  auto* c = static_cast<TQdfLocalFiler*>(fx.system->OpenLocalFiler(fx.Db("c.qdf"), "C", false));
  EXPECT_FALSE(c->SyncCommits());
  EXPECT_TRUE(a->SyncCommits());
  // Aliases without a file or a server cannot be opened.
  fx.config.WriteIni("[SERVER]\nMAX_SERVER=0\n[ALIAS]\nLocal=" + fx.Db("local.qdf") + "\n");
  EXPECT_EQ(fx.system->OpenFiler("Nowhere", false, false), nullptr);
  EXPECT_EQ(fx.system->OpenFiler("", false, false), nullptr);
  auto t = fx.system->NewTransaction("T");
  EXPECT_EQ(MessageOf([&] { t->OpenStorage("Nowhere"); }), "Cannot open Alias: Nowhere");
  EXPECT_EQ(t->Storages().size(), 0u);
  // "$Local" names the configured local file directly, also with a server at hand.
  TQdfFiler* local = fx.system->OpenFiler("$Local", true, false);
  ASSERT_NE(local, nullptr);
  EXPECT_TRUE(local->IsLocal());
  EXPECT_EQ(static_cast<TQdfLocalFiler*>(local)->FileName(), fx.Db("local.qdf"));
  EXPECT_EQ(local->Name(), "$Local");
  // "$" aliases never reach a server, configured or not.
  fx.config.WriteIni("[SERVER]\nMAX_SERVER=1\nServer1=localhost\n");
  EXPECT_EQ(fx.system->OpenFiler("$Other", false, false), nullptr);
  // With a server list but no server answering, the alias stays unresolved.
  EXPECT_EQ(fx.system->OpenFiler("Other", false, false), nullptr);
  t.reset();

  // Transaction names are unique until the transaction goes.
  fx.Restart();
  t = fx.system->NewTransaction("Main");
  EXPECT_EQ(fx.system->FindTransaction("MAIN"), t.get());
  EXPECT_EQ(MessageOf([&] { fx.system->NewTransaction("main"); }),
            "Transaction: main already exists");
  t.reset();
  EXPECT_EQ(fx.system->FindTransaction("Main"), nullptr);
  auto again = fx.system->NewTransaction("main");
  EXPECT_NE(again, nullptr);
  // Transactions left alive are rolled back and emptied with the system;
  // their owner may still destroy them, and nothing else works on them.
  auto running = fx.system->NewTransaction("Running");
  running->OpenStorage("A", false, fx.Db());
  running->SetActive(true);
  running->OpenStorage("B", false, fx.Db("b.qdf"))
      ->Execute("create TQdfItemClass K (TQdfIntegerField a)");
  fx.Restart();
  EXPECT_TRUE(running->Storages().empty());
  EXPECT_EQ(MessageOf([&] { running->OpenStorage("C", false, fx.Db("c.qdf")); }),
            "Transaction: Running: its system was shut down");
  auto check = fx.system->NewTransaction("Check");
  check->OpenStorage("B", false, fx.Db("b.qdf"));
  check->SetActive(true);
  EXPECT_EQ(check->FindStorage("b")->ChildByName("K"), nullptr);

  // Fix-up hooks write the shadow storage's fix-up objects.
  TQdfInTransStorage* s = fx.Open("Data");
  TQdfInTransStorage* shadow = fx.system->ShadowStorage();
  TItemAdr found;
  EXPECT_FALSE(shadow->LookupFixupAddress("Data", TItemAdr{7, 1}, &found));
  EXPECT_EQ(shadow->FixupReferences("Data"), nullptr);

  // A later replay of the same address wins; names in any case.
  s->AddFixupAddress(TItemAdr{7, 1}, TItemAdr{90, 3});
  s->AddFixupAddress(TItemAdr{5, 2}, TItemAdr{91, 4});
  s->AddFixupAddress(TItemAdr{7, 1}, TItemAdr{92, 5});
  ASSERT_TRUE(shadow->LookupFixupAddress("DATA", TItemAdr{7, 1}, &found));
  EXPECT_EQ(found, (TItemAdr{92, 5}));
  ASSERT_TRUE(shadow->LookupFixupAddress("Data", TItemAdr{5, 2}, &found));
  EXPECT_EQ(found, (TItemAdr{91, 4}));
  EXPECT_FALSE(shadow->LookupFixupAddress("Data", TItemAdr{6, 0}, &found));

  uint8_t record[24];
  for (int i = 0; i < 24; ++i) record[i] = static_cast<uint8_t>(i + 1);
  s->AddFixupReference(record);
  s->AddFixupReference(record);
  TQdfItemList* refs = shadow->FixupReferences("data");
  ASSERT_NE(refs, nullptr);
  EXPECT_EQ(refs->Count(), 2);
  TItemAdr adr = kBeforeFirstAdr;
  const uint8_t* item = refs->NextItem(adr);
  ASSERT_NE(item, nullptr);
  EXPECT_EQ(LoadU16(item), 28);
  EXPECT_EQ(std::memcmp(item + 4, record, 24), 0);
  // The shadow storage records nothing about itself.
  shadow->AddFixupAddress(TItemAdr{1, 1}, TItemAdr{2, 2});
  EXPECT_FALSE(shadow->LookupFixupAddress("$SHADOW", TItemAdr{1, 1}, &found));
  // The database itself is untouched by its fix-ups.
  EXPECT_EQ(s->ChildByName("Data$FIXUP"), nullptr);
}

}  // namespace
}  // namespace qdf
