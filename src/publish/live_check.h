// What `installer-publish check` does: the installer's own path against the
// live services, one step at a time. It reads the installer bundle's
// configuration, sends the real update check (the installer's request,
// members and header fields, with the version of a copy installed on this
// machine), judges the answer as the installer does,
// downloads the package, compares its size, MD5, SHA-256 and signature,
// and unpacks it with the installer's unarchiver (and the bundle's own
// tool stand-ins) to find the product's bundle.
//
// Blocking; runs on the caller's thread (the update check and the download
// use threads of their own and are waited for). Bad answers and unreachable
// services are failed steps, never exceptions.
#pragma once

#include <cstddef>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>

namespace installer::publish {

struct CheckStep {
  std::string name;    // "configuration", "update check", "download", ...
  bool passed = false;
  std::string detail;  // what was found, or why it failed

  // "PASS <name>: <detail>" or "FAIL <name>: <detail>".
  std::string line() const;
};

struct LiveCheckOptions {
  // PEM file of trusted CAs; absent = the system store, as the installer.
  std::optional<std::string> caBundlePath;
  // Where the package is downloaded and unpacked; removed again. Empty = a
  // fresh directory below the system's temporary directory.
  std::filesystem::path workDirectory;
};

// Runs the steps in order and hands each to `report` as it ends; stops at
// the first failed step. True when every step passed, that is when an
// install would succeed.
bool runLiveCheck(const std::filesystem::path& installerBundle, const LiveCheckOptions& options,
                  const std::function<void(const CheckStep&)>& report);

}  // namespace installer::publish
