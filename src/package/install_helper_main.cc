// install-helper: the administrator step of an install (install_helper.h).
// The elevation tool runs it as root; its standard output is the status
// pipe back to the installer.
#include <string>
#include <vector>

#include "package/install_helper.h"

int main(int argc, char** argv) {
  std::vector<std::string> arguments(argv + 1, argv + argc);
  return installer::runInstallHelper(arguments, 1);
}
