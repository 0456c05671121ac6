// The crash harness: runs a workload of commits once to learn every write and
// sync it makes and the state after each commit, then runs it again once per
// operation and
//   - kills the process right after that operation landed: the file as left,
//     the file with every write since the last sync lost, and a number of
//     power-loss outcomes drawn from those writes (each kept or lost, the
//     last one possibly torn) must each be the state before the commit under
//     way or after it, the latter once the commit's last sync completed;
//   - fails that operation instead: the commit must raise a clear error, a
//     retry must not commit onto pages that may be lost, and the file as
//     left and after a power loss must again be one of the two states.
// Every state seen must also pass the integrity check (DatabaseProblems).
//
// A workload may span several database files (FileCount, CrashFilePath):
// the harness then watches all of them and the commit records beside them,
// and judges them together: every file at the state before the commit under
// way or every file at the state after it. A commit is certain once its
// record and the record's folder entry are synced (for one file: once its
// header is synced). A state with a commit record or marker is opened from
// every file in turn (completing the interrupted commit from each); others
// from one file, another each time.
//
// QDF_CRASH_DRAWS sets the power-loss outcomes drawn per crash point
// (default 2), besides the one that loses every unsynced write.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace qdf {
class TFaultFileSystem;
}

namespace qdf_test {

class TCrashRun;

class TCrashWorkload {
 public:
  virtual ~TCrashWorkload() = default;
  // The database files the workload uses: CrashFilePath(path, i) for i below
  // this, `path` being the first.
  virtual int FileCount() const { return 1; }
  // Builds the committed state the runs start from.
  virtual void Prepare(const std::string& path) = 0;
  // Runs the commits under test on `path`; each commit goes through
  // run.Commit. May raise (the injected crash or failure).
  virtual void Run(const std::string& path, TCrashRun& run) = 0;
};

// The i-th database file of a workload whose first file is `first`
// (i = 0: `first`), in the same folder.
std::string CrashFilePath(const std::string& first, int i);

class TCrashRun {
 public:
  enum class TMode { kReference, kCrash, kFail };
  // `paths`: the workload's files; the reference run copies them after
  // each commit into the folders `snapshot_prefix` + 1, + 2, ...
  TCrashRun(TMode mode, qdf::TFaultFileSystem& fs, std::vector<std::string> paths,
            std::string snapshot_prefix);

  // Runs one commit. A failed commit (kFail) is retried once, then its
  // error goes on to end the run.
  void Commit(const std::function<void()>& commit);

  // Operation counts at the end of each commit (reference run).
  const std::vector<int>& Boundaries() const { return boundaries_; }
  // Folders with copies of the files after each commit (reference run).
  const std::vector<std::string>& Snapshots() const { return snapshots_; }
  // The index into the file system's journal where the commit under way
  // began (after the last one that completed).
  size_t LastCommitStart() const { return last_commit_start_; }
  bool RetrySucceeded() const { return retry_succeeded_; }

 private:
  TMode mode_;
  qdf::TFaultFileSystem& fs_;
  std::vector<std::string> paths_;
  std::string snapshot_prefix_;
  size_t last_commit_start_ = 0;
  std::vector<int> boundaries_;
  std::vector<std::string> snapshots_;
  bool retry_succeeded_ = false;
};

struct TCrashFigures {
  int files = 0;
  int commits = 0;
  int operations = 0;  // writes and syncs of the commits under test
  int crash_runs = 0;  // runs killed at an operation
  int fail_runs = 0;   // runs with an operation failed
  int images = 0;      // file states examined (as left and power-loss outcomes)
  int distinct = 0;    // of those, different files checked
  int retries_committed = 0;
};

// Everything a reader sees of a database: its object tree (names and
// classes), the schema version, every record of every table not named with
// "$" (fields in class order, blobs by their bytes; object IDs left out,
// since every run draws new ones) and the key count of every index.
std::string DatabaseFingerprint(const std::string& path);
// The integrity check's problems, one per line; empty when sound.
std::string DatabaseProblems(const std::string& path);

// Runs the harness; failures are reported through gtest. Returns the figures.
TCrashFigures RunCrashHarness(TCrashWorkload& workload);

}  // namespace qdf_test
