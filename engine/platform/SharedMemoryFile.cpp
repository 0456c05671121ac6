// POSIX implementation of the shared memory file: open, grow, mmap.
#include "platform/SharedMemoryFile.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace qdf {

std::unique_ptr<TSharedMemoryFile> TSharedMemoryFile::Open(const std::string& path, size_t size,
                                                           bool create) {
  const int fd = ::open(path.c_str(), O_RDWR | O_CLOEXEC | (create ? O_CREAT : 0), 0666);
  if (fd < 0) return nullptr;
  struct stat st;
  bool ok = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
  // Growing by ftruncate fills with zeros; a concurrent grow to the same size
  // changes nothing.
  if (ok && static_cast<size_t>(st.st_size) < size)
    ok = ::ftruncate(fd, static_cast<off_t>(size)) == 0;
  void* map = ok ? ::mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0) : MAP_FAILED;
  ::close(fd);  // the mapping keeps the file
  if (map == MAP_FAILED) return nullptr;
  return std::unique_ptr<TSharedMemoryFile>(
      new TSharedMemoryFile(static_cast<uint8_t*>(map), size));
}

TSharedMemoryFile::~TSharedMemoryFile() { ::munmap(data_, size_); }

uint32_t CurrentProcessId() { return static_cast<uint32_t>(::getpid()); }

bool ProcessAlive(uint32_t pid) {
  if (pid == 0) return false;
  return ::kill(static_cast<pid_t>(pid), 0) == 0 || errno != ESRCH;
}

}  // namespace qdf
