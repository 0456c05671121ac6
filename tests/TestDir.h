// A private temporary folder for one test, removed with everything in it.
#pragma once

#include <cstdlib>
#include <filesystem>
#include <string>

namespace qdf_test {

class TTestDir {
 public:
  TTestDir() {
    const char* base = std::getenv("TMPDIR");
    std::string templ = std::string(base && *base ? base : "/tmp") + "/qdf-test-XXXXXX";
    char* made = mkdtemp(templ.data());
    path_ = made ? std::string(made) + "/" : std::string("/tmp/");
  }
  ~TTestDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
  }
  TTestDir(const TTestDir&) = delete;
  TTestDir& operator=(const TTestDir&) = delete;

  // The folder, with a trailing '/'.
  const std::string& Path() const { return path_; }
  std::string File(const std::string& name) const { return path_ + name; }

 private:
  std::string path_;
};

}  // namespace qdf_test
