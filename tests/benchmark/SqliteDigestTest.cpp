// SpeedTrial and the same sixteen tests on SQLite must leave the same rows
// behind after every test: any digest that differs is a wrong result of one
// engine (and, until proven otherwise, of ours).
#include <gtest/gtest.h>

#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "ProcessRun.h"
#include "TestDir.h"

namespace {

// The "digest " lines the command prints.
std::vector<std::string> DigestLines(const std::string& command) {
  qdf_test::TRunOptions options;
  options.merge_stderr = false;
  options.timeout_seconds = 600;
  const qdf_test::TRunResult r = qdf_test::RunProcess(command, options);
  EXPECT_EQ(r.code, 0) << command << "\n" << r.output;
  std::vector<std::string> lines;
  std::istringstream in(r.output);
  std::string line;
  while (std::getline(in, line)) {
    if (line.rfind("digest ", 0) == 0) lines.push_back(line);
  }
  return lines;
}

// Both programs keep their database beside the executable: they run from
// private copies, so that no other test's run of SpeedTrial shares the file.
std::string PrivateCopy(const qdf_test::TTestDir& dir, const char* exe) {
  const std::filesystem::path from(exe);
  const std::string to = dir.File(from.filename().string());
  std::filesystem::copy_file(from, to);
  return to;
}

TEST(SqliteComparison, DigestsAgreeAtScaleOne) {
#if defined(QDF_SPEEDTRIAL_EXE) && defined(QDF_SQLITE_SPEEDTRIAL_EXE)
  qdf_test::TTestDir dir;
  const auto ours = DigestLines(PrivateCopy(dir, QDF_SPEEDTRIAL_EXE) + " 1 --digest");
  const auto theirs =
      DigestLines(PrivateCopy(dir, QDF_SQLITE_SPEEDTRIAL_EXE) + " 1 --digest --sync=off");
  ASSERT_EQ(ours.size(), 16u);
  ASSERT_EQ(theirs.size(), 16u);
  for (size_t i = 0; i < ours.size(); ++i) EXPECT_EQ(ours[i], theirs[i]);
#else
  GTEST_SKIP() << "SQLite development files were not found when building; "
                  "install them (libsqlite3-dev) to compare digests";
#endif
}

}  // namespace
