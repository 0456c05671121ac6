#include "reader/ReadAheadThread.h"

namespace qdf {

TReadAheadThread::TReadAheadThread(TQdfPageReader* reader)
    : reader_(reader), thread_([this] { Run(); }) {}

TReadAheadThread::~TReadAheadThread() {
  Stop();
  if (thread_.joinable()) thread_.join();
}

void TReadAheadThread::Run() {
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    work_.wait(lock, [this] { return has_work_ || terminated_; });
    if (terminated_) return;
    has_work_ = false;
    busy_ = true;
    ++requests_;
    // A read-ahead request would read page_ through reader_ here.
    busy_ = false;
    page_ = 0xFFFFFFFFu;
    done_.notify_all();
  }
}

void TReadAheadThread::WaitIdle() {
  std::unique_lock<std::mutex> lock(mutex_);
  ++waits_;
  done_.wait(lock, [this] { return !busy_ && !has_work_; });
}

void TReadAheadThread::Stop() {
  {
    std::unique_lock<std::mutex> lock(mutex_);
    if (terminated_) return;
    done_.wait(lock, [this] { return !busy_ && !has_work_; });
    terminated_ = true;
  }
  work_.notify_all();
}

}  // namespace qdf
