// A private temporary directory that stands in for the user's folders:
// while alive, HOME, XDG_DATA_HOME and TMPDIR point into it, so code under
// test never touches the real home, application-support or temporary
// directories. Removed with everything in it on destruction. Create it on
// the test's thread before starting threads that read the environment.
#pragma once

#include <filesystem>
#include <map>
#include <optional>
#include <string>

namespace installer::testing {

class ScopedTempHome {
 public:
  ScopedTempHome();
  ~ScopedTempHome();
  ScopedTempHome(const ScopedTempHome&) = delete;
  ScopedTempHome& operator=(const ScopedTempHome&) = delete;

  const std::filesystem::path& root() const { return root_; }
  std::filesystem::path home() const { return root_ / "home"; }
  std::filesystem::path dataHome() const { return root_ / "data"; }
  std::filesystem::path tmp() const { return root_ / "tmp"; }

 private:
  std::filesystem::path root_;
  std::map<std::string, std::optional<std::string>> saved_;
};

}  // namespace installer::testing
