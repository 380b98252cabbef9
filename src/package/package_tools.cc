// The entry points that find the tools next to the running program.
#include "package/app_installer.h"
#include "package/tool_runner.h"
#include "package/unarchiver.h"
#include "platform/bundle.h"

namespace installer {

PackageTools PackageTools::standard() {
  const auto& bundle = platform::Bundle::main();
  if (!bundle.path().empty()) return withHelpers(bundle.helpersPath());
  std::error_code ec;
  auto exe = std::filesystem::read_symlink("/proc/self/exe", ec);
  return withHelpers(ec ? std::filesystem::path("Helpers") : exe.parent_path() / "Helpers");
}

UnarchivedPayload unarchivePackage(const std::filesystem::path& archive,
                                   const std::filesystem::path& workingDirectory) {
  return unarchivePackage(archive, workingDirectory, PackageTools::standard());
}

void detachImage(const std::filesystem::path& mountPoint) {
  detachImage(mountPoint, PackageTools::standard());
}

void removeQuarantine(const std::filesystem::path& bundle) {
  removeQuarantine(bundle, PackageTools::standard());
}

}  // namespace installer
