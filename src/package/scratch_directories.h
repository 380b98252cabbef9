// The temporary directories one unpacking makes inside the working
// directory ("mnt-", "unzip-", "pkg-", "payload-" + UUID). Unless kept,
// they are removed with everything below them when the owner goes away, so
// a failed unpacking leaves nothing behind. One owner, one thread.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

namespace installer {

class ScratchDirectories {
 public:
  explicit ScratchDirectories(std::filesystem::path workingDirectory);
  ~ScratchDirectories();
  ScratchDirectories(const ScratchDirectories&) = delete;
  ScratchDirectories& operator=(const ScratchDirectories&) = delete;

  // Creates `prefix` + UUID inside the working directory (with its
  // parents). Throws std::filesystem::filesystem_error when it cannot.
  std::filesystem::path make(const std::string& prefix);
  // Removes `directory` now (it was made here) and forgets it.
  void discard(const std::filesystem::path& directory);
  // Leaves every directory made so far in place; the caller's clean-up
  // owns them from now on.
  void keep() { made_.clear(); }
  // A mount point is only ever removed when empty: something still
  // attached there is never walked.
  void markMountPoint(const std::filesystem::path& directory) { mountPoints_.push_back(directory); }

 private:
  std::filesystem::path workingDirectory_;
  std::vector<std::filesystem::path> made_;
  std::vector<std::filesystem::path> mountPoints_;
};

// Removes `path` and everything below it without following links, making
// read-only directories writable on the way. Ignores every error.
void removeQuietly(const std::filesystem::path& path);

}  // namespace installer
