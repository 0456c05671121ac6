// What the fuzz drivers share: the entry every driver defines, the seeds and
// traits each driver gives the deterministic runner, the oracle's verdicts,
// and a scratch folder with a database engine of the process's own.
//
// A driver is one file that defines LLVMFuzzerTestOneInput and the two
// functions Seeds() and Traits(). Linked with FuzzRunner.cpp it is a program
// that runs the seeds and then a fixed sequence of byte mutations of them
// (fuzz/README.md); linked with libFuzzer it is a libFuzzer target.
#pragma once

#include <dbquillon/dbquillon.h>

#include <cstddef>
#include <cstdint>
#include <exception>
#include <functional>
#include <stdexcept>
#include <string>
#include <typeinfo>
#include <vector>

#include "base/QdfException.h"

namespace qdf {
class TQdfInTransStorage;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

namespace qdf_fuzz {

// Defined by each driver.
struct TFuzzTraits {
  const char* name;                 // "ddl", "file", ...: names saved failures
  size_t max_size;                  // mutations never grow an input beyond this
  bool binary;                      // mostly in-place byte changes (database files)
  int default_runs;                 // mutated inputs of a run without QDF_FUZZ_RUNS
  std::vector<std::string> tokens;  // words the mutator inserts
};
TFuzzTraits Traits();
// The seed inputs (made once per process).
std::vector<std::string> Seeds();

// The runner keeps an input it was told reached deep into the code under
// test (a statement that succeeded, a filter that compiled) as a base for
// further mutations; libFuzzer has coverage for that.
void NoteDeepInput();

// Ends the process with `what` and the input being run: printed, and saved
// as fuzz-<name>-failure.bin in the current folder when the runner runs it.
[[noreturn]] void Fail(const std::string& what);

// The exceptions an input may raise. EQdfException is always a refusal;
// the general Exception is one too where the code under test raises it by
// design (expression and conversion errors, the CSV reader's messages).
enum class TRefusals { kEngineOnly, kEngineOrGeneral };

// Runs `step`. Returns true when it completed and false when it raised an
// allowed refusal; anything else (an engine assertion, a list or hash error,
// a standard library exception, an unknown one) fails the run.
// The message of the last refusal Attempt saw.
std::string& LastRefusal();

template <class F>
bool Attempt(const char* step, TRefusals refusals, F&& body) {
  try {
    body();
    return true;
  } catch (const qdf::EQdfException& e) {
    LastRefusal() = e.Message();
    return false;
  } catch (const qdf::EAssertionFailed& e) {
    Fail(std::string(step) + ": engine assertion: " + e.Message());
  } catch (const qdf::EAListError& e) {
    Fail(std::string(step) + ": list error: " + e.Message());
  } catch (const qdf::EHashList& e) {
    Fail(std::string(step) + ": hash list error: " + e.Message());
  } catch (const qdf::Exception& e) {
    if (refusals == TRefusals::kEngineOrGeneral) {
      LastRefusal() = e.Message();
      return false;
    }
    Fail(std::string(step) + ": " + typeid(e).name() + " instead of EQdfException: " + e.Message());
  } catch (const dbquillon::Error& e) {
    // The public API's errors: a damaged structure (an assertion, a list
    // error) is a fault of the engine, since the drivers start from sound
    // files; any other code is a refusal.
    if (e.code() == dbquillon::ErrorCode::Damaged) {
      Fail(std::string(step) + ": " + dbquillon::ToString(e.code()) + ": " + e.what());
    }
    LastRefusal() = e.what();
    return false;
  } catch (const std::runtime_error& e) {
    // The qdf tool's own messages (its CSV reader's) are of this class.
    if (refusals == TRefusals::kEngineOrGeneral && typeid(e) == typeid(std::runtime_error)) {
      LastRefusal() = e.what();
      return false;
    }
    Fail(std::string(step) + ": " + typeid(e).name() + ": " + e.what());
  } catch (const std::exception& e) {
    Fail(std::string(step) + ": " + typeid(e).name() + ": " + e.what());
  } catch (...) {
    Fail(std::string(step) + ": an exception of unknown type");
  }
}

// A private folder for the process's files, removed at exit. The first call
// also points the engine's configuration and temporary folders there.
const std::string& ScratchDir();
std::string ScratchFile(const std::string& name);

// Closes the engine's filer of `alias` once the transactions that used it
// are gone. The system keeps every filer it opened, with the file's header
// and its read-only flag, for its whole life; a driver that rewrites a file
// or opens it another way next must close it first.
void CloseFiler(const std::string& alias);

// Closes the filer of `alias` when it ends, also when a failure unwinds;
// declared before the transaction that opens the file, it ends after it.
class TFilerScope {
 public:
  explicit TFilerScope(std::string alias) : alias_(std::move(alias)) {}
  ~TFilerScope() { CloseFiler(alias_); }
  TFilerScope(const TFilerScope&) = delete;
  TFilerScope& operator=(const TFilerScope&) = delete;

 private:
  std::string alias_;
};

// Writes `bytes` as the file `path` (replacing it).
void WriteBytes(const std::string& path, const void* data, size_t size);

// A database file made by running `statements` on a new database and then
// `fill` (may be empty) in the same transaction, committed; its bytes.
std::vector<uint8_t> MakeDatabase(
    const std::string& statements,
    const std::function<void(qdf::TQdfInTransStorage&)>& fill = nullptr);

// The sample database the drivers start from: the item class TRec
// (ThisID, k, a: integer, c: char, f: float, flag: boolean, d: date-time)
// with the subclass TSub (e: integer), the table t of TRec with the indexes
// t.ia (a) and t.ik (unique, k) and a dozen records, some of TSub and some
// with null fields; the class TOther (x) with the table u of two records.
extern const char* const kSampleSchema;
void FillSample(qdf::TQdfInTransStorage& storage);
const std::vector<uint8_t>& SampleDatabase();

// The texts of the quoted shell arguments that follow `marker` in the
// console examples of a document under docs/ ("qdf exec shop.qdf " gives
// the statements, "--where " the filters). Empty when the documents are not
// where the build said.
std::vector<std::string> DocArguments(const char* document, const char* marker);

}  // namespace qdf_fuzz
