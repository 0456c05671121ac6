// speedtrial_compare: runs SpeedTrial and sqlite_speedtrial at one scale with
// matching durability and prints one table: per test the seconds of each, the
// ratio, and whether their digests agree; then the totals and peak memory.
//
//   speedtrial_compare SPEEDTRIAL SQLITE_SPEEDTRIAL [scale] [--nosync]
//                      [--journal=delete|wal|memory]
//
// With syncs (the default) SpeedTrial runs with SyncCommits=1 and SQLite with
// synchronous=full; --nosync pairs SyncCommits=0 with synchronous=off.
// Exit status 0 when every digest agrees, 1 when one differs, 2 on errors.
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

struct TRun {
  std::string output;
  long peak_kb = 0;
  int status = 0;
};

// Runs argv with extra environment entries, stdin from /dev/null, and
// collects its standard output and peak resident size.
TRun RunProgram(const std::vector<std::string>& args, const std::vector<std::string>& env) {
  int pipe_fd[2];
  if (pipe(pipe_fd) != 0) throw std::runtime_error("pipe failed");
  const pid_t pid = fork();
  if (pid < 0) throw std::runtime_error("fork failed");
  if (pid == 0) {
    dup2(pipe_fd[1], STDOUT_FILENO);
    close(pipe_fd[0]);
    close(pipe_fd[1]);
    const int null_fd = open("/dev/null", O_RDONLY);
    if (null_fd >= 0) dup2(null_fd, STDIN_FILENO);
    for (const std::string& e : env) putenv(const_cast<char*>(e.c_str()));
    std::vector<char*> argv;
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    execv(argv[0], argv.data());
    std::perror(argv[0]);
    _exit(127);
  }
  close(pipe_fd[1]);
  TRun run;
  char buffer[4096];
  ssize_t n;
  while ((n = read(pipe_fd[0], buffer, sizeof buffer)) > 0) {
    run.output.append(buffer, static_cast<size_t>(n));
    std::cerr << std::string_view(buffer, static_cast<size_t>(n)) << std::flush;
  }
  close(pipe_fd[0]);
  struct rusage usage {};
  int status = 0;
  if (wait4(pid, &status, 0, &usage) < 0) throw std::runtime_error("wait failed");
  run.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  run.peak_kb = usage.ru_maxrss;
  return run;
}

struct TResult {
  std::vector<std::string> order;             // test names as they ran
  std::map<std::string, double> seconds;      // per test
  std::map<std::string, std::string> digest;  // per test, the text after "digest <test>:"
};

// "Test 2: 25000 ...  done in 1.234 sec", "Test 16 ...  t1  t2  t3  done in 0.1 sec",
// "digest Test 2: t1=..."
TResult Parse(const std::string& output) {
  TResult r;
  std::istringstream in(output);
  std::string line;
  while (std::getline(in, line)) {
    if (line.rfind("digest ", 0) == 0) {
      const size_t colon = line.find(':');
      if (colon == std::string::npos) continue;
      r.digest[line.substr(7, colon - 7)] = line.substr(colon + 1);
      continue;
    }
    if (line.rfind("Test ", 0) != 0) continue;
    const size_t end = line.find_first_of(": ", 5);
    const std::string name = line.substr(0, end);
    const size_t done = line.rfind(" done in ");
    if (done == std::string::npos) continue;
    r.order.push_back(name);
    r.seconds[name] = std::strtod(line.c_str() + done + 9, nullptr);
  }
  return r;
}

std::string Fixed(double value, int decimals) {
  char text[32];
  std::snprintf(text, sizeof text, "%.*f", decimals, value);
  return text;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::cerr << "usage: speedtrial_compare SPEEDTRIAL SQLITE_SPEEDTRIAL [scale] [--nosync] "
                 "[--journal=delete|wal|memory]\n";
    return 2;
  }
  const std::string quillon_exe = argv[1];
  const std::string sqlite_exe = argv[2];
  std::string scale = "1";
  bool sync = true;
  std::string journal = "delete";
  for (int i = 3; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--nosync") {
      sync = false;
    } else if (arg.rfind("--journal=", 0) == 0) {
      journal = arg.substr(10);
    } else if (!arg.empty() && arg[0] != '-') {
      scale = arg;
    } else {
      std::cerr << "unknown option " << arg << '\n';
      return 2;
    }
  }

  try {
    // SpeedTrial reads SyncCommits from quillon.ini in its configuration folder.
    const std::filesystem::path config =
        std::filesystem::temp_directory_path() / ("speedtrial-compare-" + std::to_string(getpid()));
    std::filesystem::create_directories(config);
    std::ofstream(config / "quillon.ini") << "[INIT]\nSyncCommits=" << (sync ? 1 : 0) << "\n";

    const TRun quillon = RunProgram({quillon_exe, scale, "--digest"},
                                    {"QUILLON_CONFIG_DIR=" + config.string(), "QUILLON_TRACE=0"});
    std::filesystem::remove_all(config);
    const TRun sqlite = RunProgram({sqlite_exe, scale, "--digest",
                                    sync ? "--sync=full" : "--sync=off", "--journal=" + journal},
                                   {});
    if (quillon.status != 0 || sqlite.status != 0) {
      std::cerr << "a run failed (SpeedTrial exit " << quillon.status << ", sqlite_speedtrial exit "
                << sqlite.status << ")\n";
      return 2;
    }

    const TResult q = Parse(quillon.output);
    const TResult s = Parse(sqlite.output);
    std::cout << "\nSpeedTrial at scale " << scale << ", "
              << (sync ? "SyncCommits=1 against synchronous=full"
                       : "SyncCommits=0 against synchronous=off")
              << ", journal_mode=" << journal << "\n\n";
    std::cout << "Test       dbQuillon s   SQLite s    ratio  digests\n";
    double total_q = 0, total_s = 0;
    bool all_agree = q.order == s.order;
    for (const std::string& name : q.order) {
      const double tq = q.seconds.at(name);
      const double ts = s.seconds.count(name) ? s.seconds.at(name) : 0.0;
      total_q += tq;
      total_s += ts;
      const bool agree =
          s.digest.count(name) && q.digest.count(name) && q.digest.at(name) == s.digest.at(name);
      all_agree = all_agree && agree;
      char row[160];
      std::snprintf(row, sizeof row, "%-9s %12s %10s %8s  %s\n", name.c_str(), Fixed(tq, 3).c_str(),
                    Fixed(ts, 3).c_str(), ts > 0 ? Fixed(tq / ts, 2).c_str() : "-",
                    agree ? "agree" : "DIFFER");
      std::cout << row;
      if (!agree) {
        std::cout << "    dbQuillon:" << (q.digest.count(name) ? q.digest.at(name) : " (none)")
                  << "\n    SQLite:   " << (s.digest.count(name) ? s.digest.at(name) : " (none)")
                  << "\n";
      }
    }
    char row[160];
    std::snprintf(row, sizeof row, "%-9s %12s %10s %8s  %s\n", "Total", Fixed(total_q, 3).c_str(),
                  Fixed(total_s, 3).c_str(),
                  total_s > 0 ? Fixed(total_q / total_s, 2).c_str() : "-",
                  all_agree ? "all agree" : "DIFFER");
    std::cout << row;
    std::snprintf(row, sizeof row, "%-9s %9.1f MB %7.1f MB\n", "Peak RSS", quillon.peak_kb / 1024.0,
                  sqlite.peak_kb / 1024.0);
    std::cout << row;
    return all_agree ? 0 : 1;
  } catch (const std::exception& e) {
    std::cerr << e.what() << '\n';
    return 2;
  }
}
