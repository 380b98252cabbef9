#include <unistd.h>

#include "package/tool_runner.h"
#include "platform/bundle.h"

namespace installer {

PackageTools PackageTools::withHelpers(const std::filesystem::path& helpersDirectory) {
  PackageTools tools;
#ifdef __APPLE__
  (void)helpersDirectory;
  tools.spctl = "/usr/sbin/spctl";
  tools.hdiutil = "/usr/bin/hdiutil";
  tools.ditto = "/usr/bin/ditto";
  tools.pkgutil = "/usr/sbin/pkgutil";
  tools.xattr = "/usr/bin/xattr";
#else
  // No assessment or extended-attribute tool here: these paths do not exist,
  // so the steps that use them find no tool and go on.
  tools.spctl = "/usr/sbin/spctl";
  tools.xattr = "/usr/bin/xattr";
  tools.hdiutil = helpersDirectory / "hdiutil";
  tools.ditto = helpersDirectory / "ditto";
  tools.pkgutil = helpersDirectory / "pkgutil";
#endif
  tools.shell = "/bin/sh";
  return tools;
}

PackageTools PackageTools::standard() {
  const auto& bundle = platform::Bundle::main();
  if (!bundle.path().empty()) return withHelpers(bundle.helpersPath());
  std::error_code ec;
  auto exe = std::filesystem::read_symlink("/proc/self/exe", ec);
  return withHelpers(ec ? std::filesystem::path("Helpers") : exe.parent_path() / "Helpers");
}

}  // namespace installer
