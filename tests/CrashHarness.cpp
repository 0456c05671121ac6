#include "CrashHarness.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <random>
#include <string_view>
#include <unordered_map>

#include "EnvSize.h"
#include "FileBytes.h"
#include "TestDir.h"
#include "check/IntegrityCheck.h"
#include "file/FileTestUtil.h"
#include "file/IndirectPageReader.h"
#include "file/LocalFiler.h"
#include "file/MultiFileCommit.h"
#include "object/QHStorage.h"
#include "platform/FaultFileSystem.h"
#include "record/Fields.h"
#include "record/ItemClass.h"
#include "storage/Storage.h"
#include "table/BlobField.h"
#include "table/Index.h"
#include "table/Table.h"

namespace qdf_test {
namespace {

void CopyFile(const std::string& from, const std::string& to) {
  std::filesystem::copy_file(from, to, std::filesystem::copy_options::overwrite_existing);
}

// The files of a workload as they lie in `folder` (same names as `first`'s).
std::vector<std::string> FilesIn(const std::string& folder, const std::vector<std::string>& names) {
  std::vector<std::string> files;
  for (const std::string& n : names) files.push_back(folder + n);
  return files;
}

std::string BaseName(const std::string& path) { return path.substr(path.rfind('/') + 1); }

void FreshFolder(const std::string& folder) {
  std::filesystem::remove_all(folder);
  std::filesystem::create_directories(folder);
}

// Copies the database files and the commit files beside them that exist.
void CopySet(const std::vector<std::string>& files, const std::string& to) {
  FreshFolder(to);
  for (const std::string& f : files) {
    CopyFile(f, to + BaseName(f));
    const std::string side = qdf::TMultiFileCommit::SidePath(f);
    if (std::filesystem::exists(side)) CopyFile(side, to + BaseName(side));
  }
}

// True when the events from `from` on made the commit record `record`
// durable (its bytes synced, then its folder, with no removal in between):
// the commit under way happened.
bool RecordMadeDurable(const std::vector<qdf::TFaultFileSystem::TEvent>& events, size_t from,
                       const std::string& record) {
  bool synced = false;
  for (size_t i = from; i < events.size(); ++i) {
    if (events[i].path != record) continue;
    if (events[i].kind == 's') synced = true;
    if (events[i].kind == 'x') synced = false;
    if (events[i].kind == 'd' && synced) return true;
  }
  return false;
}

// What readers see of the files `names` in `folder`: each file's
// fingerprint, opened from file `start` on (the first open completes an
// interrupted commit), and the integrity check's problems.
struct TSeen {
  std::string fingerprint;
  std::string problems;
};

TSeen SeeFiles(const std::vector<std::string>& names, const std::string& folder, size_t start) {
  std::vector<std::string> prints(names.size());
  for (size_t k = 0; k < names.size(); ++k) {
    const size_t i = (start + k) % names.size();
    try {
      prints[i] = DatabaseFingerprint(folder + names[i]);
    } catch (const std::exception& e) {
      prints[i] = std::string("cannot be opened: ") + e.what();
    }
  }
  TSeen seen;
  for (size_t i = 0; i < names.size(); ++i) {
    if (names.size() > 1) seen.fingerprint += "== file " + std::to_string(i + 1) + "\n";
    seen.fingerprint += prints[i];
    try {
      const std::string p = DatabaseProblems(folder + names[i]);
      if (!p.empty()) seen.problems += names[i] + ": " + p;
    } catch (const std::exception& e) {
      seen.problems += names[i] + ": the check fails: " + e.what() + "\n";
    }
  }
  return seen;
}

// Judges sets of files against the states the reference run committed;
// sets already seen (byte for byte, opened from the same file) are not
// opened again.
class TJudge {
 public:
  TJudge(const std::vector<std::string>& names, const std::vector<std::string>& states,
         TCrashFigures& figures)
      : names_(names), states_(states), figures_(figures) {}

  // The files in `folder` must hold state k or k + 1 together (only k + 1
  // when `must_be_newer`, only k when `must_be_older`) and be sound. Files
  // with a commit record or a marker beside them are opened from every file
  // in turn (each on a copy: opening completes the commit), others from one
  // file, another each time.
  void Expect(const std::string& folder, size_t k, bool must_be_newer, bool must_be_older,
              const std::string& what) {
    bool beside = false;
    for (const std::string& n : names_) {
      beside = beside || std::filesystem::exists(folder + SideName(n));
    }
    if (!beside || names_.size() == 1) {
      const size_t start = static_cast<size_t>(figures_.images) % names_.size();
      ExpectFrom(folder, start, k, must_be_newer, must_be_older, what);
      return;
    }
    for (size_t start = 0; start < names_.size(); ++start) {
      const std::string copy =
          folder.substr(0, folder.size() - 1) + "-from" + std::to_string(start + 1) + "/";
      FreshFolder(copy);
      for (const auto& e : std::filesystem::directory_iterator(folder)) {
        if (e.is_regular_file()) CopyFile(e.path().string(), copy + e.path().filename().string());
      }
      ExpectFrom(copy, start, k, must_be_newer, must_be_older, what);
    }
  }

 private:
  static std::string SideName(const std::string& file) {
    return BaseName(qdf::TMultiFileCommit::SidePath(file));
  }

  void ExpectFrom(const std::string& folder, size_t start, size_t k, bool must_be_newer,
                  bool must_be_older, const std::string& what) {
    ++figures_.images;
    std::string bytes = std::to_string(start);
    for (const std::string& n : names_) {
      bytes += "|" + ReadFileText(folder + n);
      if (std::filesystem::exists(folder + SideName(n))) {
        bytes += "|side:" + ReadFileText(folder + SideName(n));
      }
    }
    const size_t key = std::hash<std::string_view>()(bytes);
    auto it = seen_.find(key);
    if (it == seen_.end()) {
      ++figures_.distinct;
      it = seen_.emplace(key, SeeFiles(names_, folder, start)).first;
    }
    const TSeen& seen = it->second;
    const bool is_older = seen.fingerprint == states_[k];
    const bool is_newer = seen.fingerprint == states_[k + 1];
    EXPECT_TRUE(is_older || is_newer)
        << what << " (opened from file " << start + 1 << "): neither the state before commit "
        << k + 1 << " nor after it:\n"
        << seen.fingerprint;
    if (must_be_newer) {
      EXPECT_TRUE(is_newer) << what << ": commit " << k + 1 << " was lost";
    }
    if (must_be_older) {
      EXPECT_TRUE(is_older) << what << ": the failed commit " << k + 1 << " is in the file";
    }
    EXPECT_EQ(seen.problems, "") << what;
  }

  const std::vector<std::string>& names_;
  const std::vector<std::string>& states_;
  TCrashFigures& figures_;
  std::unordered_map<size_t, TSeen> seen_;
};

}  // namespace

std::string DatabaseFingerprint(const std::string& path) {
  using namespace qdf;
  TQdfFilerRef filer = TQdfFilerRef::Adopt(new TQdfLocalFiler(path, true, "FINGERPRINT"));
  TQdfIndirectPageReader reader(filer.get());
  reader.Open(true);
  std::unique_ptr<TQdfStorage> storage(static_cast<TQdfStorage*>(
      TQdfPersistentObject::Create(TQdfStorage::kClassInfo, nullptr).release()));
  storage->OpenRoot(&reader);
  std::string text = "version " + std::to_string(storage->Root()->SchemaVersion()) + "\n";
  std::vector<std::string> tables;
  std::function<void(const TQdfPersistentObject&)> walk = [&](const TQdfPersistentObject& o) {
    for (int i = 0; i < o.ObjectsCount(); ++i) {
      const TQdfPersistentObject* c = o.ChildAt(i);
      text += c->FullName() + ":" + c->ClassInfo()->name + "\n";
      if (c->IsKindOf(TQdfTable::kClassInfo) && c->ObjectName().rfind('$', 0) != 0) {
        tables.push_back(c->ObjectName());
      }
      walk(*c);
    }
  };
  walk(*storage);
  std::string blob;
  for (const std::string& name : tables) {
    auto t = storage->TableByName(name);
    text += "table " + name + "\n";
    for (t->First(); t->Cursor().Item() != nullptr; t->Next()) {
      TQdfItemClass* cls = t->CursorClass();
      text += cls->ObjectName();
      for (int f = 0; f < cls->FieldCount(); ++f) {
        TQdfField* field = cls->FieldAt(f);
        if (field->IsKindOf(TQdfBlobField::kClassInfo)) {
          static_cast<TQdfBlobField*>(field)->ReadBlob(blob);
          text += "|" + std::to_string(std::hash<std::string>()(blob)) + "/" +
                  std::to_string(blob.size());
        } else if (!field->IsKindOf(TQdfObjectIDField::kClassInfo)) {
          text += "|" + field->GetAsString();
        }
      }
      text += "\n";
    }
    for (TQdfIndex* ix : t->Indexes()) {
      int64_t keys = 0;
      for (ix->First(); !ix->Position().IsNull(); ix->Next()) ++keys;
      text += ix->ObjectName() + " keys " + std::to_string(keys) + "\n";
    }
  }
  return text;
}

std::string DatabaseProblems(const std::string& path) {
  const qdf::TQdfCheckReport check = qdf::CheckDatabase(path);
  std::string text;
  for (const std::string& line : check.problems) text += line + "\n";
  if (!check.Sound() && text.empty()) text = "problems found, none listed";
  return text;
}

std::string CrashFilePath(const std::string& first, int i) {
  if (i == 0) return first;
  const size_t dot = first.rfind('.');
  const size_t slash = first.rfind('/');
  const bool has_ext = dot != std::string::npos && (slash == std::string::npos || dot > slash);
  const std::string stem = has_ext ? first.substr(0, dot) : first;
  return stem + "_" + std::to_string(i + 1) + (has_ext ? first.substr(dot) : std::string());
}

TCrashRun::TCrashRun(TMode mode, qdf::TFaultFileSystem& fs, std::vector<std::string> paths,
                     std::string snapshot_prefix)
    : mode_(mode),
      fs_(fs),
      paths_(std::move(paths)),
      snapshot_prefix_(std::move(snapshot_prefix)) {}

void TCrashRun::Commit(const std::function<void()>& commit) {
  last_commit_start_ = fs_.Journal().size();
  try {
    commit();
  } catch (const std::exception&) {
    // An application may well try again; that must not commit what the
    // failed attempt may have lost.
    if (mode_ == TMode::kFail) {
      try {
        commit();
        retry_succeeded_ = true;
      } catch (const std::exception&) {
      }
    }
    throw;
  }
  boundaries_.push_back(fs_.OpCount());
  last_commit_start_ = fs_.Journal().size();
  if (mode_ == TMode::kReference) {
    snapshots_.push_back(snapshot_prefix_ + std::to_string(snapshots_.size() + 1) + "/");
    FreshFolder(snapshots_.back());
    for (const std::string& p : paths_) CopyFile(p, snapshots_.back() + BaseName(p));
  }
}

namespace {

// The commit a faulted run was in: the reference's, unless the run's own
// commits ended at other operations than the reference's (block sizes follow
// object IDs drawn from the clock, so a commit may take a write more or
// less). Then only the states before and after the run's commit under way
// are certain, and `exact` is false.
size_t CommitUnderWay(const std::vector<int>& reference, const std::vector<int>& run, size_t j,
                      bool* exact) {
  *exact = run.size() == j && std::equal(run.begin(), run.end(), reference.begin());
  return *exact ? j : std::min(run.size(), reference.size() - 1);
}

}  // namespace

TCrashFigures RunCrashHarness(TCrashWorkload& workload) {
  constexpr uint32_t kSeed = 20261207;
  TCrashFigures figures;
  TTestDir dir;
  const std::string base_dir = dir.File("base/");
  const std::string work_dir = dir.File("work/");
  const std::string image_dir = dir.File("image/");
  figures.files = std::max(1, workload.FileCount());
  std::vector<std::string> names;
  for (int i = 0; i < figures.files; ++i) names.push_back(BaseName(CrashFilePath("db.qdf", i)));
  const std::vector<std::string> base = FilesIn(base_dir, names);
  const std::vector<std::string> work = FilesIn(work_dir, names);
  const std::string record = qdf::TMultiFileCommit::SidePath(work[0]);
  FreshFolder(base_dir);
  workload.Prepare(base[0]);
  std::vector<std::string> states;
  // Adds the state of the files in `folder`, which must be sound.
  auto add_state = [&](const std::string& folder, const std::string& what) {
    const TSeen seen = SeeFiles(names, folder, 0);
    EXPECT_EQ(seen.problems, "") << what;
    states.push_back(seen.fingerprint);
  };
  add_state(base_dir, "the prepared state");
  // Runs the workload on copies of the prepared files, watching them and
  // what a commit puts beside them; false when it raised (`error`).
  auto run_workload = [&](qdf::TFaultFileSystem& fs, TCrashRun& run, std::string* error) {
    CopySet(base, work_dir);
    fs.SetVolatileFolders(true);
    for (const std::string& w : work) {
      fs.Watch(w);
      fs.Watch(qdf::TMultiFileCommit::SidePath(w));
    }
    TFaultScope scope(fs);
    try {
      workload.Run(work[0], run);
    } catch (const std::exception& e) {
      *error = e.what();
      return false;
    }
    return true;
  };

  // The reference run: the operations of each commit and the states after.
  std::vector<int> boundaries;
  {
    qdf::TFaultFileSystem fs;
    TCrashRun run(TCrashRun::TMode::kReference, fs, work, dir.File("after"));
    std::string error;
    if (!run_workload(fs, run, &error)) {
      ADD_FAILURE() << "the workload fails without faults: " << error;
      return figures;
    }
    boundaries = run.Boundaries();
    for (const std::string& snapshot : run.Snapshots()) {
      add_state(snapshot, "after commit " + std::to_string(states.size()));
      EXPECT_NE(states.back(), states[states.size() - 2])
          << "commit " << states.size() - 1 << " changes nothing a fingerprint shows";
    }
  }
  if (boundaries.empty()) {
    ADD_FAILURE() << "the workload commits nothing";
    return figures;
  }
  figures.commits = static_cast<int>(boundaries.size());
  figures.operations = boundaries.back();
  const long draws = EnvSize("QDF_CRASH_DRAWS", 2);
  TJudge judge(names, states, figures);
  for (int op = 1; op <= figures.operations; ++op) {
    // The commit under way at this operation: from state j to state j + 1.
    size_t j = 0;
    while (op > boundaries[j]) ++j;
    for (const bool killed : {true, false}) {
      qdf::TFaultFileSystem fs;
      killed ? fs.CrashAfterOp(op) : fs.FailOpAfter(op);
      TCrashRun run(killed ? TCrashRun::TMode::kCrash : TCrashRun::TMode::kFail, fs, work, "");
      std::string error;
      const bool raised = !run_workload(fs, run, &error);
      bool exact = true;
      const size_t k = CommitUnderWay(boundaries, run.Boundaries(), j, &exact);
      const bool durable = RecordMadeDurable(fs.Journal(), run.LastCommitStart(), record);
      std::string what = (killed ? "killed after op " : "failed op ") + std::to_string(op);
      bool must_be_newer = durable, must_be_older = false;
      if (killed ? !fs.Crashed() : fs.FailPending()) {
        // Object and commit IDs differ from run to run, and with them the
        // sizes of compressed pages and of the free list: a run may end an
        // operation earlier than the reference run (each run on its own).
        // Past its end there is nothing to kill or fail.
        EXPECT_FALSE(raised) << what << ": " << error;
        EXPECT_LT(fs.OpCount(), op) << what << ": not reached";
        continue;
      }
      if (killed) {
        ++figures.crash_runs;
        must_be_newer = durable || (exact && op == boundaries[j]);
      } else {
        ++figures.fail_runs;
        EXPECT_TRUE(raised) << what << ": the run went on as if nothing happened";
        EXPECT_TRUE(!raised || !error.empty()) << what << ": an empty message";
        figures.retries_committed += run.RetrySucceeded() ? 1 : 0;
        // Past its commit point a failed commit is completed when the files
        // are opened again; before it, it never happened.
        must_be_older = !durable;
      }
      // The files as the run left them, then `draws` + 1 power-loss outcomes
      // of them (outcome 0 loses every write and folder change since its
      // sync), each judged together.
      CopySet(work, image_dir);
      judge.Expect(image_dir, k, must_be_newer, must_be_older, what);
      for (long d = 0; d <= draws; ++d) {
        std::mt19937 rng((killed ? kSeed + static_cast<uint32_t>(op) * 1009u
                                 : kSeed ^ (static_cast<uint32_t>(op) * 7919u)) +
                         static_cast<uint32_t>(d));
        FreshFolder(image_dir);
        for (const std::string& w : work) {
          fs.PowerLossImage(w, image_dir + BaseName(w), d == 0 ? nullptr : &rng);
          const std::string side = qdf::TMultiFileCommit::SidePath(w);
          fs.PowerLossImage(side, image_dir + BaseName(side), d == 0 ? nullptr : &rng);
        }
        judge.Expect(image_dir, k, must_be_newer, must_be_older,
                     what + ", power loss outcome " + std::to_string(d));
      }
    }
  }
  std::printf(
      "crash harness: %d files, %d commits, %d operations, %d killed runs, %d failed runs, "
      "%d states examined (%d distinct), %d retries went through\n",
      figures.files, figures.commits, figures.operations, figures.crash_runs, figures.fail_runs,
      figures.images, figures.distinct, figures.retries_committed);
  return figures;
}

}  // namespace qdf_test
