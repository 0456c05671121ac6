// speedtrial_compare: runs SpeedTrial and sqlite_speedtrial at one scale with
// matching durability and prints one table: per test the seconds of each, the
// ratio, and whether their digests agree; then the totals and peak memory.
//
//   speedtrial_compare SPEEDTRIAL SQLITE_SPEEDTRIAL [scale] [--nosync]
//                      [--journal=delete|wal|memory] [--svg FILE]
//
// --svg FILE also writes the table as a bar chart: per test one bar for each
// engine, scaled to the slower of the two, with the seconds and the ratio.
// The file is plain SVG without external references.
//
// With syncs (the default) SpeedTrial runs with SyncCommits=1 and SQLite with
// synchronous=full; --nosync pairs SyncCommits=0 with synchronous=off.
// Exit status 0 when every digest agrees, 1 when one differs, 2 on errors.
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
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
  std::map<std::string, double> file_bytes;   // per test, the database's size on disk after it
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
    if (line.rfind("file ", 0) == 0) {
      const size_t colon = line.find(':');
      if (colon == std::string::npos) continue;
      r.file_bytes[line.substr(5, colon - 5)] = std::strtod(line.c_str() + colon + 1, nullptr);
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

struct TChartRow {
  std::string name;
  double quillon = 0;
  double sqlite = 0;
};

std::string XmlText(const std::string& text) {
  std::string out;
  for (char c : text) {
    switch (c) {
      case '&':
        out += "&amp;";
        break;
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      case '"':
        out += "&quot;";
        break;
      default:
        out += c;
    }
  }
  return out;
}

// The side-by-side table as an SVG bar chart. Each row's bars share one
// scale (the slower engine fills the bar width), so that short tests stay
// readable next to long ones; the seconds stand beside each bar and the
// ratio (dbQuillon / SQLite) at the right, red when dbQuillon is slower.
std::string ChartSvg(const std::string& title, const std::vector<TChartRow>& rows) {
  constexpr int kLeft = 90, kBarWidth = 430, kRight = 210, kTop = 70, kRowHeight = 40;
  constexpr int kBarHeight = 13;
  const int width = kLeft + kBarWidth + kRight;
  const int height = kTop + kRowHeight * static_cast<int>(rows.size()) + 20;
  const char* kQuillonColour = "#3b6fb6";
  const char* kSqliteColour = "#9a9a9a";
  std::ostringstream svg;
  svg << "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"" << width << "\" height=\"" << height
      << "\" viewBox=\"0 0 " << width << ' ' << height
      << "\" font-family=\"sans-serif\" font-size=\"12\">\n";
  svg << "<rect width=\"100%\" height=\"100%\" fill=\"white\"/>\n";
  svg << "<text x=\"10\" y=\"22\" font-size=\"15\" font-weight=\"bold\">" << XmlText(title)
      << "</text>\n";
  svg << "<rect x=\"10\" y=\"36\" width=\"12\" height=\"12\" fill=\"" << kQuillonColour
      << "\"/><text x=\"27\" y=\"46\">dbQuillon</text>\n";
  svg << "<rect x=\"110\" y=\"36\" width=\"12\" height=\"12\" fill=\"" << kSqliteColour
      << "\"/><text x=\"127\" y=\"46\">SQLite</text>\n";
  svg << "<text x=\"" << width - 10 << "\" y=\"46\" text-anchor=\"end\">seconds; ratio "
      << "dbQuillon / SQLite</text>\n";
  int y = kTop;
  for (const TChartRow& row : rows) {
    const double longest = std::max(row.quillon, row.sqlite);
    auto bar = [&](double seconds, int top, const char* colour) {
      const double w = longest > 0 ? kBarWidth * seconds / longest : 0;
      svg << "<rect x=\"" << kLeft << "\" y=\"" << top << "\" width=\"" << Fixed(w, 1)
          << "\" height=\"" << kBarHeight << "\" fill=\"" << colour << "\"/>";
      svg << "<text x=\"" << kLeft + static_cast<int>(w) + 5 << "\" y=\"" << top + 11 << "\">"
          << Fixed(seconds, 3) << " s</text>\n";
    };
    svg << "<text x=\"10\" y=\"" << y + 18 << "\" font-weight=\"bold\">" << XmlText(row.name)
        << "</text>\n";
    bar(row.quillon, y, kQuillonColour);
    bar(row.sqlite, y + kBarHeight + 2, kSqliteColour);
    if (row.sqlite > 0) {
      const double ratio = row.quillon / row.sqlite;
      svg << "<text x=\"" << width - 10 << "\" y=\"" << y + 18
          << "\" text-anchor=\"end\" font-weight=\"bold\" fill=\""
          << (ratio > 1.0 ? "#b3261e" : "#1e7b34") << "\">" << Fixed(ratio, 2) << "\u00d7</text>\n";
    }
    y += kRowHeight;
  }
  svg << "</svg>\n";
  return svg.str();
}

// The file size after `test` in MB with one decimal, "-" when not reported.
std::string Megabytes(const std::map<std::string, double>& sizes, const std::string& test) {
  const auto it = sizes.find(test);
  return it == sizes.end() ? "-" : Fixed(it->second / (1024.0 * 1024.0), 1);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::cerr << "usage: speedtrial_compare SPEEDTRIAL SQLITE_SPEEDTRIAL [scale] [--nosync] "
                 "[--journal=delete|wal|memory] [--svg FILE]\n";
    return 2;
  }
  const std::string quillon_exe = argv[1];
  const std::string sqlite_exe = argv[2];
  std::string scale = "1";
  bool sync = true;
  std::string journal = "delete";
  std::string svg_file;
  for (int i = 3; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--svg") {
      if (i + 1 >= argc) {
        std::cerr << "--svg needs a file name\n";
        return 2;
      }
      svg_file = argv[++i];
    } else if (arg == "--nosync") {
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
    const std::string title = "SpeedTrial at scale " + scale + ", " +
                              (sync ? "SyncCommits=1 against synchronous=full"
                                    : "SyncCommits=0 against synchronous=off") +
                              ", journal_mode=" + journal;
    std::cout << "\n" << title << "\n\n";
    std::vector<TChartRow> chart;
    std::cout
        << "Test       dbQuillon s   SQLite s    ratio  digests   file MB (dbQuillon, SQLite)\n";
    double total_q = 0, total_s = 0;
    bool all_agree = q.order == s.order;
    for (const std::string& name : q.order) {
      const double tq = q.seconds.at(name);
      const double ts = s.seconds.count(name) ? s.seconds.at(name) : 0.0;
      total_q += tq;
      total_s += ts;
      chart.push_back({name, tq, ts});
      const bool agree =
          s.digest.count(name) && q.digest.count(name) && q.digest.at(name) == s.digest.at(name);
      all_agree = all_agree && agree;
      char row[160];
      std::snprintf(row, sizeof row, "%-9s %12s %10s %8s  %-6s  %8s %8s\n", name.c_str(),
                    Fixed(tq, 3).c_str(), Fixed(ts, 3).c_str(),
                    ts > 0 ? Fixed(tq / ts, 2).c_str() : "-", agree ? "agree" : "DIFFER",
                    Megabytes(q.file_bytes, name).c_str(), Megabytes(s.file_bytes, name).c_str());
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
    if (!svg_file.empty()) {
      chart.push_back({"Total", total_q, total_s});
      std::ofstream out(svg_file, std::ios::trunc);
      out << ChartSvg(title, chart);
      out.close();
      if (!out) {
        std::cerr << svg_file << ": cannot write the chart\n";
        return 2;
      }
      std::cout << "Chart written to " << svg_file << "\n";
    }
    return all_agree ? 0 : 1;
  } catch (const std::exception& e) {
    std::cerr << e.what() << '\n';
    return 2;
  }
}
