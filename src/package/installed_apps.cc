#include "package/installed_apps.h"

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <system_error>

#include "platform/bundle.h"
#include "platform/system_info.h"

namespace installer {

namespace fs = std::filesystem;

namespace {

std::string trimmed(const std::string& s) {
  const char* blanks = " \t\n\r\v\f";
  auto b = s.find_first_not_of(blanks);
  if (b == std::string::npos) return "";
  auto e = s.find_last_not_of(blanks);
  return s.substr(b, e - b + 1);
}

bool isDigit(char c) { return c >= '0' && c <= '9'; }

bool hasAppExtension(const fs::path& p) {
  std::string ext = p.extension().string();
  if (ext.size() != 4) return false;
  std::transform(ext.begin(), ext.end(), ext.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return ext == ".app";
}

std::optional<std::vector<std::int64_t>> numericPieces(const std::string& text) {
  std::vector<std::int64_t> pieces;
  size_t start = 0;
  while (start <= text.size()) {
    size_t dot = text.find('.', start);
    if (dot == std::string::npos) dot = text.size();
    std::string piece = text.substr(start, dot - start);
    start = dot + 1;
    if (piece.empty()) continue;
    size_t i = 0;
    bool negative = false;
    if (piece[0] == '+' || piece[0] == '-') {
      negative = piece[0] == '-';
      i = 1;
    }
    if (i == piece.size()) return std::nullopt;
    std::int64_t value = 0;
    for (; i < piece.size(); ++i) {
      if (!isDigit(piece[i])) return std::nullopt;
      int d = piece[i] - '0';
      if (value > (INT64_MAX - d) / 10) return std::nullopt;
      value = value * 10 + d;
    }
    pieces.push_back(negative ? -value : value);
  }
  if (pieces.empty()) return std::nullopt;
  return pieces;
}

}  // namespace

std::vector<fs::path> standardApplicationDirectories() {
  return {platform::systemApplicationsDirectory(), platform::userApplicationsDirectory(),
          platform::utilitiesApplicationsDirectory()};
}

std::optional<fs::path> findInstalledApplication(const std::string& bundleIdentifier,
                                                 const std::optional<std::string>& minimumVersion,
                                                 const std::vector<fs::path>& extraDirectories,
                                                 const std::vector<fs::path>& standardDirectories) {
  if (bundleIdentifier.empty()) return std::nullopt;
  bool versionTest = minimumVersion && !minimumVersion->empty();
  std::vector<fs::path> directories = extraDirectories;
  directories.insert(directories.end(), standardDirectories.begin(), standardDirectories.end());
  for (const auto& directory : directories) {
    std::error_code ec;
    fs::directory_iterator it(directory, ec);
    if (ec) continue;
    for (; it != fs::directory_iterator(); it.increment(ec)) {
      if (ec) break;
      const fs::path& entry = it->path();
      std::string name = entry.filename().string();
      if (name.empty() || name[0] == '.' || !hasAppExtension(entry)) continue;
      auto bundle = platform::Bundle::open(entry);
      if (!bundle || bundle->identifier().empty() || bundle->identifier() != bundleIdentifier) continue;
      if (!versionTest) return entry;
      std::string version = bundle->shortVersion();
      if (version.empty()) version = "0.0.0";
      if (compareNumericText(version, *minimumVersion) < 0) continue;
      return entry;
    }
  }
  return std::nullopt;
}

std::string installedVersion(const fs::path& bundle) {
  auto b = platform::Bundle::open(bundle);
  if (!b) return "0.0.0";
  std::string version = b->shortVersion();
  return version.empty() ? "0.0.0" : version;
}

int compareNumericText(const std::string& a, const std::string& b) {
  size_t i = 0, j = 0;
  while (i < a.size() && j < b.size()) {
    if (isDigit(a[i]) && isDigit(b[j])) {
      size_t ei = i, ej = j;
      while (ei < a.size() && isDigit(a[ei])) ++ei;
      while (ej < b.size() && isDigit(b[ej])) ++ej;
      size_t si = i, sj = j;
      while (si + 1 < ei && a[si] == '0') ++si;
      while (sj + 1 < ej && b[sj] == '0') ++sj;
      size_t li = ei - si, lj = ej - sj;
      if (li != lj) return li < lj ? -1 : 1;
      int c = a.compare(si, li, b, sj, lj);
      if (c != 0) return c < 0 ? -1 : 1;
      i = ei;
      j = ej;
      continue;
    }
    unsigned char ca = static_cast<unsigned char>(a[i]), cb = static_cast<unsigned char>(b[j]);
    if (ca != cb) return ca < cb ? -1 : 1;
    ++i;
    ++j;
  }
  if (i < a.size()) return 1;
  if (j < b.size()) return -1;
  return 0;
}

bool isNewerVersion(const std::string& a, const std::string& b) {
  auto pa = numericPieces(a);
  auto pb = numericPieces(b);
  if (pa && pb) {
    size_t n = std::max(pa->size(), pb->size());
    for (size_t k = 0; k < n; ++k) {
      std::int64_t x = k < pa->size() ? (*pa)[k] : 0;
      std::int64_t y = k < pb->size() ? (*pb)[k] : 0;
      if (x != y) return x > y;
    }
    return false;
  }
  return compareNumericText(a, b) > 0;
}

bool isUpdateAvailable(const std::optional<std::string>& latest, const std::string& installed) {
  if (!latest) return false;
  std::string t = trimmed(*latest);
  if (t.empty()) return false;
  return isNewerVersion(t, installed);
}

}  // namespace installer
