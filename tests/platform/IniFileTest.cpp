#include <gtest/gtest.h>

#include <fstream>

#include "TestDir.h"
#include "platform/Directories.h"
#include "platform/IniFile.h"

namespace qdf {
namespace {

TEST(IniFile, ReadsSectionsAndKeysWithoutRegardToCase) {
  TIniFile ini;
  ini.LoadFromText(
      "; comment\r\n"
      "[INIT]\r\n"
      "  InitialCache = 2048 \r\n"
      "TEMP_PATH=/var/tmp\r\n"
      "; InitialCache=1\n"
      "[Alias]\n"
      "SpeedTrial=/data/SpeedTrial.qdf\n"
      "Empty=\n"
      "[init]\n"
      "SERVER=yes\n"
      "InitialCache=9\n");
  EXPECT_EQ(ini.ReadInteger("init", "initialcache", 512), 2048);  // first one wins
  EXPECT_EQ(ini.ReadString("INIT", "temp_path", "x"), "/var/tmp");
  EXPECT_EQ(ini.ReadString("INIT", "server", ""), "yes");  // repeated section merges
  EXPECT_EQ(ini.ReadString("ALIAS", "speedtrial", ""), "/data/SpeedTrial.qdf");
  EXPECT_EQ(ini.ReadString("ALIAS", "Empty", "def"), "");
  EXPECT_EQ(ini.ReadInteger("ALIAS", "SpeedTrial", 7), 7);  // not a number
}

TEST(IniFile, MissingFileReadsAsDefaults) {
  qdf_test::TTestDir dir;
  TIniFile ini(dir.File("quillon.ini"));
  EXPECT_EQ(ini.ReadInteger("INIT", "InitialCache", 512), 512);
  {
    std::ofstream out(dir.File("quillon.ini"));
    out << "[SERVER]\nMAX_SERVER=2\nServer1=db1\n";
  }
  TIniFile again(dir.File("quillon.ini"));
  EXPECT_EQ(again.ReadString("SERVER", "Server1", ""), "db1");
}

TEST(Directories, EndWithSeparatorAndFollowTheEnvironment) {
  EXPECT_EQ(IncludeTrailingSeparator("/a/"), "/a/");
  const char* old_cfg = getenv("QUILLON_CONFIG_DIR");
  std::string keep_cfg = old_cfg ? old_cfg : "";
  setenv("QUILLON_CONFIG_DIR", "/some/where", 1);
  EXPECT_EQ(WindowsDir(), "/some/where/");
  unsetenv("QUILLON_CONFIG_DIR");
  EXPECT_EQ(WindowsDir(), "/etc/");
  if (old_cfg) setenv("QUILLON_CONFIG_DIR", keep_cfg.c_str(), 1);
  const char* old_tmp = getenv("TMPDIR");
  std::string keep = old_tmp ? old_tmp : "";
  unsetenv("TMPDIR");
  EXPECT_EQ(TempDir(), "/tmp/");
  if (old_tmp) setenv("TMPDIR", keep.c_str(), 1);
}

}  // namespace
}  // namespace qdf
