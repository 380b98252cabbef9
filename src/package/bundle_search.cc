#include "package/bundle_search.h"

#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <functional>
#include <string>

#include "package/unarchiver.h"

namespace installer {

namespace fs = std::filesystem;

namespace {

std::string lowercasedExtension(const fs::path& p) {
  std::string ext = p.extension().string();
  if (!ext.empty() && ext[0] == '.') ext.erase(0, 1);
  std::transform(ext.begin(), ext.end(), ext.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return ext;
}

bool lstatMode(const fs::path& p, mode_t* mode) {
  struct stat st;
  if (lstat(p.c_str(), &st) != 0) return false;
  *mode = st.st_mode;
  return true;
}

bool isRealDirectory(const fs::path& p) {
  mode_t mode;
  return lstatMode(p, &mode) && S_ISDIR(mode);
}

// The bounded walk both searches share: `visit` says whether an entry is a
// result; entries that are not, and are real directories, are walked into.
void walk(const fs::path& directory, int depth, std::vector<fs::path>& results,
          const std::function<bool(const fs::path&, mode_t)>& isResult) {
  if (depth > 2) return;
  std::error_code ec;
  fs::directory_iterator it(directory, ec);
  if (ec) return;
  for (; it != fs::directory_iterator(); it.increment(ec)) {
    if (ec) return;
    const fs::path& entry = it->path();
    std::string name = entry.filename().string();
    if (name.empty() || name[0] == '.') continue;
    mode_t mode;
    if (!lstatMode(entry, &mode) || S_ISLNK(mode)) continue;
    if (isResult(entry, mode)) {
      results.push_back(entry);
    } else if (S_ISDIR(mode)) {
      walk(entry, depth + 1, results, isResult);
    }
  }
}

}  // namespace

bool looksLikeBundle(const fs::path& bundle) {
  return isRealDirectory(bundle) && isRealDirectory(bundle / "Contents");
}

void findApplications(const fs::path& directory, int depth, std::vector<fs::path>& results) {
  walk(directory, depth, results, [](const fs::path& entry, mode_t mode) {
    return S_ISDIR(mode) && lowercasedExtension(entry) == "app" && looksLikeBundle(entry);
  });
}

void findApplicationsBelow(const fs::path& root, const fs::path& start, int depth,
                           std::vector<fs::path>& results) {
  fs::path relative = start.lexically_relative(root);
  if (relative.empty() || *relative.begin() == "..") return;
  fs::path at = root;
  if (!isRealDirectory(at)) return;
  for (const auto& part : relative) {
    if (part == ".") continue;
    at /= part;
    if (!isRealDirectory(at)) return;
  }
  findApplications(start, depth, results);
}

void findFlatPackages(const fs::path& directory, int depth, std::vector<fs::path>& results) {
  walk(directory, depth, results, [](const fs::path& entry, mode_t mode) {
    return S_ISREG(mode) && lowercasedExtension(entry) == "pkg";
  });
}

}  // namespace installer
