#include "CrashHarness.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string_view>
#include <unordered_map>

#include "TestDir.h"
#include "check/IntegrityCheck.h"
#include "file/IndirectPageReader.h"
#include "file/LocalFiler.h"
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

// Installs a fault file system for the database files of one scope.
class TFaultScope {
 public:
  explicit TFaultScope(qdf::TFaultFileSystem& fs) { qdf::SetDatabaseFileSystem(&fs); }
  ~TFaultScope() { qdf::SetDatabaseFileSystem(nullptr); }
  TFaultScope(const TFaultScope&) = delete;
  TFaultScope& operator=(const TFaultScope&) = delete;
};

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void CopyFile(const std::string& from, const std::string& to) {
  std::filesystem::copy_file(from, to, std::filesystem::copy_options::overwrite_existing);
}

int DrawsFromEnvironment(int asked) {
  if (asked >= 0) return asked;
  const char* env = std::getenv("QDF_CRASH_DRAWS");
  return env != nullptr ? std::max(0, std::atoi(env)) : 2;
}

// Judges file states against the states the reference run committed; files
// already seen (byte for byte) are not opened again.
class TJudge {
 public:
  TJudge(TCrashWorkload& workload, const std::vector<std::string>& states, TCrashFigures& figures)
      : workload_(workload), states_(states), figures_(figures) {}

  // The file must hold state `older` or `newer` (only `newer` when
  // `must_be_newer`, only `older` when `must_be_older`) and be sound.
  void Expect(const std::string& path, size_t older, size_t newer, bool must_be_newer,
              bool must_be_older, const std::string& what) {
    ++figures_.images;
    const std::string bytes = ReadFile(path);
    const size_t key = std::hash<std::string_view>()(bytes);
    auto it = seen_.find(key);
    if (it == seen_.end()) {
      ++figures_.distinct;
      TSeen seen;
      try {
        seen.fingerprint = workload_.Fingerprint(path);
        seen.problems = workload_.Problems(path);
      } catch (const std::exception& e) {
        seen.fingerprint = std::string("cannot be opened: ") + e.what();
      }
      it = seen_.emplace(key, std::move(seen)).first;
    }
    const TSeen& seen = it->second;
    const bool is_older = seen.fingerprint == states_[older];
    const bool is_newer = seen.fingerprint == states_[newer];
    EXPECT_TRUE(is_older || is_newer)
        << what << ": neither the state before commit " << newer << " nor after it:\n"
        << seen.fingerprint;
    if (must_be_newer) {
      EXPECT_TRUE(is_newer) << what << ": commit " << newer << " was lost";
    }
    if (must_be_older) {
      EXPECT_TRUE(is_older) << what << ": the failed commit " << newer << " is in the file";
    }
    EXPECT_EQ(seen.problems, "") << what;
  }

 private:
  struct TSeen {
    std::string fingerprint;
    std::string problems;
  };
  TCrashWorkload& workload_;
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

TCrashRun::TCrashRun(TMode mode, qdf::TFaultFileSystem& fs, std::string path,
                     std::string snapshot_prefix)
    : mode_(mode), fs_(fs), path_(std::move(path)), snapshot_prefix_(std::move(snapshot_prefix)) {}

void TCrashRun::Commit(const std::function<void()>& commit) {
  if (mode_ != TMode::kFail) {
    commit();
    boundaries_.push_back(fs_.OpCount());
    if (mode_ == TMode::kReference) {
      snapshots_.push_back(snapshot_prefix_ + std::to_string(snapshots_.size() + 1) + ".qdf");
      CopyFile(path_, snapshots_.back());
    }
    return;
  }
  try {
    commit();
    boundaries_.push_back(fs_.OpCount());
  } catch (const std::exception& e) {
    failure_ = e.what();
    // An application may well try again; that must not commit what the
    // failed attempt may have lost.
    try {
      commit();
      retry_succeeded_ = true;
    } catch (const std::exception&) {
    }
    throw;
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

TCrashFigures RunCrashHarness(TCrashWorkload& workload, const TCrashOptions& options) {
  TCrashFigures figures;
  TTestDir dir;
  const std::string base = dir.File("base.qdf");
  const std::string work = dir.File("work.qdf");
  const std::string image = dir.File("image.qdf");
  workload.Prepare(base);
  std::vector<std::string> states{workload.Fingerprint(base)};
  EXPECT_EQ(workload.Problems(base), "") << "the prepared state";

  // The reference run: the operations of each commit and the states after.
  std::vector<int> boundaries;
  {
    CopyFile(base, work);
    qdf::TFaultFileSystem fs;
    fs.Watch(work);
    TCrashRun run(TCrashRun::TMode::kReference, fs, work, dir.File("after"));
    {
      TFaultScope scope(fs);
      try {
        workload.Run(work, run);
      } catch (const std::exception& e) {
        ADD_FAILURE() << "the workload fails without faults: " << e.what();
        return figures;
      }
    }
    boundaries = run.Boundaries();
    for (const std::string& snapshot : run.Snapshots()) {
      states.push_back(workload.Fingerprint(snapshot));
      EXPECT_EQ(workload.Problems(snapshot), "") << "after commit " << states.size() - 1;
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
  const int draws = DrawsFromEnvironment(options.draws);
  TJudge judge(workload, states, figures);

  for (int op = 1; op <= figures.operations; ++op) {
    // The commit under way at this operation: from state j to state j + 1.
    size_t j = 0;
    while (op > boundaries[j]) ++j;
    const bool last_of_commit = op == boundaries[j];
    if (options.crash) {
      ++figures.crash_runs;
      CopyFile(base, work);
      qdf::TFaultFileSystem fs;
      fs.Watch(work);
      fs.CrashAfterOp(op);
      TCrashRun run(TCrashRun::TMode::kCrash, fs, work, std::string());
      {
        TFaultScope scope(fs);
        try {
          workload.Run(work, run);
        } catch (const std::exception&) {
        }
      }
      EXPECT_TRUE(fs.Crashed()) << "op " << op << " was not reached";
      const std::string what = "killed after op " + std::to_string(op);
      bool exact = true;
      const size_t k = CommitUnderWay(boundaries, run.Boundaries(), j, &exact);
      const bool must_be_newer = exact && last_of_commit;
      judge.Expect(work, k, k + 1, must_be_newer, false, what);
      for (int d = 0; d <= draws; ++d) {
        // Outcome 0 loses every write since the last sync; the others are drawn.
        std::mt19937 rng(options.seed + static_cast<uint32_t>(op) * 1009u +
                         static_cast<uint32_t>(d));
        fs.PowerLossImage(work, image, d == 0 ? nullptr : &rng);
        judge.Expect(image, k, k + 1, must_be_newer, false,
                     what + ", power loss outcome " + std::to_string(d));
      }
    }
    if (options.fail) {
      ++figures.fail_runs;
      CopyFile(base, work);
      qdf::TFaultFileSystem fs;
      fs.Watch(work);
      fs.FailOpAfter(op);
      TCrashRun run(TCrashRun::TMode::kFail, fs, work, std::string());
      bool raised = false;
      {
        TFaultScope scope(fs);
        try {
          workload.Run(work, run);
        } catch (const std::exception& e) {
          raised = true;
          EXPECT_NE(std::string(e.what()), "") << "op " << op << " failed with an empty message";
        }
      }
      const std::string what = "op " + std::to_string(op) + " failed";
      EXPECT_TRUE(raised) << what << " and the run went on as if nothing happened";
      figures.retries_committed += run.RetrySucceeded() ? 1 : 0;
      bool exact = true;
      const size_t k = CommitUnderWay(boundaries, run.Boundaries(), j, &exact);
      judge.Expect(work, k, k + 1, false, true, what);
      for (int d = 0; d <= draws; ++d) {
        std::mt19937 rng(options.seed ^
                         (static_cast<uint32_t>(op) * 7919u + static_cast<uint32_t>(d)));
        fs.PowerLossImage(work, image, d == 0 ? nullptr : &rng);
        judge.Expect(image, k, k + 1, false, true,
                     what + ", power loss outcome " + std::to_string(d));
      }
    }
  }
  std::printf(
      "crash harness: %d commits, %d operations, %d killed runs, %d failed runs, "
      "%d states examined (%d distinct), %d retries went through\n",
      figures.commits, figures.operations, figures.crash_runs, figures.fail_runs, figures.images,
      figures.distinct, figures.retries_committed);
  return figures;
}

}  // namespace qdf_test
