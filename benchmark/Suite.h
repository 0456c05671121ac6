// The SpeedTrial test suite.
#pragma once

#include <string>

namespace speedtrial {

// Runs the tests against the database file under the given alias. Engine
// errors leave as exceptions.
void RunSuite(const std::string& alias, const std::string& file_name);

}  // namespace speedtrial
