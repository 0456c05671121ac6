// The machinery every SpeedTrial test shares: the scale factor, the database
// file name, the timed console lines and the random numbers.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <ostream>
#include <string>

namespace speedtrial {

inline constexpr const char* kBannerLine1 = "SpeedTrial Minnow Benchmark for dbQuillon";
inline constexpr const char* kBannerLine2 =
    "Times sixteen relational tests against the embedded engine; press Enter to end.";

// The scale from a command-line argument: the first run of decimal digits,
// 0 when there is none or it does not fit an integer; anything below 1 is 1.
int32_t ScaleFromArgument(const char* arg);

// Scale of the run: ScaleFromArgument of the first argument, 1 without one.
// Computed once on first use from the arguments given to SetCommandLine.
void SetCommandLine(int argc, char** argv);
int32_t Scale();
// True when an argument after the first is "--digest": each test's line is
// then followed by a digest line of the tables (computed outside the clock).
bool DigestRequested();

// The database file: the program's directory followed by "SpeedTrial.qdf".
std::string DatabaseFileName();

// With --digest: writes "file <test>: <bytes>", the summed sizes of the
// files given (a missing one counts 0), so that a comparison can show how
// much disk each engine holds after each test.
void ReportFileSize(const std::string& test, std::initializer_list<std::string> files);

// Where StartTest/StopTest write (standard output unless a test redirects it).
void SetOutput(std::ostream* out);
std::ostream& Output();

// Writes Name, then ": " and Count when Count > 0, then " ... "; flushes and
// starts the clock.
void StartTest(const std::string& name, int64_t count);
// Writes " done in <seconds with three decimals> sec" and a line end.
void StopTest();
// Writes text and flushes at once (Test 16's table names between the halves).
void WriteProgress(const std::string& text);

// The benchmark's random generator: Seed := Seed * 134775813 + 1 (mod 2^32),
// then the high 32 bits of Seed * n. The seed starts at 0 and is never reseeded,
// so every run draws the same sequence.
uint32_t Random(uint32_t n);
// Sets the seed back to 0 (tests only; the program never reseeds).
void ResetRandom();

}  // namespace speedtrial
