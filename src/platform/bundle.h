// Application bundles: `Name.app/Contents/{Info.plist, MacOS/, Resources/,
// Helpers/}`. A Bundle is an immutable value read once from disk; copies are
// cheap enough and share nothing mutable. Thread-safe for reading.
#pragma once

#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/plist.h"

namespace installer::platform {

class Bundle final : public KeyValueSource {
 public:
  // Opens the bundle at `bundlePath` (the ".app" directory). Absent when the
  // directory does not exist. A missing or malformed Info.plist gives a
  // bundle with an empty information dictionary (the problem is logged).
  static std::optional<Bundle> open(const std::filesystem::path& bundlePath);

  // The running program's own bundle, found from /proc/self/exe (the
  // executable in `X.app/Contents/MacOS/`). When the program does not run
  // from a bundle, a bundle without a path, information or resources.
  // Created on first use; lives for the process.
  static const Bundle& main();

  // The bundle path; empty for the placeholder main bundle.
  const std::filesystem::path& path() const { return path_; }
  std::filesystem::path contentsPath() const { return path_ / "Contents"; }
  std::filesystem::path resourcesPath() const { return contentsPath() / "Resources"; }
  std::filesystem::path helpersPath() const { return contentsPath() / "Helpers"; }
  // Contents/MacOS/<CFBundleExecutable>; absent when the key is missing.
  std::optional<std::filesystem::path> executablePath() const;

  const PlistDict& infoDictionary() const { return info_; }
  // Localized values (Resources/<preferred>.lproj/InfoPlist.strings) take
  // precedence over the information dictionary.
  std::optional<PlistValue> lookup(const std::string& key) const override;

  // Information dictionary strings; "" when missing or not a string.
  std::string identifier() const;    // CFBundleIdentifier
  std::string name() const;          // CFBundleName
  std::string shortVersion() const;  // CFBundleShortVersionString

  // The localizations the bundle ships: the names of its `*.lproj`
  // folders, sorted.
  const std::vector<std::string>& localizations() const { return localizations_; }
  // The shipped localizations ordered by `userLanguages` (best first; see
  // `userPreferredLanguages`). Matching: exact, then by language prefix
  // ("pt-BR" matches "pt"; "zh-Hans-CN" matches "zh-Hans"). Falls back to
  // the development region ("en" when unset) when shipped, else the first.
  // Empty when the bundle ships no localization.
  std::vector<std::string> preferredLocalizations(
      const std::vector<std::string>& userLanguages) const;
  std::vector<std::string> preferredLocalizations() const;

  // The Localizable.strings value for `key` in the best preferred
  // localization that has the key; `key` itself when none has it.
  std::string localizedString(const std::string& key) const;

 private:
  Bundle() = default;
  std::filesystem::path path_;
  PlistDict info_;
  std::vector<std::string> localizations_;
  struct Tables;
  std::shared_ptr<const Tables> tables_;  // read by open(), immutable after
};

// The user's languages, best first, from LANGUAGE (colon-separated), LC_ALL,
// LC_MESSAGES and LANG, as language tags ("pt_BR.UTF-8" -> "pt-BR";
// "C" and "POSIX" are skipped). May be empty.
std::vector<std::string> userPreferredLanguages();

}  // namespace installer::platform
