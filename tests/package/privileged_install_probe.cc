// Runs the installer's privileged path for the real-elevation test, as the
// unprivileged user that test starts it as:
//
//   privileged_install_probe install HELPER SOURCE INSTALL_DIR TOP SHARE
//     installs SOURCE into INSTALL_DIR through the administrator step
//     HELPER (folders up to TOP count as root's; the desktop entry goes to
//     SHARE); prints "installed PATH" or "error KIND: TEXT".
//   privileged_install_probe helper HELPER SOURCE DESTINATION
//     runs the administrator step alone, past the installer's own checks;
//     prints "status N" or "error: TEXT".
#include <sys/types.h>

#include <cstdio>
#include <exception>
#include <filesystem>
#include <string>

#include "package/app_installer.h"
#include "package/install_helper.h"
#include "package/privileged_task.h"

namespace fs = std::filesystem;
using namespace installer;

namespace {

int install(const fs::path& helper, const fs::path& source, const fs::path& directory, const fs::path& top,
            const fs::path& share) {
  AppInstallerOptions options;
  options.installHelper = helper;
  options.privilegedTimeLimit = 60;
  options.elevationGuard = [top](const fs::path& d) { return elevationRefusal(d, 0, top); };
  options.systemDataDirectory = share;
  options.desktopEntryWriter = writeDesktopEntry;
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

int helper(const fs::path& program, const fs::path& source, const fs::path& destination) {
  try {
    InstallHelperRequest request{source, destination, {}, 1u << 30, 1000, 60000, {}};
    std::printf("status %d\n", runPrivilegedTool(program, installHelperArguments(request), 60));
    return 0;
  } catch (const std::exception& e) {
    std::printf("error: %s\n", e.what());
  }
  return 1;
}

}  // namespace

int main(int argc, char** argv) {
  std::string mode = argc > 1 ? argv[1] : "";
  if (mode == "install" && argc == 7) return install(argv[2], argv[3], argv[4], argv[5], argv[6]);
  if (mode == "helper" && argc == 5) return helper(argv[2], argv[3], argv[4]);
  std::fprintf(stderr, "usage: %s install HELPER SOURCE INSTALL_DIR TOP SHARE | helper HELPER SOURCE DESTINATION\n",
               argv[0]);
  return 2;
}
