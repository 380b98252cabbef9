#include "support/thread_names.h"

#include <filesystem>
#include <fstream>
#include <string>

namespace installer::testing {

std::size_t threadsNamed(std::string_view prefix) {
  std::size_t n = 0;
  std::error_code ec;
  for (const auto& entry : std::filesystem::directory_iterator("/proc/self/task", ec)) {
    std::ifstream comm(entry.path() / "comm");
    std::string name;
    if (std::getline(comm, name) && name.rfind(prefix, 0) == 0) ++n;
  }
  return n;
}

}  // namespace installer::testing
