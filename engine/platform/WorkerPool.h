// TWorkerPool: a few threads of the process that share out independent work
// items with the calling thread (the commit packs its pages on them).
//
// Run(n, fn) calls fn(0) .. fn(n - 1), each exactly once, spread over the
// caller and the workers, and returns when all have returned. Items are
// handed out one at a time through an atomic counter, so an uneven item does
// not hold up the others. One Run at a time uses the workers; a second caller
// meanwhile, or a caller in a child process made by fork (which has none of
// the parent's threads), does all its items itself. fn must not raise: an
// exception on a worker could not reach the caller (the callers here pack
// pages, which never raises).
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace qdf {

class TWorkerPool {
 public:
  // The process's pool: one worker fewer than the machine has cores, at most
  // three, started at the first Run that can use them. Never destroyed (its
  // threads wait until the process ends), so a Run from a late destructor
  // still works.
  static TWorkerPool& Shared();

  // The workers there will be (0 on a single-core machine).
  int Workers() const { return workers_; }

  void Run(int n, const std::function<void(int)>& fn);

 private:
  explicit TWorkerPool(int workers);
  void Start();
  void WorkerLoop();
  // Takes and runs items of the current round until none is left.
  void Drain();

  const int workers_;
  std::mutex run_lock_;  // one Run at a time on the workers
  std::mutex lock_;
  std::condition_variable wake_;
  std::condition_variable done_;
  std::vector<std::thread> threads_;
  int64_t owner_pid_ = 0;  // the process that started the threads
  uint64_t round_ = 0;     // changes with each Run
  const std::function<void(int)>* fn_ = nullptr;
  int count_ = 0;
  std::atomic<int> next_{0};
  int busy_ = 0;  // workers inside the current round
};

}  // namespace qdf
