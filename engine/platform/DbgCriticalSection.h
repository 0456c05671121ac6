// TDbgCriticalSection: the engine's one lock primitive, a re-entrant mutex that
// carries a name for debugging ("Cache", "CRL", "Reader 0000ABCD", "Filer x").
#pragma once

#include <mutex>
#include <string>

namespace qdf {

class TDbgCriticalSection {
 public:
  explicit TDbgCriticalSection(std::string name) : name_(std::move(name)) {}
  TDbgCriticalSection(const TDbgCriticalSection&) = delete;
  TDbgCriticalSection& operator=(const TDbgCriticalSection&) = delete;

  // The same thread may enter again; each Enter needs one Leave.
  void Enter() {
    mutex_.lock();
    ++depth_;
  }
  void Leave() {
    --depth_;
    mutex_.unlock();
  }
  bool TryEnter() {
    if (!mutex_.try_lock()) return false;
    ++depth_;
    return true;
  }
  // Leaves every level the calling thread holds, so that another thread can
  // enter while this one waits for it; returns the count for EnterAgain.
  // REQUIRES: the calling thread holds the lock.
  int LeaveAll() {
    const int depth = depth_;
    depth_ = 0;
    for (int i = 0; i < depth; ++i) mutex_.unlock();
    return depth;
  }
  // Takes the levels LeaveAll gave up again.
  void EnterAgain(int depth) {
    for (int i = 0; i < depth; ++i) mutex_.lock();
    depth_ = depth;
  }

  // BasicLockable, so std::lock_guard / std::unique_lock work.
  void lock() { Enter(); }
  void unlock() { Leave(); }

  const std::string& Name() const { return name_; }

 private:
  std::recursive_mutex mutex_;
  int depth_ = 0;  // levels the owning thread holds; only the owner touches it
  std::string name_;
};

// Holds a TDbgCriticalSection for the lifetime of the guard.
using TDbgLock = std::lock_guard<TDbgCriticalSection>;

}  // namespace qdf
