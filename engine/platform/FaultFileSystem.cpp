#include "platform/FaultFileSystem.h"

#include <algorithm>
#include <cstring>
#include <iterator>

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
    TFaultFileSystem::TVerdict verdict;
    try {
      verdict = fs_.BeforeWrite(Path(), *inner_, pos, buf, n, &keep);
    } catch (...) {
      if (keep > 0 && keep < n) inner_->WriteAt(pos, buf, keep);  // the short part lands
      throw;
    }
    if (verdict == TFaultFileSystem::TVerdict::kDrop) return;
    inner_->WriteAt(pos, buf, n);
    if (verdict == TFaultFileSystem::TVerdict::kProceed) fs_.AfterOp(Path(), 'w');
  }
  void Sync() override {
    const TFaultFileSystem::TVerdict verdict = fs_.BeforeSync(Path());
    // Power loss is simulated from the logs: a real sync would only cost
    // the tests time.
    if (verdict != TFaultFileSystem::TVerdict::kProceed) return;
    fs_.AfterSync(Path(), inner_->Size());
    fs_.AfterOp(Path(), 's');
  }
  uint64_t Size() override { return inner_->Size(); }
  void Truncate(uint64_t size) override {
    if (!fs_.DeadFor(Path())) inner_->Truncate(size);
  }

 private:
  TFaultFileSystem& fs_;
  std::unique_ptr<TFileHandle> inner_;
};

TFaultFileSystem::~TFaultFileSystem() = default;

void TFaultFileSystem::Watch(const std::string& path) {
  std::lock_guard<std::mutex> g(mutex_);
  watched_.insert(path);
}

namespace {

std::string FolderOf(const std::string& path) {
  const size_t slash = path.rfind('/');
  return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

}  // namespace

bool TFaultFileSystem::Watched(const std::string& path) const {
  return watched_.empty() || watched_.count(path) != 0 || watched_.count(FolderOf(path)) != 0;
}

bool TFaultFileSystem::DeadFor(const std::string& path) const {
  std::lock_guard<std::mutex> g(mutex_);
  return dead_ && Watched(path);
}

void TFaultFileSystem::SetVolatileFolders(bool on) {
  std::lock_guard<std::mutex> g(mutex_);
  volatile_folders_ = on;
}

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

void TFaultFileSystem::AfterOp(const std::string& path, char kind) {
  std::lock_guard<std::mutex> g(mutex_);
  ++ops_;
  journal_.push_back(TEvent{kind, ops_, path});
  if (crash_at_ != 0 && ops_ == crash_at_) {
    crash_at_ = 0;
    dead_ = true;
    throw EQdfException(Format("simulated crash after writing %s", path.c_str()));
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
bool TFaultFileSystem::Crashed() const {
  std::lock_guard<std::mutex> g(mutex_);
  return dead_;
}
bool TFaultFileSystem::FailPending() const {
  std::lock_guard<std::mutex> g(mutex_);
  return fail_op_at_ != 0;
}

void TFaultFileSystem::NoteOpened(const std::string& path, uint64_t size) {
  std::lock_guard<std::mutex> g(mutex_);
  if (!Watched(path)) return;
  TFileLog& log = logs_[path];
  if (!log.known_size) {
    log.known_size = true;
    log.synced_size = size;
  }
}

TFaultFileSystem::TVerdict TFaultFileSystem::BeforeWrite(const std::string& path,
                                                         TFileHandle& inner, uint64_t pos,
                                                         const void* buf, size_t n, size_t* keep) {
  std::lock_guard<std::mutex> g(mutex_);
  if (!Watched(path)) return TVerdict::kPassThrough;
  if (dead_) return TVerdict::kDrop;
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
  // Keep what the region held and what lands, so a power loss can undo the
  // write or let it survive.
  TWrite write;
  write.pos = pos;
  const uint64_t size = inner.Size();
  if (pos < size) {
    write.old_bytes.resize(static_cast<size_t>(std::min<uint64_t>(n, size - pos)));
    inner.ReadUpTo(pos, write.old_bytes.data(), write.old_bytes.size());
  }
  const bool short_write = short_write_at_ != 0 && writes_ == short_write_at_;
  const size_t lands = short_write ? std::min(short_keep_, n) : n;
  const auto* bytes = static_cast<const uint8_t*>(buf);
  write.new_bytes.assign(bytes, bytes + lands);
  logs_[path].writes.push_back(std::move(write));
  if (short_write) {
    short_write_at_ = 0;
    *keep = lands;
    fail("short write (injected)");
  }
  return TVerdict::kProceed;
}

TFaultFileSystem::TVerdict TFaultFileSystem::BeforeSync(const std::string& path) {
  std::lock_guard<std::mutex> g(mutex_);
  if (!Watched(path)) return TVerdict::kPassThrough;
  if (dead_) return TVerdict::kDrop;
  ++syncs_;
  ++attempts_;
  if ((fail_sync_at_ != 0 && syncs_ == fail_sync_at_) ||
      (fail_op_at_ != 0 && attempts_ == fail_op_at_)) {
    if (attempts_ == fail_op_at_) fail_op_at_ = 0;
    fail_sync_at_ = 0;
    // As on a real system after a failed sync: what it was to make durable
    // may be gone (the kernel dropped the dirty pages), and a later sync
    // succeeds without bringing it back.
    ForgetUnsynced(path, logs_[path]);
    throw EQdfException(Format(
        "sync failed on file %s at position 0: Input/output error (injected)", path.c_str()));
  }
  return TVerdict::kProceed;
}

void TFaultFileSystem::AfterSync(const std::string& path, uint64_t size) {
  std::lock_guard<std::mutex> g(mutex_);
  TFileLog& log = logs_[path];
  log.writes.clear();
  log.known_size = true;
  log.synced_size = size;
}

std::vector<uint8_t> TFaultFileSystem::Image(const std::string& path, const TFileLog& log,
                                             std::mt19937* rng) {
  std::vector<uint8_t> image;
  {
    auto f = Native().Open(path, TOpenMode::kReadOnly);
    image.resize(static_cast<size_t>(f->Size()));
    image.resize(f->ReadUpTo(0, image.data(), image.size()));
  }
  // Back to the synced state: undo the writes, newest first.
  for (auto it = log.writes.rbegin(); it != log.writes.rend(); ++it) {
    if (it->pos >= image.size()) continue;
    const size_t n = std::min<size_t>(it->old_bytes.size(), image.size() - it->pos);
    if (n > 0) std::memcpy(image.data() + it->pos, it->old_bytes.data(), n);
  }
  if (log.known_size) image.resize(static_cast<size_t>(log.synced_size));
  if (rng == nullptr) return image;
  // Then the writes that made it, oldest first.
  for (size_t i = 0; i < log.writes.size(); ++i) {
    const TWrite& w = log.writes[i];
    size_t n = w.new_bytes.size();
    const bool last = i + 1 == log.writes.size();
    const unsigned choice = (*rng)() % (last ? 3u : 2u);  // 0 lost, 1 whole, 2 torn
    if (choice == 0 || n == 0) continue;
    if (choice == 2) {
      // Torn after a whole number of sectors of the file.
      const uint64_t first = (w.pos / 512 + 1) * 512;
      const uint64_t end = w.pos + n;
      if (first < end) {
        const uint64_t cuts = (end - first + 511) / 512;
        n = static_cast<size_t>(first + 512 * ((*rng)() % cuts) - w.pos);
      }
    }
    if (image.size() < w.pos + n) image.resize(static_cast<size_t>(w.pos + n), 0);
    std::memcpy(image.data() + w.pos, w.new_bytes.data(), n);
  }
  return image;
}

bool TFaultFileSystem::PowerLossImage(const std::string& path, const std::string& out,
                                      std::mt19937* rng) {
  std::lock_guard<std::mutex> g(mutex_);
  static const TFileLog kNothingLogged;
  const std::vector<uint8_t>* bytes = nullptr;
  std::vector<uint8_t> image;
  auto entry = entries_.find(path);
  // A folder entry not yet synced: without luck the change is lost.
  const bool entry_kept = entry == entries_.end() || (rng != nullptr && (*rng)() % 2 == 1);
  if (!entry_kept) {
    if (entry->second.present_before) bytes = &entry->second.bytes_before;
  } else if (Native().Exists(path)) {
    auto it = logs_.find(path);
    image = Image(path, it != logs_.end() ? it->second : kNothingLogged, rng);
    bytes = &image;
  }
  if (bytes == nullptr) {
    Native().Delete(out);
    return false;
  }
  auto f = Native().Create(out);
  if (!bytes->empty()) f->WriteAt(0, bytes->data(), bytes->size());
  return true;
}

std::vector<std::string> TFaultFileSystem::Paths() const {
  std::lock_guard<std::mutex> g(mutex_);
  std::set<std::string> all;
  for (const auto& [path, log] : logs_) all.insert(path);
  for (const auto& [path, entry] : entries_) all.insert(path);
  return std::vector<std::string>(all.begin(), all.end());
}

std::vector<TFaultFileSystem::TEvent> TFaultFileSystem::Journal() const {
  std::lock_guard<std::mutex> g(mutex_);
  return journal_;
}

void TFaultFileSystem::ForgetUnsynced(const std::string& path, TFileLog& log) {
  if (log.writes.empty()) return;
  if (!Native().Exists(path)) {
    log.writes.clear();
    return;
  }
  // The engine's own handle may hold the exclusive lock: repair through a
  // second descriptor that does not ask for it.
  auto rw = Native().Open(path, TOpenMode::kReadWriteShared);
  for (auto it = log.writes.rbegin(); it != log.writes.rend(); ++it) {
    if (!it->old_bytes.empty()) rw->WriteAt(it->pos, it->old_bytes.data(), it->old_bytes.size());
  }
  if (log.known_size) rw->Truncate(log.synced_size);
  log.writes.clear();
}

void TFaultFileSystem::SimulatePowerLoss() {
  std::lock_guard<std::mutex> g(mutex_);
  for (auto& [path, log] : logs_) ForgetUnsynced(path, log);
}

std::unique_ptr<TFileHandle> TFaultFileSystem::Open(const std::string& path, TOpenMode mode) {
  auto inner = Native().Open(path, mode);
  NoteOpened(path, inner->Size());
  return std::make_unique<TFaultFile>(*this, std::move(inner));
}

std::unique_ptr<TFileHandle> TFaultFileSystem::Create(const std::string& path) {
  {
    std::lock_guard<std::mutex> g(mutex_);
    if (dead_ && Watched(path)) {
      throw EQdfException(Format("cannot open file: %s: simulated crash", path.c_str()));
    }
    if (volatile_folders_ && Watched(path) && entries_.count(path) == 0 && !Native().Exists(path)) {
      entries_[path] = TEntry{};  // new: absent until its folder is synced
    }
  }
  auto inner = Native().Create(path);
  {
    std::lock_guard<std::mutex> g(mutex_);
    if (Watched(path)) {
      TFileLog& log = logs_[path];
      log.writes.clear();
      log.known_size = true;
      log.synced_size = 0;
    }
  }
  return std::make_unique<TFaultFile>(*this, std::move(inner));
}

bool TFaultFileSystem::Exists(const std::string& path) { return Native().Exists(path); }

bool TFaultFileSystem::Delete(const std::string& path) {
  std::lock_guard<std::mutex> g(mutex_);
  if (!Watched(path)) return Native().Delete(path);
  if (dead_) return false;
  if (volatile_folders_ && entries_.count(path) == 0 && Native().Exists(path)) {
    // Until the folder is synced a power loss may bring it back as synced.
    static const TFileLog kNothingLogged;
    auto it = logs_.find(path);
    entries_[path] =
        TEntry{true, Image(path, it != logs_.end() ? it->second : kNothingLogged, nullptr)};
  }
  logs_.erase(path);
  const bool deleted = Native().Delete(path);
  if (deleted) journal_.push_back(TEvent{'x', 0, path});
  return deleted;
}

void TFaultFileSystem::SyncDirectoryOf(const std::string& path) {
  {
    std::lock_guard<std::mutex> g(mutex_);
    if (!Watched(path)) {
      Native().SyncDirectoryOf(path);
      return;
    }
    if (dead_) return;
    ++attempts_;
    if (fail_op_at_ != 0 && attempts_ == fail_op_at_) {
      fail_op_at_ = 0;
      throw EQdfException(Format("sync failed on folder %s: Input/output error (injected)",
                                 FolderOf(path).c_str()));
    }
    const std::string folder = FolderOf(path);
    for (auto it = entries_.begin(); it != entries_.end();) {
      it = FolderOf(it->first) == folder ? entries_.erase(it) : std::next(it);
    }
  }
  AfterOp(path, 'd');
}

int64_t TFaultFileSystem::ModificationTime(const std::string& path) {
  return Native().ModificationTime(path);
}

}  // namespace qdf
