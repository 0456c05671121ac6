// The platform's file access: the one place that talks to the operating
// system about files. Database files reach it through TFileSystem, which tests
// replace (TFaultFileSystem) to fail writes and syncs or to simulate power loss.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace qdf {

enum class TOpenMode {
  kReadOnly,         // read; others may read and write
  kReadWrite,        // read and write; others may not write (exclusive lock)
  kReadWriteShared,  // read and write without the lock: repair and test tools only
};

// One open file. Every failed or short transfer raises EQdfException naming the
// file, the position and the operating-system error.
class TFileHandle {
 public:
  explicit TFileHandle(std::string path) : path_(std::move(path)) {}
  virtual ~TFileHandle() = default;
  TFileHandle(const TFileHandle&) = delete;
  TFileHandle& operator=(const TFileHandle&) = delete;

  // Reads exactly n bytes at pos; a read past the end of the file raises.
  virtual void ReadAt(uint64_t pos, void* buf, size_t n) = 0;
  // Reads up to n bytes at pos; returns how many were there (0 at or past the end).
  virtual size_t ReadUpTo(uint64_t pos, void* buf, size_t n) = 0;
  // Writes exactly n bytes at pos, extending the file when needed.
  virtual void WriteAt(uint64_t pos, const void* buf, size_t n) = 0;
  // Makes everything written so far durable.
  virtual void Sync() = 0;
  virtual uint64_t Size() = 0;
  virtual void Truncate(uint64_t size) = 0;

  const std::string& Path() const { return path_; }

 private:
  std::string path_;
};

// Opens, creates and removes files. REQUIRES: implementations are thread-safe.
class TFileSystem {
 public:
  virtual ~TFileSystem() = default;

  // Opens an existing file. A read-write open takes an exclusive lock: a second
  // writer, also in another process, fails. Raises EQdfException
  // "cannot open file: <path>: <why>" when the file cannot be opened (the OS
  // error, or "locked by another writer").
  virtual std::unique_ptr<TFileHandle> Open(const std::string& path, TOpenMode mode) = 0;
  // Creates (or empties) a file and opens it read-write.
  virtual std::unique_ptr<TFileHandle> Create(const std::string& path) = 0;
  // Creates `path` holding `data`, synced, unless it exists: false then. The
  // native file system makes the file appear whole or not at all, so that
  // no other process ever opens it half written, and two processes creating
  // one name never both succeed. Raises like Create.
  virtual bool CreateExclusive(const std::string& path, const void* data, size_t size);
  virtual bool Exists(const std::string& path) = 0;
  // Removes a file; returns false when it could not be removed.
  virtual bool Delete(const std::string& path) = 0;
  // Makes the entries of the folder that holds `path` durable: a file created
  // (or removed) there before survives (stays removed) across a power loss
  // once this returns. Raises EQdfException naming the folder on failure.
  // By default the operating system's file system does it.
  virtual void SyncDirectoryOf(const std::string& path);
  // Modification time as a file time (100 ns units since 1601-01-01 UTC); 0 when missing.
  virtual int64_t ModificationTime(const std::string& path) = 0;

  // The operating system's file system.
  static TFileSystem& Native();
};

// The file system database files go through: Native() unless a test replaced it.
TFileSystem& DatabaseFileSystem();
// Replaces the database file system (nullptr restores Native()). The caller
// keeps ownership and must restore it before destroying the replacement.
void SetDatabaseFileSystem(TFileSystem* fs);

}  // namespace qdf
