#include "platform/system_info.h"

#include <pwd.h>
#include <sys/random.h>
#include <unistd.h>

#include <array>
#include <mutex>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <random>
#include <sstream>

namespace installer::platform {

namespace {

std::optional<std::string> environment(const char* name) {
  const char* value = std::getenv(name);
  if (value == nullptr || *value == '\0') return std::nullopt;
  return std::string(value);
}

std::string readSmallFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::string();
  std::string data;
  char buffer[4096];
  while (in.read(buffer, sizeof buffer) || in.gcount() > 0) {
    data.append(buffer, static_cast<std::size_t>(in.gcount()));
    if (data.size() > (1u << 20)) break;
  }
  return data;
}

std::string trim(const std::string& s) {
  const char* space = " \t\r\n\v\f";
  std::size_t begin = s.find_first_not_of(space);
  if (begin == std::string::npos) return std::string();
  std::size_t end = s.find_last_not_of(space);
  return s.substr(begin, end - begin + 1);
}

// Reads up to three dot-separated decimal numbers from the start of `text`.
// Returns how many were read.
int parseNumbers(const std::string& text, int out[3]) {
  int count = 0;
  std::size_t i = 0;
  while (count < 3 && i < text.size() && text[i] >= '0' && text[i] <= '9') {
    long value = 0;
    while (i < text.size() && text[i] >= '0' && text[i] <= '9') {
      if (value < 100000000) value = value * 10 + (text[i] - '0');
      ++i;
    }
    out[count++] = static_cast<int>(value);
    if (i < text.size() && text[i] == '.') {
      ++i;
    } else {
      break;
    }
  }
  return count;
}

std::string osReleaseValue(const std::string& osRelease, const std::string& key) {
  std::istringstream lines(osRelease);
  std::string line;
  while (std::getline(lines, line)) {
    line = trim(line);
    if (line.compare(0, key.size() + 1, key + "=") != 0) continue;
    std::string value = trim(line.substr(key.size() + 1));
    if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') &&
        value.back() == value.front()) {
      value = value.substr(1, value.size() - 2);
    }
    return value;
  }
  return std::string();
}

std::mutex gOverrideMutex;
std::optional<SystemVersion> gVersionOverride;

}  // namespace

std::filesystem::path homeDirectory() {
  if (auto home = environment("HOME")) return *home;
  std::array<char, 16384> buffer{};
  struct passwd pwd{};
  struct passwd* result = nullptr;
  if (getpwuid_r(getuid(), &pwd, buffer.data(), buffer.size(), &result) == 0 && result &&
      result->pw_dir) {
    return result->pw_dir;
  }
  return "/";
}

std::filesystem::path applicationSupportDirectory() {
  if (auto data = environment("XDG_DATA_HOME")) return *data;
  return homeDirectory() / ".local" / "share";
}

std::filesystem::path temporaryDirectory() {
  if (auto tmp = environment("TMPDIR")) return *tmp;
  return "/tmp";
}

std::filesystem::path systemApplicationsDirectory() { return "/Applications"; }
std::filesystem::path userApplicationsDirectory() { return homeDirectory() / "Applications"; }
std::filesystem::path utilitiesApplicationsDirectory() { return "/Applications/Utilities"; }

std::string expandTilde(const std::string& path) {
  if (path == "~") return homeDirectory().string();
  if (path.size() >= 2 && path[0] == '~' && path[1] == '/') {
    std::string home = homeDirectory().string();
    while (home.size() > 1 && home.back() == '/') home.pop_back();
    if (home == "/") return path.substr(1);
    return home + path.substr(1);
  }
  return path;
}

std::string SystemVersion::text() const {
  return std::to_string(major) + "." + std::to_string(minor) + "." + std::to_string(patch);
}

SystemVersion parseSystemVersion(const std::string& osRelease,
                                 const std::string& debianVersion) {
  SystemVersion version;
  int numbers[3] = {0, 0, 0};
  int count = parseNumbers(osReleaseValue(osRelease, "VERSION_ID"), numbers);
  if (count > 0) {
    version = SystemVersion{numbers[0], numbers[1], numbers[2]};
  }
  // debian_version carries the point release ("12.8"); testing and unstable
  // hold code names ("trixie/sid") and are ignored.
  int debian[3] = {0, 0, 0};
  int debianCount = parseNumbers(trim(debianVersion), debian);
  if (debianCount > 0 && (count == 0 || debian[0] == version.major)) {
    std::string rest = trim(debianVersion);
    bool allNumeric = rest.find_first_not_of("0123456789.") == std::string::npos;
    if (allNumeric) version = SystemVersion{debian[0], debian[1], debian[2]};
  }
  return version;
}

SystemVersion runningSystemVersion() {
  {
    std::lock_guard<std::mutex> lock(gOverrideMutex);
    if (gVersionOverride) return *gVersionOverride;
  }
  static const SystemVersion cached = [] {
    std::string osRelease = readSmallFile("/etc/os-release");
    if (osRelease.empty()) osRelease = readSmallFile("/usr/lib/os-release");
    return parseSystemVersion(osRelease, readSmallFile("/etc/debian_version"));
  }();
  return cached;
}

ScopedSystemVersionOverride::ScopedSystemVersionOverride(SystemVersion version) {
  std::lock_guard<std::mutex> lock(gOverrideMutex);
  gVersionOverride = version;
}

ScopedSystemVersionOverride::~ScopedSystemVersionOverride() {
  std::lock_guard<std::mutex> lock(gOverrideMutex);
  gVersionOverride.reset();
}

std::optional<std::string> platformUUID() {
  for (const char* file : {"/etc/machine-id", "/sys/class/dmi/id/product_uuid"}) {
    std::string value = trim(readSmallFile(file));
    if (!value.empty()) return value;
  }
  return std::nullopt;
}

std::string makeUUID() {
  std::uint8_t bytes[16];
  std::size_t filled = 0;
  while (filled < sizeof bytes) {
    ssize_t n = getrandom(bytes + filled, sizeof bytes - filled, 0);
    if (n > 0) {
      filled += static_cast<std::size_t>(n);
    } else if (n < 0 && errno != EINTR) {
      break;
    }
  }
  if (filled < sizeof bytes) {
    std::random_device device;
    for (auto& b : bytes) b = static_cast<std::uint8_t>(device());
  }
  bytes[6] = static_cast<std::uint8_t>((bytes[6] & 0x0F) | 0x40);  // version 4
  bytes[8] = static_cast<std::uint8_t>((bytes[8] & 0x3F) | 0x80);  // RFC 4122 variant
  char text[37];
  std::snprintf(text, sizeof text,
                "%02X%02X%02X%02X-%02X%02X-%02X%02X-%02X%02X-%02X%02X%02X%02X%02X%02X",
                bytes[0], bytes[1], bytes[2], bytes[3], bytes[4], bytes[5], bytes[6],
                bytes[7], bytes[8], bytes[9], bytes[10], bytes[11], bytes[12], bytes[13],
                bytes[14], bytes[15]);
  return text;
}

}  // namespace installer::platform
