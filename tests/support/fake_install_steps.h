// Fakes of the steps an install coordinator runs (link source, unpacker,
// application installer), for tests that drive a real coordinator without
// the network, archives or the file system's applications folders. Set the
// public fields before a run; the coordinator calls the fakes on its work
// queue.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "install/install_steps.h"
#include "platform/dispatch.h"

namespace installer::testing {

class FakeLinks : public PackageLinkSource {
 public:
  bool configured = true;
  std::optional<PackageLink> cached;
  LinkOutcome outcome;
  std::atomic<int> resolves{0};
  // When set, resolve blocks until it is signalled (at most 10 s).
  std::shared_ptr<platform::Semaphore> hold;
  // When set, `cached` comes from a check that ends this long after
  // cachedLink is called: the link is there only if the caller waits so long.
  std::optional<platform::Duration> arrivesAfter;
  bool isConfigured() const override { return configured; }
  std::optional<PackageLink> cachedLink(platform::Duration wait) override {
    if (arrivesAfter && *arrivesAfter > wait) return std::nullopt;
    return cached;
  }
  LinkOutcome resolve() override {
    ++resolves;
    if (hold) hold->waitFor(std::chrono::seconds(10));
    return outcome;
  }
};

class FakeUnpacker : public PackageUnpacker {
 public:
  std::optional<std::string> error;  // thrown as its description
  std::atomic<int> cleanups{0};
  UnpackedPackage unarchivePackage(const std::filesystem::path& archive,
                                   const std::filesystem::path& workingDirectory) override {
    if (error) throw std::runtime_error(*error);
    EXPECT_TRUE(std::filesystem::exists(archive));
    auto app = workingDirectory / "mnt-1" / "Example.app";
    std::filesystem::create_directories(app / "Contents");
    return {app, [this] { ++cleanups; }};
  }
};

class FakeInstaller : public ApplicationInstallerSteps {
 public:
  using Copy = std::function<std::filesystem::path(const std::filesystem::path& source,
                                                   const std::filesystem::path& directory)>;
  std::optional<std::filesystem::path> installed;  // found with the extra directories
  std::optional<std::filesystem::path> installedAnywhere;  // found without them
  std::string version = "1.0.0";
  // Answers of isTargetRunning in turn; the last one repeats.
  std::vector<bool> running{false};
  std::vector<Copy> copies;  // one per installApplication call; the last repeats
  std::vector<std::filesystem::path> copyDirectories;
  std::atomic<int> copyCalls{0};
  std::atomic<int> quarantineRemovals{0};

  static Copy succeed() {
    return [](const std::filesystem::path& source, const std::filesystem::path& directory) {
      auto target = directory / source.filename();
      std::filesystem::create_directories(target);
      return target;
    };
  }
  static Copy fail(InstallStepError::Kind kind, std::string text) {
    return [kind, text](const std::filesystem::path&, const std::filesystem::path&)
               -> std::filesystem::path { throw InstallStepError(kind, text); };
  }

  std::optional<std::filesystem::path> findInstalledApplication(
      const std::string&, const std::optional<std::string>&,
      const std::vector<std::filesystem::path>& extra) override {
    return extra.empty() ? installedAnywhere : installed;
  }
  bool isTargetRunning(const std::string&) override {
    bool answer = running.front();
    if (running.size() > 1) running.erase(running.begin());
    return answer;
  }
  std::string installedVersion(const std::filesystem::path&) override { return version; }
  bool isUpdateAvailable(const std::optional<std::string>& latest, const std::string& current) override {
    return latest && *latest > current;
  }
  std::filesystem::path installApplication(const std::filesystem::path& source,
                                           const std::filesystem::path& directory,
                                           CopyProgress progress) override {
    copyDirectories.push_back(directory);
    ++copyCalls;
    Copy copy = copies.empty() ? succeed() : copies.front();
    if (copies.size() > 1) copies.erase(copies.begin());
    auto target = copy(source, directory);
    if (progress) {
      progress(50, 100);
      progress(100, 100);
    }
    return target;
  }
  void removeQuarantine(const std::filesystem::path&) override { ++quarantineRemovals; }
};

}  // namespace installer::testing
