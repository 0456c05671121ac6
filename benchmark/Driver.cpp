#include "Driver.h"

#include <cstdio>
#include <filesystem>
#include <iostream>
#include <string_view>

#include "base/Helpers.h"
#include "platform/Clock.h"
#include "platform/Directories.h"

namespace speedtrial {
namespace {

int g_argc = 0;
char** g_argv = nullptr;
int32_t g_scale = 0;  // 0 until computed
uint32_t g_start_tick = 0;
uint32_t g_seed = 0;
std::ostream* g_out = nullptr;

}  // namespace

int32_t ScaleFromArgument(const char* arg) {
  int32_t value = 0;
  if (arg != nullptr) {
    std::string digits = qdf::NthNumber(arg, 1);
    if (digits.empty() || !qdf::TryStrToInt(digits, &value)) value = 0;
  }
  return value < 1 ? 1 : value;
}

void SetCommandLine(int argc, char** argv) {
  g_argc = argc;
  g_argv = argv;
  g_scale = 0;
}

int32_t Scale() {
  if (g_scale == 0) g_scale = ScaleFromArgument(g_argc > 1 ? g_argv[1] : nullptr);
  return g_scale;
}

bool DigestRequested() {
  for (int i = 2; i < g_argc; ++i) {
    if (std::string_view(g_argv[i]) == "--digest") return true;
  }
  return false;
}

std::string DatabaseFileName() { return qdf::AppDir() + "SpeedTrial.qdf"; }

void ReportFileSize(const std::string& test, std::initializer_list<std::string> files) {
  if (!DigestRequested()) return;
  uintmax_t total = 0;
  for (const std::string& f : files) {
    std::error_code ec;
    const uintmax_t size = std::filesystem::file_size(f, ec);
    if (!ec) total += size;
  }
  Output() << "file " << test << ": " << total << '\n' << std::flush;
}

void SetOutput(std::ostream* out) { g_out = out; }
std::ostream& Output() { return g_out ? *g_out : std::cout; }

void StartTest(const std::string& name, int64_t count) {
  std::ostream& out = Output();
  out << name;
  if (count > 0) out << ": " << count;
  out << " ... " << std::flush;
  g_start_tick = qdf::GetTickCount();
}

void StopTest() {
  uint32_t elapsed = qdf::GetTickCount() - g_start_tick;  // unsigned: survives the wrap
  char seconds[32];
  std::snprintf(seconds, sizeof seconds, "%.3f", elapsed / 1000.0);
  Output() << " done in " << seconds << " sec\n" << std::flush;
}

void WriteProgress(const std::string& text) { Output() << text << std::flush; }

uint32_t Random(uint32_t n) {
  g_seed = g_seed * 134775813u + 1u;
  return static_cast<uint32_t>((uint64_t{g_seed} * n) >> 32);
}

void ResetRandom() { g_seed = 0; }

}  // namespace speedtrial
