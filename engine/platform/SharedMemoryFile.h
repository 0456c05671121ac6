// TSharedMemoryFile: a small file mapped into the memory of every process
// that opens it, so that processes sharing a database can publish state to
// each other without a server (the reader table lives in one). Words in it are
// read and written with atomic operations only; the file's bytes on disk do
// not matter after the last process unmaps it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace qdf {

class TSharedMemoryFile {
 public:
  // Maps the first `size` bytes of `path` shared and read-write. With
  // `create`, a missing file is made (zero-filled); a shorter file is grown
  // with zeros, never shrunk (two processes may do this at once). Returns
  // nullptr, never raises, when the file cannot be opened or mapped (a
  // folder without write access, a file of another owner): callers go on
  // without what the file would have shared.
  static std::unique_ptr<TSharedMemoryFile> Open(const std::string& path, size_t size, bool create);
  ~TSharedMemoryFile();
  TSharedMemoryFile(const TSharedMemoryFile&) = delete;
  TSharedMemoryFile& operator=(const TSharedMemoryFile&) = delete;

  // The mapping: `Size()` bytes, aligned to the system's page size.
  uint8_t* Data() const { return data_; }
  size_t Size() const { return size_; }

 private:
  TSharedMemoryFile(uint8_t* data, size_t size) : data_(data), size_(size) {}
  uint8_t* data_;
  size_t size_;
};

// The operating system's number of this process.
uint32_t CurrentProcessId();
// False only when no process of that number exists any more (a process of
// another user counts as alive).
bool ProcessAlive(uint32_t pid);

}  // namespace qdf
