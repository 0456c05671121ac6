#include "platform/FaultFileSystem.h"

#include <algorithm>

#include "base/QdfException.h"

namespace qdf {

// A file of the fault file system: forwards to the native handle after the
// file system has had its say.
class TFaultFile final : public TFileHandle {
 public:
  TFaultFile(TFaultFileSystem& fs, std::unique_ptr<TFileHandle> inner)
      : TFileHandle(inner->Path()), fs_(fs), inner_(std::move(inner)) {}

  void ReadAt(uint64_t pos, void* buf, size_t n) override { inner_->ReadAt(pos, buf, n); }
  size_t ReadUpTo(uint64_t pos, void* buf, size_t n) override {
    return inner_->ReadUpTo(pos, buf, n);
  }
  void WriteAt(uint64_t pos, const void* buf, size_t n) override {
    size_t keep = n;
    try {
      fs_.BeforeWrite(Path(), *inner_, pos, n, &keep);
    } catch (...) {
      if (keep > 0 && keep < n) inner_->WriteAt(pos, buf, keep);  // the short part lands
      throw;
    }
    inner_->WriteAt(pos, buf, n);
    fs_.AfterOp();
  }
  void Sync() override {
    fs_.BeforeSync(Path());
    inner_->Sync();
    fs_.AfterSync(Path(), inner_->Size());
    fs_.AfterOp();
  }
  uint64_t Size() override { return inner_->Size(); }
  void Truncate(uint64_t size) override { inner_->Truncate(size); }

 private:
  TFaultFileSystem& fs_;
  std::unique_ptr<TFileHandle> inner_;
};

TFaultFileSystem::~TFaultFileSystem() = default;

void TFaultFileSystem::FailWriteAfter(int n) {
  std::lock_guard<std::mutex> g(mutex_);
  fail_write_at_ = n > 0 ? writes_ + n : 0;
}
void TFaultFileSystem::FailSyncAfter(int n) {
  std::lock_guard<std::mutex> g(mutex_);
  fail_sync_at_ = n > 0 ? syncs_ + n : 0;
}
void TFaultFileSystem::ShortWriteAfter(int n, size_t keep) {
  std::lock_guard<std::mutex> g(mutex_);
  short_write_at_ = n > 0 ? writes_ + n : 0;
  short_keep_ = keep;
}
void TFaultFileSystem::FailOpAfter(int n) {
  std::lock_guard<std::mutex> g(mutex_);
  fail_op_at_ = n > 0 ? attempts_ + n : 0;
}

void TFaultFileSystem::CrashAfterOp(int n) {
  std::lock_guard<std::mutex> g(mutex_);
  crash_at_ = n > 0 ? ops_ + n : 0;
}

void TFaultFileSystem::AfterOp() {
  std::lock_guard<std::mutex> g(mutex_);
  ++ops_;
  if (crash_at_ != 0 && ops_ == crash_at_) {
    crash_at_ = 0;
    throw EQdfException("simulated crash");
  }
}

void TFaultFileSystem::SetDiskFull(bool on) {
  std::lock_guard<std::mutex> g(mutex_);
  disk_full_ = on;
}
int TFaultFileSystem::WriteCount() const {
  std::lock_guard<std::mutex> g(mutex_);
  return writes_;
}
int TFaultFileSystem::OpCount() const {
  std::lock_guard<std::mutex> g(mutex_);
  return ops_;
}
int TFaultFileSystem::SyncCount() const {
  std::lock_guard<std::mutex> g(mutex_);
  return syncs_;
}

void TFaultFileSystem::NoteOpened(const std::string& path, uint64_t size) {
  std::lock_guard<std::mutex> g(mutex_);
  TFileLog& log = logs_[path];
  if (!log.known_size) {
    log.known_size = true;
    log.synced_size = size;
  }
}

void TFaultFileSystem::BeforeWrite(const std::string& path, TFileHandle& inner, uint64_t pos,
                                   size_t n, size_t* keep) {
  std::lock_guard<std::mutex> g(mutex_);
  ++writes_;
  ++attempts_;
  auto fail = [&](const char* why) {
    throw EQdfException(Format("write failed on file %s at position %llu: %s", path.c_str(),
                               static_cast<unsigned long long>(pos), why));
  };
  if (fail_op_at_ != 0 && attempts_ == fail_op_at_) {
    fail_op_at_ = 0;
    *keep = 0;
    fail("Input/output error (injected)");
  }
  if (disk_full_) {
    *keep = 0;
    fail("No space left on device");
  }
  if (fail_write_at_ != 0 && writes_ == fail_write_at_) {
    fail_write_at_ = 0;
    *keep = 0;
    fail("Input/output error (injected)");
  }
  // Record what the region held, so a power loss can undo the write.
  TUndo undo;
  undo.pos = pos;
  uint64_t size = inner.Size();
  if (pos < size) {
    undo.old_bytes.resize(static_cast<size_t>(std::min<uint64_t>(n, size - pos)));
    inner.ReadUpTo(pos, undo.old_bytes.data(), undo.old_bytes.size());
  }
  logs_[path].undo.push_back(std::move(undo));
  if (short_write_at_ != 0 && writes_ == short_write_at_) {
    short_write_at_ = 0;
    *keep = std::min(short_keep_, n);
    fail("short write (injected)");
  }
}

void TFaultFileSystem::BeforeSync(const std::string& path) {
  std::lock_guard<std::mutex> g(mutex_);
  ++syncs_;
  ++attempts_;
  if ((fail_sync_at_ != 0 && syncs_ == fail_sync_at_) ||
      (fail_op_at_ != 0 && attempts_ == fail_op_at_)) {
    if (attempts_ == fail_op_at_) fail_op_at_ = 0;
    fail_sync_at_ = 0;
    throw EQdfException(Format(
        "sync failed on file %s at position 0: Input/output error (injected)", path.c_str()));
  }
}

void TFaultFileSystem::AfterSync(const std::string& path, uint64_t size) {
  std::lock_guard<std::mutex> g(mutex_);
  TFileLog& log = logs_[path];
  log.undo.clear();
  log.known_size = true;
  log.synced_size = size;
}

void TFaultFileSystem::SimulatePowerLoss() {
  std::lock_guard<std::mutex> g(mutex_);
  for (auto& [path, log] : logs_) {
    if (log.undo.empty()) continue;
    if (!Native().Exists(path)) {
      log.undo.clear();
      continue;
    }
    // The engine's own handle may hold the exclusive lock: repair through a
    // second descriptor that does not ask for it.
    auto rw = Native().Open(path, TOpenMode::kReadWriteShared);
    for (auto it = log.undo.rbegin(); it != log.undo.rend(); ++it) {
      if (!it->old_bytes.empty()) rw->WriteAt(it->pos, it->old_bytes.data(), it->old_bytes.size());
    }
    if (log.known_size) rw->Truncate(log.synced_size);
    log.undo.clear();
  }
}

std::unique_ptr<TFileHandle> TFaultFileSystem::Open(const std::string& path, TOpenMode mode) {
  auto inner = Native().Open(path, mode);
  NoteOpened(path, inner->Size());
  return std::make_unique<TFaultFile>(*this, std::move(inner));
}

std::unique_ptr<TFileHandle> TFaultFileSystem::Create(const std::string& path) {
  auto inner = Native().Create(path);
  {
    std::lock_guard<std::mutex> g(mutex_);
    TFileLog& log = logs_[path];
    log.undo.clear();
    log.known_size = true;
    log.synced_size = 0;
  }
  return std::make_unique<TFaultFile>(*this, std::move(inner));
}

bool TFaultFileSystem::Exists(const std::string& path) { return Native().Exists(path); }

bool TFaultFileSystem::Delete(const std::string& path) {
  std::lock_guard<std::mutex> g(mutex_);
  logs_.erase(path);
  return Native().Delete(path);
}

int64_t TFaultFileSystem::ModificationTime(const std::string& path) {
  return Native().ModificationTime(path);
}

}  // namespace qdf
