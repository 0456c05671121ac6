#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>

#include "Driver.h"
#include "ProcessRun.h"
#include "check/IntegrityCheck.h"
#include "platform/Directories.h"

namespace speedtrial {
namespace {

// Replaces every "<digits>.<three digits> sec" with "S sec"; any other shape of
// the seconds is left as it is, so the comparison below fails on it.
std::string MaskSeconds(const std::string& text) {
  return std::regex_replace(text, std::regex(R"([0-9]+\.[0-9]{3} sec)"), "S sec");
}

TEST(SpeedTrialDriver, ScaleTakesTheFirstRunOfDigits) {
  EXPECT_EQ(ScaleFromArgument(nullptr), 1);
  EXPECT_EQ(ScaleFromArgument("x3y"), 3);
  EXPECT_EQ(ScaleFromArgument("abc"), 1);
  EXPECT_EQ(ScaleFromArgument("-5"), 5);
  EXPECT_EQ(ScaleFromArgument("0"), 1);
  EXPECT_EQ(ScaleFromArgument(""), 1);
  EXPECT_EQ(ScaleFromArgument("12a34"), 12);
  EXPECT_EQ(ScaleFromArgument("99999999999"), 1);  // overflow
  EXPECT_EQ(ScaleFromArgument("2147483647"), 2147483647);
}

TEST(SpeedTrialDriver, RandomDrawsTheFixedSequence) {
  ResetRandom();
  const uint32_t expected[] = {0, 31379, 861047, 202580, 272920};
  for (uint32_t e : expected) EXPECT_EQ(Random(999999), e);
  ResetRandom();
  EXPECT_EQ(Random(999999), 0u);
  for (int i = 0; i < 100000; ++i) EXPECT_LT(Random(999999), 999999u);
}

TEST(SpeedTrialDriver, TestLinesHaveTheirExactShape) {
  std::ostringstream out;
  SetOutput(&out);
  StartTest("Test 2", 25000);
  StopTest();
  StartTest("Test 6", 0);
  StopTest();
  StartTest("Test 16", 0);
  WriteProgress(" t1 ");
  StopTest();
  SetOutput(nullptr);
  EXPECT_EQ(MaskSeconds(out.str()),
            "Test 2: 25000 ...  done in S sec\n"
            "Test 6 ...  done in S sec\n"
            "Test 16 ...  t1  done in S sec\n");
  EXPECT_EQ(DatabaseFileName(), qdf::AppDir() + "SpeedTrial.qdf");
}

#ifdef QDF_SPEEDTRIAL_EXE
// The program prints its banner, removes an old database file beside it, waits
// for one line and exits 0.
TEST(SpeedTrialProgram, PrintsBannerRemovesOldFileAndExits) {
  std::filesystem::path exe(QDF_SPEEDTRIAL_EXE);
  std::filesystem::path db = exe.parent_path() / "SpeedTrial.qdf";
  { std::ofstream(db) << "stale"; }
  ASSERT_TRUE(std::filesystem::exists(db));
  qdf_test::TRunOptions options;
  options.merge_stderr = false;
  options.timeout_seconds = 600;
  const qdf_test::TRunResult run =
      qdf_test::RunProcess(std::string(QDF_SPEEDTRIAL_EXE) + " 1 --digest", options);
  const std::string& text = run.output;
  EXPECT_EQ(run.code, 0);
  EXPECT_EQ(text.rfind(std::string(kBannerLine1) + "\n" + kBannerLine2 + "\n", 0), 0u) << text;
  EXPECT_FALSE(std::filesystem::exists(db) && std::filesystem::file_size(db) == 5);
  // All sixteen tests ran; the digests follow from the rows inserted: Test 1
  // adds a = 1..1000, Test 15 refills t1 with a = 1..12000, Test 16 drops all.
  for (int i = 1; i <= 16; ++i) {
    EXPECT_NE(
        text.find("Test " + std::to_string(i) + (i == 6 || (i >= 11 && i != 15) ? " ..." : ": ")),
        std::string::npos)
        << "Test " << i << "\n"
        << text;
  }
  EXPECT_NE(text.find("digest Test 1: t1=1000,500500,"), std::string::npos) << text;
  EXPECT_NE(text.find("digest Test 15: t1=12000,72006000,"), std::string::npos) << text;
  EXPECT_NE(text.find("digest Test 16:\n"), std::string::npos) << text;
  // The file the run leaves behind passes the integrity check.
  ASSERT_TRUE(std::filesystem::exists(db));
  const qdf::TQdfCheckReport check = qdf::CheckDatabase(db.string());
  EXPECT_TRUE(check.Sound()) << check.problems.front();
  EXPECT_EQ(check.figures.records, 0);  // Test 16 dropped every table
}
#endif

}  // namespace
}  // namespace speedtrial
