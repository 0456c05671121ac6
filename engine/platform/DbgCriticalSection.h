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
  void Enter() { mutex_.lock(); }
  void Leave() { mutex_.unlock(); }
  bool TryEnter() { return mutex_.try_lock(); }

  // BasicLockable, so std::lock_guard / std::unique_lock work.
  void lock() { Enter(); }
  void unlock() { Leave(); }

  const std::string& Name() const { return name_; }

 private:
  std::recursive_mutex mutex_;
  std::string name_;
};

// Holds a TDbgCriticalSection for the lifetime of the guard.
using TDbgLock = std::lock_guard<TDbgCriticalSection>;

}  // namespace qdf
