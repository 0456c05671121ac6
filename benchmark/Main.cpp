// SpeedTrial: times the sixteen tests of the suite against SpeedTrial.qdf
// beside the executable, then waits for Enter.
#include <cstdio>
#include <exception>
#include <iostream>
#include <string>

#include "Driver.h"
#include "Suite.h"
#include "platform/FileSystem.h"

int main(int argc, char** argv) {
  using namespace speedtrial;
  SetCommandLine(argc, argv);
  std::cout << kBannerLine1 << '\n' << kBannerLine2 << '\n' << std::flush;

  const std::string file_name = DatabaseFileName();
  qdf::TFileSystem::Native().Delete(file_name);  // a missing file is fine

  try {
    RunSuite("SpeedTrial", file_name);
  } catch (const std::exception& e) {
    std::cout << std::flush;
    std::cerr << e.what() << std::endl;
    return 1;
  }

  std::string line;
  std::getline(std::cin, line);
  return 0;
}
