// TReadAheadThread: the worker each page reader owns for reading pages ahead.
// No read-ahead request is issued today, so the thread only waits for work;
// it exists so that a reader's life cycle (create, wait idle, stop) is the one
// that read-ahead will need.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>

namespace qdf {

class TQdfPageReader;

class TReadAheadThread {
 public:
  // Starts the thread at once.
  explicit TReadAheadThread(TQdfPageReader* reader);
  // Stops the thread (when not yet stopped) and waits for it to end.
  ~TReadAheadThread();
  TReadAheadThread(const TReadAheadThread&) = delete;
  TReadAheadThread& operator=(const TReadAheadThread&) = delete;

  // Returns when the thread has no request in progress.
  void WaitIdle();
  // Marks the thread terminated, waits until it is idle and wakes it so it ends.
  void Stop();

  uint32_t RequestCount() const { return requests_; }
  uint32_t WaitCount() const { return waits_; }

 private:
  void Run();

  TQdfPageReader* reader_;
  std::mutex mutex_;
  std::condition_variable work_;  // signalled for work or termination
  std::condition_variable done_;  // signalled when a request has finished
  bool has_work_ = false;
  bool busy_ = false;
  bool terminated_ = false;
  uint32_t page_ = 0xFFFFFFFFu;
  uint32_t requests_ = 0;
  uint32_t waits_ = 0;
  std::thread thread_;
};

}  // namespace qdf
