// POSIX implementation of the file layer. No other engine file includes
// operating-system headers for files.
#include "platform/FileSystem.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>

#include "base/QdfException.h"
#include "platform/Clock.h"

namespace qdf {
namespace {

[[noreturn]] void RaiseIo(const char* what, const std::string& path, uint64_t pos, int err) {
  throw EQdfException(Format("%s failed on file %s at position %llu: %s", what, path.c_str(),
                             static_cast<unsigned long long>(pos), std::strerror(err)));
}

class TPosixFile final : public TFileHandle {
 public:
  TPosixFile(std::string path, int fd) : TFileHandle(std::move(path)), fd_(fd) {}
  ~TPosixFile() override { ::close(fd_); }  // also drops the flock

  void ReadAt(uint64_t pos, void* buf, size_t n) override {
    size_t got = ReadUpTo(pos, buf, n);
    if (got != n) {
      throw EQdfException(Format("read failed on file %s at position %llu: %zu of %zu bytes",
                                 Path().c_str(), static_cast<unsigned long long>(pos), got, n));
    }
  }

  size_t ReadUpTo(uint64_t pos, void* buf, size_t n) override {
    size_t done = 0;
    auto* p = static_cast<uint8_t*>(buf);
    while (done < n) {
      ssize_t r = ::pread(fd_, p + done, n - done, static_cast<off_t>(pos + done));
      if (r < 0) {
        if (errno == EINTR) continue;
        RaiseIo("read", Path(), pos + done, errno);
      }
      if (r == 0) break;
      done += static_cast<size_t>(r);
    }
    return done;
  }

  void WriteAt(uint64_t pos, const void* buf, size_t n) override {
    size_t done = 0;
    const auto* p = static_cast<const uint8_t*>(buf);
    while (done < n) {
      ssize_t r = ::pwrite(fd_, p + done, n - done, static_cast<off_t>(pos + done));
      if (r < 0) {
        if (errno == EINTR) continue;
        RaiseIo("write", Path(), pos + done, errno);
      }
      if (r == 0) RaiseIo("write", Path(), pos + done, ENOSPC);
      done += static_cast<size_t>(r);
    }
  }

  void Sync() override {
    while (::fdatasync(fd_) != 0) {
      if (errno != EINTR) RaiseIo("sync", Path(), 0, errno);
    }
  }

  uint64_t Size() override {
    struct stat st;
    if (::fstat(fd_, &st) != 0) RaiseIo("stat", Path(), 0, errno);
    return static_cast<uint64_t>(st.st_size);
  }

  void Truncate(uint64_t size) override {
    while (::ftruncate(fd_, static_cast<off_t>(size)) != 0) {
      if (errno != EINTR) RaiseIo("truncate", Path(), size, errno);
    }
  }

 private:
  int fd_;
};

// "cannot open file: <path>: <why>", the why from the OS error.
[[noreturn]] void RaiseCannotOpen(const std::string& path, int err) {
  throw EQdfException("cannot open file: " + path + ": " + std::strerror(err));
}

// One writer per file, also across processes. Closes `fd` and raises when
// another holds the lock.
void LockForWriting(const std::string& path, int fd) {
  if (::flock(fd, LOCK_EX | LOCK_NB) == 0) return;
  const int err = errno;
  ::close(fd);
  if (err == EWOULDBLOCK) {
    throw EQdfException("cannot open file: " + path + ": locked by another writer");
  }
  RaiseCannotOpen(path, err);
}

class TNativeFileSystem final : public TFileSystem {
 public:
  bool CreateExclusive(const std::string& path, const void* data, size_t size) override {
    // Written and synced under a name of this process's own, then linked in
    // place: link() never replaces an existing file.
    static std::atomic<int> serial{0};
    const std::string temp = path + "." + std::to_string(::getpid()) + "." +
                             std::to_string(serial.fetch_add(1)) + ".new";
    {
      std::unique_ptr<TFileHandle> f = Create(temp);
      try {
        f->WriteAt(0, data, size);
        f->Sync();
      } catch (...) {
        f.reset();
        ::unlink(temp.c_str());
        throw;
      }
    }
    const int linked = ::link(temp.c_str(), path.c_str());
    const int err = errno;
    ::unlink(temp.c_str());
    if (linked == 0) return true;
    if (err == EEXIST) return false;
    RaiseCannotOpen(path, err);
  }

 public:
  std::unique_ptr<TFileHandle> Open(const std::string& path, TOpenMode mode) override {
    int flags = (mode == TOpenMode::kReadOnly ? O_RDONLY : O_RDWR) | O_CLOEXEC;
    int fd = ::open(path.c_str(), flags);
    if (fd < 0) RaiseCannotOpen(path, errno);
    if (mode == TOpenMode::kReadWrite) LockForWriting(path, fd);
    return std::make_unique<TPosixFile>(path, fd);
  }

  std::unique_ptr<TFileHandle> Create(const std::string& path) override {
    int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) RaiseCannotOpen(path, errno);
    LockForWriting(path, fd);
    return std::make_unique<TPosixFile>(path, fd);
  }

  bool Exists(const std::string& path) override {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
  }

  bool Delete(const std::string& path) override { return ::unlink(path.c_str()) == 0; }

  void SyncDirectoryOf(const std::string& path) override {
    const size_t slash = path.rfind('/');
    const std::string dir = slash == std::string::npos ? "." : path.substr(0, slash + 1);
    const int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) RaiseIo("open folder", dir, 0, errno);
    while (::fsync(fd) != 0) {
      if (errno == EINTR) continue;
      const int err = errno;
      ::close(fd);
      // Folders that cannot be synced (some file systems) keep their entries
      // all the same; anything else is an error.
      if (err == EINVAL || err == EROFS) return;
      RaiseIo("sync", dir, 0, err);
    }
    ::close(fd);
  }

  int64_t ModificationTime(const std::string& path) override {
    struct stat st;
    if (::stat(path.c_str(), &st) != 0) return 0;
    return UnixNanosToFileTime(static_cast<int64_t>(st.st_mtim.tv_sec) * 1000000000LL +
                               st.st_mtim.tv_nsec);
  }
};

std::atomic<TFileSystem*> g_database_fs{nullptr};

}  // namespace

bool TFileSystem::CreateExclusive(const std::string& path, const void* data, size_t size) {
  if (Exists(path)) return false;
  std::unique_ptr<TFileHandle> f = Create(path);
  f->WriteAt(0, data, size);
  f->Sync();
  return true;
}

void TFileSystem::SyncDirectoryOf(const std::string& path) { Native().SyncDirectoryOf(path); }

TFileSystem& TFileSystem::Native() {
  static TNativeFileSystem native;
  return native;
}

TFileSystem& DatabaseFileSystem() {
  TFileSystem* fs = g_database_fs.load(std::memory_order_acquire);
  return fs ? *fs : TFileSystem::Native();
}

void SetDatabaseFileSystem(TFileSystem* fs) { g_database_fs.store(fs, std::memory_order_release); }

}  // namespace qdf
