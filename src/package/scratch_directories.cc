#include "package/scratch_directories.h"

#include <algorithm>

#include "extract/archive_extract.h"
#include "platform/system_info.h"

namespace installer {

namespace fs = std::filesystem;

ScratchDirectories::ScratchDirectories(fs::path workingDirectory)
    : workingDirectory_(std::move(workingDirectory)) {}

ScratchDirectories::~ScratchDirectories() {
  for (auto it = made_.rbegin(); it != made_.rend(); ++it) {
    if (std::find(mountPoints_.begin(), mountPoints_.end(), *it) != mountPoints_.end()) {
      std::error_code ec;
      fs::remove(*it, ec);
    } else {
      removeQuietly(*it);
    }
  }
}

fs::path ScratchDirectories::make(const std::string& prefix) {
  fs::path dir = workingDirectory_ / (prefix + platform::makeUUID());
  fs::create_directories(dir);
  made_.push_back(dir);
  return dir;
}

void ScratchDirectories::discard(const fs::path& directory) {
  removeQuietly(directory);
  made_.erase(std::remove(made_.begin(), made_.end(), directory), made_.end());
}

void removeQuietly(const fs::path& path) { helpers::removeTree(path); }

}  // namespace installer
