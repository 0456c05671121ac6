// The worker pool: every item runs exactly once and has finished when Run
// returns, also with two callers at once and in a child made by fork (which
// has none of the parent's worker threads).
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "platform/WorkerPool.h"

namespace qdf {
namespace {

// Runs n items that take a little while each; true when each ran once and
// all had finished by the time Run returned.
bool RunsEachOnce(int n) {
  std::vector<std::atomic<int>> runs(static_cast<size_t>(n));
  TWorkerPool::Shared().Run(n, [&](int i) {
    std::this_thread::sleep_for(std::chrono::microseconds(i % 3 == 0 ? 300 : 10));
    runs[static_cast<size_t>(i)].fetch_add(1);
  });
  for (auto& r : runs) {
    if (r.load() != 1) return false;
  }
  return true;
}

TEST(WorkerPool, EveryItemRunsOnceAndIsDoneWhenRunReturnsAlsoInAForkedChild) {
  for (int n : {0, 1, 2, 7, 200}) EXPECT_TRUE(RunsEachOnce(n)) << n;
  std::atomic<bool> other{false};
  std::thread t([&] { other = RunsEachOnce(150) && RunsEachOnce(3); });
  const bool here = RunsEachOnce(150) && RunsEachOnce(5);
  t.join();
  EXPECT_TRUE(here);
  EXPECT_TRUE(other);

  // The parent's workers are started: a child made by fork runs its items itself.
  const pid_t child = fork();
  ASSERT_NE(child, -1);
  if (child == 0) {
    alarm(30);  // a child waiting for workers it does not have ends here
    _exit(RunsEachOnce(50) ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
}

}  // namespace
}  // namespace qdf
