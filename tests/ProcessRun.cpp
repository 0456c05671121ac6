#include "ProcessRun.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <filesystem>

extern char** environ;

namespace qdf_test {

namespace {

bool Overridden(const std::string& entry, const std::vector<std::string>& names) {
  for (const std::string& n : names) {
    if (entry.size() > n.size() && entry.compare(0, n.size(), n) == 0 && entry[n.size()] == '=') {
      return true;
    }
  }
  return false;
}

}  // namespace

std::string ShellQuote(const std::string& s) {
  std::string q = "'";
  for (char c : s) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return q + "'";
}

std::string SelfExe() {
  std::error_code ec;
  return std::filesystem::read_symlink("/proc/self/exe", ec).string();
}

TRunResult RunProcess(const std::string& command, const TRunOptions& options) {
  TRunResult result;
  std::vector<std::string> names = {"QUILLON_TRACE"};
  if (!options.dir.empty()) {
    names.push_back("QUILLON_CONFIG_DIR");
    names.push_back("TMPDIR");
  }
  for (const auto& [name, value] : options.env) names.push_back(name);
  std::vector<std::string> env_text;
  for (char** e = environ; *e != nullptr; ++e) {
    if (!Overridden(*e, names)) env_text.push_back(*e);
  }
  env_text.push_back("QUILLON_TRACE=0");
  if (!options.dir.empty()) {
    env_text.push_back("QUILLON_CONFIG_DIR=" + options.dir);
    env_text.push_back("TMPDIR=" + options.dir);
  }
  for (const auto& [name, value] : options.env) env_text.push_back(name + "=" + value);
  std::vector<char*> env;
  for (std::string& s : env_text) env.push_back(s.data());
  env.push_back(nullptr);

  int fds[2];
  if (pipe(fds) != 0) return result;
  const pid_t pid = fork();
  if (pid < 0) {
    close(fds[0]);
    close(fds[1]);
    return result;
  }
  if (pid == 0) {
    close(fds[0]);
    dup2(fds[1], 1);
    if (options.merge_stderr) dup2(fds[1], 2);
    close(fds[1]);
    const int null_in = open("/dev/null", O_RDONLY);
    if (null_in >= 0) dup2(null_in, 0);
    if (!options.dir.empty() && chdir(options.dir.c_str()) != 0) _exit(127);
    execle("/bin/sh", "sh", "-c", command.c_str(), static_cast<char*>(nullptr), env.data());
    _exit(127);
  }
  close(fds[1]);
  const auto deadline =
      std::chrono::steady_clock::now() + std::chrono::seconds(options.timeout_seconds);
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) {
      kill(pid, SIGKILL);
      result.timed_out = true;
      break;
    }
    pollfd p{fds[0], POLLIN, 0};
    const int r = poll(&p, 1, static_cast<int>(left.count()));
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) continue;
    char buf[4096];
    const ssize_t n = read(fds[0], buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    result.output.append(buf, static_cast<size_t>(n));
  }
  close(fds[0]);
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  if (!result.timed_out && WIFEXITED(status)) result.code = WEXITSTATUS(status);
  return result;
}

}  // namespace qdf_test
