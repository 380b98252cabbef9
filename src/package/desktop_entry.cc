#include "package/desktop_entry.h"

#include <cstdlib>

namespace installer {

// Placeholder until the writer lands: writes nothing.
std::optional<DesktopEntryFiles> writeDesktopEntry(const std::filesystem::path&,
                                                   const std::filesystem::path&) {
  return std::nullopt;
}

std::filesystem::path userDataDir() {
  if (const char* d = std::getenv("XDG_DATA_HOME"); d && *d == '/') return d;
  const char* home = std::getenv("HOME");
  return std::filesystem::path(home ? home : "/") / ".local/share";
}

void refreshDesktopDatabase(const std::filesystem::path&) {}

}  // namespace installer
