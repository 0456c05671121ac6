#include <gtest/gtest.h>

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

}  // namespace
}  // namespace qdf
