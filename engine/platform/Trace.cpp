#include "platform/Trace.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>

namespace qdf {
namespace {

bool InitialSwitch() {
  const char* env = std::getenv("QUILLON_TRACE");
  return !(env && std::strcmp(env, "0") == 0);
}

std::atomic<bool>& Switch() {
  static std::atomic<bool> on{InitialSwitch()};
  return on;
}

}  // namespace

bool TraceEnabled() { return Switch().load(std::memory_order_relaxed); }
void SetTraceEnabled(bool on) { Switch().store(on, std::memory_order_relaxed); }

void Trace(std::string_view text) {
  if (!TraceEnabled()) return;
  // One write per line so lines of different threads do not interleave.
  std::string line = "dbQuillon: ";
  line.append(text);
  line.push_back('\n');
  std::fwrite(line.data(), 1, line.size(), stderr);
}

}  // namespace qdf
