// The shared part of the fuzz drivers and, unless built for libFuzzer, the
// deterministic runner: the seeds first, then byte mutations of the seeds
// and of inputs the driver marked as deep, from a fixed random sequence.
//
//   fuzz_<name>                  runs QDF_FUZZ_RUNS mutated inputs (or the
//                                driver's default), at most QDF_FUZZ_SECONDS
//   fuzz_<name> FILE...          runs each file once (a saved failure)
//   fuzz_<name> --seeds DIR      writes the seeds to DIR (a libFuzzer corpus)
//
// QDF_FUZZ_SEED picks another mutation sequence; QDF_FUZZ_INPUT_TIMEOUT
// (seconds, default 60) ends a run whose one input takes longer, as a hang.
#include "FuzzRunner.h"

#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <random>
#include <sstream>

#include "FileBytes.h"
#include "db/InTransStorage.h"
#include "db/System.h"
#include "db/Transaction.h"
#include "record/Field.h"
#include "record/ItemClass.h"
#include "table/Table.h"

#if defined(__has_include)
#if __has_include(<sanitizer/common_interface_defs.h>)
#include <sanitizer/common_interface_defs.h>
#define QDF_FUZZ_DEATH_CALLBACK 1
#endif
#endif

namespace qdf_fuzz {

namespace {

// The input being run, for the failure report.
const uint8_t* g_input = nullptr;
size_t g_input_size = 0;
bool g_save_failures = false;   // the runner saves; libFuzzer saves itself
char g_failure_path[512] = "";  // prepared before the input runs

std::string Printable(const uint8_t* data, size_t size) {
  std::string out;
  const size_t limit = Traits().binary ? 64 : 4000;
  const size_t shown = size < limit ? size : limit;
  for (size_t i = 0; i < shown; ++i) {
    const uint8_t c = data[i];
    if (c == '\\') {
      out += "\\\\";
    } else if (c >= 0x20 && c < 0x7F) {
      out += static_cast<char>(c);
    } else if (c == '\n') {
      out += "\\n";
    } else {
      char buf[8];
      std::snprintf(buf, sizeof buf, "\\x%02X", c);
      out += buf;
    }
  }
  if (shown < size) out += "...";
  return out;
}

// Async-signal-safe: the death callback and the hang alarm use it too.
void SaveInput() {
  if (!g_save_failures || g_input == nullptr || g_failure_path[0] == 0) return;
  FILE* f = std::fopen(g_failure_path, "wb");
  if (f == nullptr) return;
  std::fwrite(g_input, 1, g_input_size, f);
  std::fclose(f);
}

void ReportInput() {
  if (g_input == nullptr) return;
  std::fprintf(stderr, "input (%zu bytes): %s\n", g_input_size,
               Printable(g_input, g_input_size).c_str());
  SaveInput();
  if (g_save_failures) std::fprintf(stderr, "saved as %s\n", g_failure_path);
}

std::string g_scratch;

void RemoveScratch() {
  std::error_code ec;
  if (!g_scratch.empty()) std::filesystem::remove_all(g_scratch, ec);
}

}  // namespace

std::string& LastRefusal() {
  static std::string message;
  return message;
}

namespace {

// With QDF_FUZZ_KEEP_GOING=1 the runner reports a failure, saves its input
// under a numbered name and goes on with the next input.
struct TKeepGoing {};
bool g_keep_going = false;
int g_failures = 0;

}  // namespace

[[noreturn]] void Fail(const std::string& what) {
  std::fprintf(stderr, "fuzz-%s failure: %s\n", Traits().name, what.c_str());
  if (g_keep_going) {
    std::snprintf(g_failure_path, sizeof g_failure_path, "fuzz-%s-failure-%d.bin", Traits().name,
                  ++g_failures);
  }
  ReportInput();
  std::fflush(stderr);
  if (g_keep_going) throw TKeepGoing();
  std::abort();
}

const std::string& ScratchDir() {
  if (g_scratch.empty()) {
    const char* base = std::getenv("TMPDIR");
    std::string templ = std::string(base != nullptr && *base != 0 ? base : "/tmp") + "/qdf-fuzz-" +
                        Traits().name + "-XXXXXX";
    if (mkdtemp(templ.data()) == nullptr) {
      std::fprintf(stderr, "cannot make a scratch folder %s\n", templ.c_str());
      std::exit(2);
    }
    g_scratch = templ + "/";
    std::filesystem::create_directories(g_scratch + "tmp");
    // The engine's ini file and shadow file live here, not in the user's
    // folders; its trace stays quiet unless asked for.
    setenv("QUILLON_CONFIG_DIR", g_scratch.c_str(), 1);
    setenv("TMPDIR", (g_scratch + "tmp/").c_str(), 1);
    setenv("QUILLON_TRACE", "0", 0);
    // Scratch files need no syncs; without them a commit is much faster.
    std::ofstream(g_scratch + "quillon.ini") << "[INIT]\nSyncCommits=0\n";
    std::atexit(RemoveScratch);
  }
  return g_scratch;
}

std::string ScratchFile(const std::string& name) { return ScratchDir() + name; }

void CloseFiler(const std::string& alias) {
  qdf::TQdfSystem* system = qdf::QdfSystem();
  if (qdf::TQdfFiler* filer = system->LookupFiler(alias)) {
    system->RemoveFiler(filer);
    filer->Release();
  }
}

void WriteBytes(const std::string& path, const void* data, size_t size) {
  const auto* p = static_cast<const uint8_t*>(data);
  qdf_test::WriteFileBytes(path, std::vector<uint8_t>(p, p + size));
}

std::vector<uint8_t> MakeDatabase(const std::string& statements,
                                  const std::function<void(qdf::TQdfInTransStorage&)>& fill) {
  static int made = 0;
  const std::string path = ScratchFile("seed-" + std::to_string(++made) + ".qdf");
  {
    std::unique_ptr<qdf::TQdfTransaction> t = qdf::QdfSystem()->NewTransaction("fuzz seed");
    qdf::TQdfInTransStorage* s = t->OpenStorage(path, false, path);
    t->SetActive(true);
    if (!statements.empty()) s->Execute(statements);
    if (fill) fill(*s);
    t->Commit(true);
  }
  CloseFiler(path);
  std::vector<uint8_t> bytes = qdf_test::ReadFileBytes(path);
  std::filesystem::remove(path);
  return bytes;
}

const char* const kSampleSchema =
    "create TQdfItemClass TRec (TQdfObjectIDField ThisID; TQdfIntegerField k; "
    "TQdfIntegerField a; TQdfCharField c; TQdfFloatField f; TQdfBooleanField flag; "
    "TQdfDateTimeField d; TQdfItemClass TSub (TQdfIntegerField e)); "
    "create table t on TRec; create index ia on t (a); create unique index ik on t (k); "
    "create TQdfItemClass TOther (TQdfIntegerField x); create table u on TOther";

void FillSample(qdf::TQdfInTransStorage& storage) {
  std::unique_ptr<qdf::TQdfTable> t = storage.TableByName("t");
  qdf::TQdfItemClass* sub = storage.ClassByPath("TRec.TSub");
  static const char* const kTexts[] = {"", "alpha", "Beta", "beta", "gamma%", "it's", "x_y"};
  for (int i = 0; i < 12; ++i) {
    qdf::TQdfItemClass* cls = t->Insert(i % 4 == 3 ? sub : nullptr);
    auto set = [&](const char* field, const std::string& value) {
      if (!value.empty()) cls->FieldByName(field)->SetAsString(value);
    };
    set("k", std::to_string(i));
    if (i % 5 != 4) set("a", std::to_string((i * 7) % 10 - 3));
    set("c", kTexts[i % 7]);
    if (i % 3 != 2) set("f", std::to_string(i * 0.75 - 2));
    if (i % 6 != 5) set("flag", i % 2 == 0 ? "True" : "False");
    if (i % 4 != 1) set("d", "2024-0" + std::to_string(1 + i % 9) + "-1" + std::to_string(i % 10));
    if (cls == sub) set("e", std::to_string(100 + i));
    t->Post();
  }
  std::unique_ptr<qdf::TQdfTable> u = storage.TableByName("u");
  for (int i = 0; i < 2; ++i) {
    u->Insert();
    u->FieldByName("x")->SetAsString(std::to_string(i));
    u->Post();
  }
}

const std::vector<uint8_t>& SampleDatabase() {
  static const std::vector<uint8_t> bytes = MakeDatabase(kSampleSchema, FillSample);
  return bytes;
}

std::vector<std::string> DocArguments(const char* document, const char* marker) {
  std::vector<std::string> out;
#ifdef QDF_DOCS_DIR
  std::ifstream in(std::string(QDF_DOCS_DIR) + "/" + document);
  std::string line;
  while (std::getline(in, line)) {
    if (line.rfind("$ ", 0) != 0) continue;
    size_t at = line.find(marker);
    while (at != std::string::npos) {
      const size_t open = at + std::strlen(marker);
      if (open < line.size() && line[open] == '\'') {  // no escapes inside
        const size_t close = line.find('\'', open + 1);
        if (close == std::string::npos) break;
        out.push_back(line.substr(open + 1, close - open - 1));
      } else if (open < line.size() && line[open] == '"') {  // \" and \\ escaped
        std::string text;
        size_t i = open + 1;
        for (; i < line.size() && line[i] != '"'; ++i) {
          if (line[i] == '\\' && i + 1 < line.size() &&
              (line[i + 1] == '"' || line[i + 1] == '\\')) {
            ++i;
          }
          text += line[i];
        }
        if (i < line.size()) out.push_back(text);
      }
      at = line.find(marker, open);
    }
  }
#else
  (void)document;
  (void)marker;
#endif
  return out;
}

#ifndef QDF_FUZZ_LIBFUZZER

namespace {

std::vector<std::string> g_deep;  // inputs the driver marked, as bases
bool g_deep_noted = false;

int EnvInt(const char* name, int fallback) {
  const char* v = std::getenv(name);
  if (v == nullptr || *v == 0) return fallback;
  return std::atoi(v);
}

// One input through the driver, watched.
void RunOne(const std::string& input) {
  g_input = reinterpret_cast<const uint8_t*>(input.data());
  g_input_size = input.size();
  g_deep_noted = false;
  try {
    LLVMFuzzerTestOneInput(g_input, g_input_size);
  } catch (const TKeepGoing&) {
  }
  g_input = nullptr;
}

// Byte mutations: in place (flip, set, interesting values), insertions
// and erasures, dictionary tokens, chunk copies and splices with another
// base. `binary` favours the in-place ones, which keep file offsets.
class TMutator {
 public:
  TMutator(uint64_t seed, const TFuzzTraits& traits) : rng_(seed), traits_(traits) {}

  std::string Mutate(const std::string& base, const std::vector<std::string>& pool) {
    std::string s = base;
    const int rounds = 1 + static_cast<int>(Below(traits_.binary ? 3 : 4));
    for (int r = 0; r < rounds; ++r) Once(s, pool);
    if (s.size() > traits_.max_size) s.resize(traits_.max_size);
    return s;
  }

 private:
  uint64_t Below(uint64_t n) { return n == 0 ? 0 : rng_() % n; }

  // A position biased towards the start of binary inputs, where the file's
  // header and page table are.
  size_t Position(const std::string& s) {
    if (s.empty()) return 0;
    if (traits_.binary && Below(2) == 0) return Below(std::min<size_t>(s.size(), 1024));
    return Below(s.size());
  }

  void Once(std::string& s, const std::vector<std::string>& pool) {
    static const uint32_t kInteresting[] = {0,          1,          0x7F,      0x80,   0xFF,
                                            0x100,      0x1FF,      0x2000,    0x7FFF, 0xFFFF,
                                            0x7FFFFFFF, 0x80000000, 0xFFFFFFFF};
    const int kinds = traits_.binary ? 10 : 9;
    int kind = static_cast<int>(Below(static_cast<uint64_t>(kinds)));
    if (traits_.binary && kind >= 9) kind = static_cast<int>(Below(3));  // more in place
    if (s.empty() && kind < 3) kind = 3;
    switch (kind) {
      case 0:  // flip a bit
        s[Position(s)] ^= static_cast<char>(1u << Below(8));
        break;
      case 1:  // a random byte
        s[Position(s)] = static_cast<char>(Below(256));
        break;
      case 2: {  // an interesting value, 1, 2 or 4 bytes little-endian
        const uint32_t v = kInteresting[Below(sizeof kInteresting / sizeof kInteresting[0])];
        const size_t width = size_t{1} << Below(3);
        const size_t at = Position(s);
        for (size_t i = 0; i < width && at + i < s.size(); ++i) {
          s[at + i] = static_cast<char>(v >> (8 * i));
        }
        break;
      }
      case 3:  // insert random bytes
        if (!traits_.binary || Below(4) == 0) {
          s.insert(Below(s.size() + 1), 1 + Below(3), static_cast<char>(Below(256)));
        }
        break;
      case 4: {  // erase a run
        if (s.empty() || (traits_.binary && Below(4) != 0)) break;
        const size_t at = Below(s.size());
        s.erase(at, 1 + Below(std::min<size_t>(s.size() - at, 16)));
        break;
      }
      case 5:    // insert a token
      case 6: {  // replace a run by a token
        if (traits_.tokens.empty()) break;
        const std::string& t = traits_.tokens[Below(traits_.tokens.size())];
        const size_t at = Below(s.size() + 1);
        if (kind == 6 && at < s.size()) s.erase(at, 1 + Below(std::min<size_t>(s.size() - at, 8)));
        s.insert(at, t);
        break;
      }
      case 7: {  // copy a chunk of the input over or into itself
        if (s.size() < 2) break;
        const size_t from = Below(s.size());
        const size_t n = 1 + Below(std::min<size_t>(s.size() - from, 64));
        const std::string chunk = s.substr(from, n);
        const size_t to = Below(s.size());
        if (traits_.binary) {
          s.replace(to, std::min(n, s.size() - to), chunk.substr(0, s.size() - to));
        } else {
          s.insert(to, chunk);
        }
        break;
      }
      case 8: {  // splice: this input's head, another's tail
        if (pool.empty()) break;
        const std::string& other = pool[Below(pool.size())];
        if (traits_.binary) {
          if (other.size() != s.size()) break;
          const size_t at = Position(s);
          const size_t n = 1 + Below(std::min<size_t>(s.size() - at, 512));
          s.replace(at, n, other, at, n);
        } else {
          s = s.substr(0, Below(s.size() + 1)) + other.substr(Below(other.size() + 1));
        }
        break;
      }
      default:
        break;
    }
  }

  std::mt19937_64 rng_;
  const TFuzzTraits& traits_;
};

extern "C" void OnAlarm(int) {
  static const char kText[] = "fuzz: one input ran past QDF_FUZZ_INPUT_TIMEOUT (a hang)\n";
  (void)!write(2, kText, sizeof kText - 1);
  SaveInput();
  std::abort();
}

#ifdef QDF_FUZZ_DEATH_CALLBACK
extern "C" void OnSanitizerDeath() { ReportInput(); }
#endif

int WriteSeeds(const std::string& dir) {
  std::filesystem::create_directories(dir);
  int n = 0;
  for (const std::string& seed : Seeds()) {
    WriteBytes(dir + "/seed-" + std::to_string(++n), seed.data(), seed.size());
  }
  std::printf("%d seeds written to %s\n", n, dir.c_str());
  return 0;
}

}  // namespace

void NoteDeepInput() {
  if (g_input == nullptr || g_deep_noted) return;
  g_deep_noted = true;
  std::string input(reinterpret_cast<const char*>(g_input), g_input_size);
  constexpr size_t kMaxDeep = 256;
  if (g_deep.size() < kMaxDeep) {
    g_deep.push_back(std::move(input));
  } else {
    g_deep[g_input_size % kMaxDeep] = std::move(input);
  }
}

}  // namespace qdf_fuzz

int main(int argc, char** argv) {
  using namespace qdf_fuzz;
  const TFuzzTraits traits = Traits();
  ScratchDir();
  if (argc == 3 && std::strcmp(argv[1], "--seeds") == 0) return WriteSeeds(argv[2]);

  g_save_failures = true;
  std::snprintf(g_failure_path, sizeof g_failure_path, "fuzz-%s-failure.bin", traits.name);
  signal(SIGALRM, OnAlarm);
#ifdef QDF_FUZZ_DEATH_CALLBACK
  __sanitizer_set_death_callback(OnSanitizerDeath);
#endif
  const unsigned timeout = static_cast<unsigned>(EnvInt("QDF_FUZZ_INPUT_TIMEOUT", 60));
  g_keep_going = EnvInt("QDF_FUZZ_KEEP_GOING", 0) != 0;

  if (argc > 1) {  // saved inputs, each once
    for (int i = 1; i < argc; ++i) {
      const std::vector<uint8_t> bytes = qdf_test::ReadFileBytes(argv[i]);
      alarm(timeout);
      RunOne(std::string(bytes.begin(), bytes.end()));
      alarm(0);
      std::printf("%s: no failure\n", argv[i]);
    }
    return 0;
  }

  const int runs = EnvInt("QDF_FUZZ_RUNS", traits.default_runs);
  const int seconds = EnvInt("QDF_FUZZ_SECONDS", 30);
  const uint64_t seed = static_cast<uint64_t>(EnvInt("QDF_FUZZ_SEED", 1));
  // An input slower than this is reported and kept as fuzz-<name>-slow.bin.
  const double slow = EnvInt("QDF_FUZZ_SLOW", 5);
  const auto start = std::chrono::steady_clock::now();
  auto elapsed = [&] {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  };

  const std::vector<std::string> seeds = Seeds();
  for (const std::string& s : seeds) {
    alarm(timeout);
    RunOne(s);
    alarm(0);
  }
  TMutator mutator(seed, traits);
  std::mt19937_64 pick(seed * 7919 + 1);
  int done = 0;
  while (done < runs && elapsed() < seconds) {
    // Half the time a seed, else an input that went deep.
    const bool from_deep = !g_deep.empty() && pick() % 2 == 0;
    const std::string& base =
        from_deep ? g_deep[pick() % g_deep.size()] : seeds[pick() % seeds.size()];
    const std::string input = mutator.Mutate(base, from_deep ? g_deep : seeds);
    const double before = elapsed();
    alarm(timeout);
    RunOne(input);
    alarm(0);
    ++done;
    if (elapsed() - before > slow) {
      const std::string name = std::string("fuzz-") + traits.name + "-slow.bin";
      WriteBytes(name, input.data(), input.size());
      std::fprintf(stderr, "slow input: %.1f s, saved as %s\n", elapsed() - before, name.c_str());
    }
  }
  std::printf("fuzz-%s: %zu seeds and %d mutated inputs in %.1f s (QDF_FUZZ_SEED=%llu)%s\n",
              traits.name, seeds.size(), done, elapsed(), static_cast<unsigned long long>(seed),
              done < runs ? ", stopped by QDF_FUZZ_SECONDS" : "");
  if (g_failures > 0) {
    std::printf("%d failures, saved as fuzz-%s-failure-*.bin\n", g_failures, traits.name);
    return 1;
  }
  return 0;
}

#else  // libFuzzer keeps its own corpus and finds deep inputs by coverage

void NoteDeepInput() {}

}  // namespace qdf_fuzz

#endif
