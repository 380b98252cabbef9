#include "support/scoped_temp_home.h"

#include <cstdlib>
#include <stdexcept>
#include <system_error>

namespace installer::testing {

ScopedTempHome::ScopedTempHome() {
  const char* base = std::getenv("TMPDIR");
  std::string pattern = std::string(base && *base ? base : "/tmp") + "/installer-test-XXXXXX";
  if (!::mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
  root_ = pattern;
  std::filesystem::create_directories(home());
  std::filesystem::create_directories(dataHome());
  std::filesystem::create_directories(tmp());
  const std::map<std::string, std::filesystem::path> values = {
      {"HOME", home()}, {"XDG_DATA_HOME", dataHome()}, {"TMPDIR", tmp()}};
  for (const auto& [name, value] : values) {
    const char* old = std::getenv(name.c_str());
    saved_[name] = old ? std::optional<std::string>(old) : std::nullopt;
    ::setenv(name.c_str(), value.c_str(), 1);
  }
}

ScopedTempHome::~ScopedTempHome() {
  for (const auto& [name, value] : saved_) {
    if (value) {
      ::setenv(name.c_str(), value->c_str(), 1);
    } else {
      ::unsetenv(name.c_str());
    }
  }
  std::error_code ignored;
  std::filesystem::remove_all(root_, ignored);
}

}  // namespace installer::testing
