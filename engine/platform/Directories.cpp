#include "platform/Directories.h"

#include <unistd.h>

#include <cstdlib>

namespace qdf {

std::string IncludeTrailingSeparator(std::string path) {
  if (!path.empty() && path.back() != '/') path.push_back('/');
  return path;
}

std::string AppDir() {
  char buf[4096];
  ssize_t n = ::readlink("/proc/self/exe", buf, sizeof buf - 1);
  if (n <= 0) return "./";
  std::string exe(buf, static_cast<size_t>(n));
  size_t slash = exe.rfind('/');
  return slash == std::string::npos ? std::string("./") : exe.substr(0, slash + 1);
}

namespace {
std::string FromEnv(const char* name, const char* fallback) {
  const char* v = std::getenv(name);
  return IncludeTrailingSeparator((v && *v) ? std::string(v) : std::string(fallback));
}
}  // namespace

std::string WindowsDir() { return FromEnv("QUILLON_CONFIG_DIR", "/etc/"); }
std::string TempDir() { return FromEnv("TMPDIR", "/tmp/"); }

}  // namespace qdf
