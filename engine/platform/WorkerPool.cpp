#include "platform/WorkerPool.h"

#include <unistd.h>

#include <algorithm>

namespace qdf {

TWorkerPool& TWorkerPool::Shared() {
  static TWorkerPool* pool = [] {
    const unsigned cores = std::thread::hardware_concurrency();
    const int workers = std::clamp(static_cast<int>(cores) - 1, 0, 3);
    return new TWorkerPool(workers);
  }();
  return *pool;
}

TWorkerPool::TWorkerPool(int workers) : workers_(workers) {}

void TWorkerPool::Start() {
  owner_pid_ = static_cast<int64_t>(getpid());
  for (int i = 0; i < workers_; ++i) threads_.emplace_back([this] { WorkerLoop(); });
  for (std::thread& t : threads_) t.detach();
}

void TWorkerPool::Drain() {
  for (int i; (i = next_.fetch_add(1, std::memory_order_relaxed)) < count_;) (*fn_)(i);
}

void TWorkerPool::WorkerLoop() {
  uint64_t seen = 0;
  std::unique_lock<std::mutex> hold(lock_);
  for (;;) {
    wake_.wait(hold, [&] { return round_ != seen; });
    seen = round_;
    ++busy_;
    hold.unlock();
    Drain();
    hold.lock();
    if (--busy_ == 0) done_.notify_all();
  }
}

void TWorkerPool::Run(int n, const std::function<void(int)>& fn) {
  std::unique_lock<std::mutex> run(run_lock_, std::try_to_lock);
  const bool alone = workers_ == 0 || n < 2 || !run.owns_lock() ||
                     (owner_pid_ != 0 && owner_pid_ != static_cast<int64_t>(getpid()));
  if (alone) {
    for (int i = 0; i < n; ++i) fn(i);
    return;
  }
  if (threads_.empty()) Start();
  {
    std::lock_guard<std::mutex> hold(lock_);
    fn_ = &fn;
    count_ = n;
    next_.store(0, std::memory_order_relaxed);
    ++round_;
  }
  wake_.notify_all();
  Drain();
  // A worker that wakes late finds no item left, but it must leave the round
  // before fn_ goes: wait until every worker that joined has left, and make
  // the round's items unreachable for one that has not joined yet.
  std::unique_lock<std::mutex> hold(lock_);
  done_.wait(hold, [&] { return busy_ == 0; });
  count_ = 0;
  fn_ = nullptr;
}

}  // namespace qdf
