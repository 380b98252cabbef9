// Installed copies of the target: lookup by bundle identifier and minimum
// version, the installed version, and version comparison. Plain functions;
// any thread; they read the disk and block while they do.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace installer {

// "/Applications", the user's "~/Applications" and "/Applications/Utilities".
std::vector<std::filesystem::path> standardApplicationDirectories();

// The first bundle named "*.app" (any case, hidden entries skipped, listing
// order) directly inside `extraDirectories` and then `standardDirectories`
// whose CFBundleIdentifier equals `bundleIdentifier` and, with a non-empty
// `minimumVersion`, whose short version (missing: "0.0.0") does not order
// before it. Absent for an empty identifier or when nothing matches.
std::optional<std::filesystem::path> findInstalledApplication(
    const std::string& bundleIdentifier, const std::optional<std::string>& minimumVersion,
    const std::vector<std::filesystem::path>& extraDirectories,
    const std::vector<std::filesystem::path>& standardDirectories = standardApplicationDirectories());

// The bundle's CFBundleShortVersionString; "0.0.0" when the bundle cannot be
// opened or the value is missing or not text.
std::string installedVersion(const std::filesystem::path& bundle);

// Text comparison in which runs of digits compare by their numeric value
// ("1.10" after "1.9", "a2" before "a10"): -1, 0 or 1.
int compareNumericText(const std::string& a, const std::string& b);

// True when `a` is strictly newer than `b`: dotted decimal numbers compare
// position by position (missing positions are 0, so 1.2 equals 1.2.0);
// anything else falls back to compareNumericText.
bool isNewerVersion(const std::string& a, const std::string& b);

// False when `latest` is absent or blank; else isNewerVersion(trimmed
// latest, installed).
bool isUpdateAvailable(const std::optional<std::string>& latest, const std::string& installed);

}  // namespace installer
