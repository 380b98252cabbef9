// Runs the installer's privileged path for the real-elevation test, as the
// unprivileged user that test starts it as:
//
//   privileged_install_probe install SOURCE INSTALL_DIR TOP SHARE
//     installs SOURCE into INSTALL_DIR (folders up to TOP count as root's;
//     the desktop entry goes to SHARE); prints "installed PATH" or
//     "error KIND: TEXT".
//   privileged_install_probe script SOURCE DESTINATION
//     runs the root copy script alone, past the installer's own checks;
//     prints "status N" or "error: TEXT".
#include <sys/types.h>

#include <cstdio>
#include <exception>
#include <filesystem>
#include <fstream>
#include <string>

#include "package/app_installer.h"
#include "package/privileged_task.h"

namespace fs = std::filesystem;
using namespace installer;

namespace {

int install(const fs::path& source, const fs::path& directory, const fs::path& top, const fs::path& share) {
  AppInstallerOptions options;
  options.privilegedTimeLimit = 60;
  options.elevationGuard = [top](const fs::path& d) { return elevationRefusal(d, 0, top); };
  options.systemDataDirectory = share;
  options.desktopEntryWriter = [](const fs::path& bundle, const fs::path& dataDir) {
    fs::create_directories(dataDir / "applications");
    std::ofstream(dataDir / "applications/com.example.demo.desktop")
        << "[Desktop Entry]\nType=Application\nName=Demo\nExec=" << bundle.string() << "\n";
    return std::optional<DesktopEntryFiles>(
        DesktopEntryFiles{"com.example.demo", dataDir / "applications/com.example.demo.desktop", {}});
  };
  try {
    std::printf("installed %s\n", installApplication(source, directory, {}, options).c_str());
    return 0;
  } catch (const AppInstallError& e) {
    std::printf("error %d: %s\n", static_cast<int>(e.kind()), e.what());
  } catch (const std::exception& e) {
    std::printf("error: %s\n", e.what());
  }
  return 1;
}

int script(const fs::path& source, const fs::path& destination) {
  try {
    std::printf("status %d\n", runPrivilegedScript(privilegedCopyScript(source, destination, "root:root", {}, {}), 60));
    return 0;
  } catch (const std::exception& e) {
    std::printf("error: %s\n", e.what());
  }
  return 1;
}

}  // namespace

int main(int argc, char** argv) {
  std::string mode = argc > 1 ? argv[1] : "";
  if (mode == "install" && argc == 6) return install(argv[2], argv[3], argv[4], argv[5]);
  if (mode == "script" && argc == 4) return script(argv[2], argv[3]);
  std::fprintf(stderr, "usage: %s install SOURCE INSTALL_DIR TOP SHARE | script SOURCE DESTINATION\n", argv[0]);
  return 2;
}
