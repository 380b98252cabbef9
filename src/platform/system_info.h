// Facts about the running system: standard directories, the operating
// system's version, the machine identifier and identifier generation.
// All functions are thread-safe.
#pragma once

#include <filesystem>
#include <optional>
#include <string>

namespace installer::platform {

// --- Standard directories -------------------------------------------------
// Application support: $XDG_DATA_HOME, else $HOME/.local/share.
std::filesystem::path applicationSupportDirectory();
// Temporary: $TMPDIR, else /tmp.
std::filesystem::path temporaryDirectory();
// Home: $HOME, else the password database's entry.
std::filesystem::path homeDirectory();
// The applications folders, kept as their macOS names: "/Applications",
// "~/Applications" (expanded) and "/Applications/Utilities".
std::filesystem::path systemApplicationsDirectory();
std::filesystem::path userApplicationsDirectory();
std::filesystem::path utilitiesApplicationsDirectory();
// Expands a leading "~" (alone or followed by "/") to the home directory.
std::string expandTilde(const std::string& path);

// --- System version -------------------------------------------------------
// The running system's version as three numbers. On Linux this is the
// distribution's release: VERSION_ID of /etc/os-release, refined by
// /etc/debian_version where that file carries a numeric point release
// ("12" with debian_version "12.8" -> 12.8.0); missing pieces are 0, and a
// system without either file reports 0.0.0.
struct SystemVersion {
  int major = 0;
  int minor = 0;
  int patch = 0;
  bool operator==(const SystemVersion&) const = default;
  // "major.minor.patch" in decimal.
  std::string text() const;
};

SystemVersion runningSystemVersion();
// Parses os-release and debian_version contents (either may be empty).
SystemVersion parseSystemVersion(const std::string& osRelease,
                                 const std::string& debianVersion);

// Test support: while alive, `runningSystemVersion` answers `version`.
class ScopedSystemVersionOverride {
 public:
  explicit ScopedSystemVersionOverride(SystemVersion version);
  ~ScopedSystemVersionOverride();
  ScopedSystemVersionOverride(const ScopedSystemVersionOverride&) = delete;
  ScopedSystemVersionOverride& operator=(const ScopedSystemVersionOverride&) = delete;
};

// --- Identifiers ----------------------------------------------------------
// The platform's machine identifier: /etc/machine-id, else
// /sys/class/dmi/id/product_uuid; trimmed. Absent when neither is readable
// or both are empty.
std::optional<std::string> platformUUID();
// A new random (version 4) identifier in upper-case canonical text,
// e.g. "3F2504E0-4F89-41D3-9A0C-0305E82C3301".
std::string makeUUID();

}  // namespace installer::platform
