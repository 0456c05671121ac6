#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "Driver.h"
#include "ProcessRun.h"
#include "check/IntegrityCheck.h"
#include "platform/Directories.h"

namespace speedtrial {
namespace {

// Replaces every "<digits>.<three digits> sec" with "S sec"; any other shape of
// the seconds is left as it is, so the comparison below fails on it.
std::string MaskSeconds(std::string text) {
  auto digit = [&](size_t i) { return isdigit(static_cast<unsigned char>(text[i])) != 0; };
  for (size_t end = text.find(" sec"); end != std::string::npos; end = text.find(" sec", end + 1)) {
    if (end < 5 || !digit(end - 1) || !digit(end - 2) || !digit(end - 3) || text[end - 4] != '.' ||
        !digit(end - 5)) {
      continue;
    }
    size_t begin = end - 5;
    while (begin > 0 && digit(begin - 1)) --begin;
    text.replace(begin, end - begin, "S");
    end = begin;
  }
  return text;
}

TEST(SpeedTrialDriver, ScaleTakesTheFirstRunOfDigitsAndRandomDrawsTheFixedSequence) {
  EXPECT_EQ(ScaleFromArgument(nullptr), 1);
  // "99999999999" overflows.
  const std::pair<const char*, int> cases[] = {
      {"x3y", 3}, {"abc", 1},    {"-5", 5},          {"0", 1},
      {"", 1},    {"12a34", 12}, {"99999999999", 1}, {"2147483647", 2147483647}};
  for (const auto& [argument, scale] : cases)
    EXPECT_EQ(ScaleFromArgument(argument), scale) << argument;

  // Random draws the fixed sequence.
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
