// Well-known directories of the platform. Every result ends with '/'.
#pragma once

#include <string>

namespace qdf {

// Directory of the running program (from /proc/self/exe).
std::string AppDir();
// Home of quillon.ini: $QUILLON_CONFIG_DIR when set, else /etc/.
std::string WindowsDir();
// Temporary directory: $TMPDIR when set, else /tmp/.
std::string TempDir();
// Appends '/' when the path does not end with one (an empty path stays empty).
std::string IncludeTrailingSeparator(std::string path);

}  // namespace qdf
