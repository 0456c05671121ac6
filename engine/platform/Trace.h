// Debug trace: conditions that must not stop the program are reported here.
#pragma once

#include <string_view>

namespace qdf {

// Writes "dbQuillon: <text>" as one line to standard error while the trace
// switch is on. The switch starts on unless the environment sets QUILLON_TRACE=0.
void Trace(std::string_view text);

bool TraceEnabled();
void SetTraceEnabled(bool on);

}  // namespace qdf
