#include "support/package_fixtures.h"

#include <cstdlib>
#include <fstream>
#include <random>
#include <sstream>
#include <stdexcept>

namespace installer::testing {

namespace fs = std::filesystem;

void writeFile(const fs::path& file, const std::string& text, mode_t mode) {
  fs::create_directories(file.parent_path());
  {
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    out << text;
    if (!out) throw std::runtime_error("cannot write " + file.string());
  }
  fs::permissions(file, static_cast<fs::perms>(mode));
}

std::string readFile(const fs::path& file) {
  std::ifstream in(file, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

std::string randomBytes(std::size_t size, unsigned seed) {
  std::mt19937 gen(seed);
  std::string data(size, '\0');
  for (auto& c : data) c = static_cast<char>(gen() & 0xff);
  return data;
}

void writeInfoPlist(const fs::path& file, const std::vector<std::pair<std::string, std::string>>& values) {
  std::string xml =
      "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
      "<!DOCTYPE plist PUBLIC \"-//Apple//DTD PLIST 1.0//EN\" "
      "\"http://www.apple.com/DTDs/PropertyList-1.0.dtd\">\n<plist version=\"1.0\">\n<dict>\n";
  for (const auto& [k, v] : values) {
    xml += "\t<key>" + publish::xmlEscape(k) + "</key>\n\t<string>" + publish::xmlEscape(v) + "</string>\n";
  }
  xml += "</dict>\n</plist>\n";
  writeFile(file, xml);
}

fs::path writeAppBundle(const fs::path& parent, const std::string& name, const AppBundleSpec& layout) {
  fs::path bundle = parent / name;
  std::vector<std::pair<std::string, std::string>> info = {
      {"CFBundleIdentifier", layout.identifier},
      {"CFBundleExecutable", layout.executable},
      {"CFBundleName", fs::path(name).stem().string()},
  };
  if (layout.shortVersion) info.push_back({"CFBundleShortVersionString", *layout.shortVersion});
  writeInfoPlist(bundle / "Contents" / "Info.plist", info);
  std::string script = layout.script.value_or(
      layout.stayRunning ? "#!/bin/sh\ntrap 'exit 0' TERM\nwhile :; do sleep 0.05; done\n"
                       : "#!/bin/sh\nexit 0\n");
  writeFile(bundle / "Contents" / "MacOS" / layout.executable, script, 0755);
  for (const auto& [res, size] : layout.resources) {
    writeFile(bundle / "Contents" / "Resources" / res, std::string(size, 'r'));
  }
  fs::create_symlink("MacOS", bundle / "Contents" / "Current");
  return bundle;
}

fs::path testHelpersDirectory() {
  const char* dir = std::getenv("INSTALLER_TEST_HELPERS_DIR");
  return dir ? fs::path(dir) : fs::path();
}

TempDir::TempDir(const std::string& label) {
  const char* tmp = std::getenv("TMPDIR");
  std::string pattern = (fs::path(tmp && *tmp ? tmp : "/tmp") / (label + "-XXXXXX")).string();
  if (!mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
  path_ = pattern;
}

TempDir::~TempDir() {
  std::error_code ec;
  // Read-only directories from archives must not stop the clean-up.
  for (auto it = fs::recursive_directory_iterator(path_, ec); !ec && it != fs::recursive_directory_iterator();
       it.increment(ec)) {
    if (it->is_directory(ec) && !it->is_symlink(ec)) fs::permissions(it->path(), fs::perms::owner_all, fs::perm_options::add, ec);
  }
  fs::remove_all(path_, ec);
}

}  // namespace installer::testing
