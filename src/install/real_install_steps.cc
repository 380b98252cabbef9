#include "install/real_install_steps.h"

#include <utility>

#include "package/privileged_task.h"
#include "package/running_apps.h"
#include "package/unarchiver.h"

namespace installer {
namespace {

class ResolverLinkSource final : public PackageLinkSource {
 public:
  explicit ResolverLinkSource(std::shared_ptr<PackageLinkResolver> resolver)
      : resolver_(std::move(resolver)) {}

  bool isConfigured() const override { return resolver_->isConfigured(); }

  std::optional<PackageLink> cachedLink(platform::Duration wait) override {
    return resolver_->cachedLink(wait);
  }

  LinkOutcome resolve() override {
    auto resolution = resolver_->resolve();
    if (auto* link = std::get_if<PackageLink>(&resolution)) return *link;
    if (auto* error = std::get_if<CheckUpdateError>(&resolution)) {
      return LinkFailure{error->description()};
    }
    return std::monostate{};
  }

 private:
  const std::shared_ptr<PackageLinkResolver> resolver_;
};

class RealUnpacker final : public PackageUnpacker {
 public:
  explicit RealUnpacker(PackageTools tools) : tools_(std::move(tools)) {}

  // UnarchiveError, filesystem_error and the tool runner's system_error all
  // leave with what() = their description, which is what the coordinator
  // sorts by.
  UnpackedPackage unarchivePackage(const std::filesystem::path& archive,
                                   const std::filesystem::path& workingDirectory) override {
    UnarchivedPayload payload = installer::unarchivePackage(archive, workingDirectory, tools_);
    return {std::move(payload.applicationURL), std::move(payload.cleanup)};
  }

 private:
  const PackageTools tools_;
};

InstallStepError::Kind stepKind(AppInstallError::Case kind) {
  switch (kind) {
    case AppInstallError::Case::permissionDenied:
      return InstallStepError::Kind::permissionDenied;
    case AppInstallError::Case::targetRunning:
      return InstallStepError::Kind::targetRunning;
    case AppInstallError::Case::authorizationCancelled:
      return InstallStepError::Kind::authorizationCancelled;
    case AppInstallError::Case::copyFailed:
      break;
  }
  return InstallStepError::Kind::copyFailed;
}

class RealApplicationInstaller final : public ApplicationInstallerSteps {
 public:
  RealApplicationInstaller(PackageTools tools, AppInstallerOptions options,
                           std::vector<std::filesystem::path> applicationDirectories)
      : tools_(std::move(tools)),
        options_(std::move(options)),
        applicationDirectories_(std::move(applicationDirectories)) {}

  std::optional<std::filesystem::path> findInstalledApplication(
      const std::string& bundleIdentifier, const std::optional<std::string>& minimumVersion,
      const std::vector<std::filesystem::path>& extraDirectories) override {
    return installer::findInstalledApplication(bundleIdentifier, minimumVersion, extraDirectories,
                                               applicationDirectories_);
  }

  bool isTargetRunning(const std::string& bundleIdentifier) override {
    return runningTarget(bundleIdentifier).has_value();
  }

  std::string installedVersion(const std::filesystem::path& application) override {
    return installer::installedVersion(application);
  }

  bool isUpdateAvailable(const std::optional<std::string>& latest,
                         const std::string& installed) override {
    return installer::isUpdateAvailable(latest, installed);
  }

  std::filesystem::path installApplication(const std::filesystem::path& source,
                                           const std::filesystem::path& installDirectory,
                                           CopyProgress progress) override {
    return place(source, installDirectory, std::move(progress), false);
  }

  std::filesystem::path placeStagedApplication(const std::filesystem::path& source,
                                               const std::filesystem::path& installDirectory,
                                               CopyProgress progress) override {
    return place(source, installDirectory, std::move(progress), true);
  }

  void removeQuarantine(const std::filesystem::path& application) override {
    installer::removeQuarantine(application, tools_);
  }

 private:
  std::filesystem::path place(const std::filesystem::path& source,
                              const std::filesystem::path& installDirectory, CopyProgress progress,
                              bool moveSource) {
    try {
      return installer::installApplication(source, installDirectory, std::move(progress), options_,
                                           moveSource);
    } catch (const AppInstallError& e) {
      throw InstallStepError(stepKind(e.kind()), e.description());
    } catch (const PrivilegedTaskError& e) {
      // The installer translates these itself; this covers one passed up
      // from the runner's platform layer.
      if (e.kind() == PrivilegedTaskError::Case::authorizationCancelled) {
        throw InstallStepError(InstallStepError::Kind::authorizationCancelled, e.description());
      }
      throw InstallStepError(InstallStepError::Kind::permissionDenied, e.description());
    } catch (const std::exception& e) {
      throw InstallStepError(InstallStepError::Kind::copyFailed, e.what());
    }
  }

  const PackageTools tools_;
  const AppInstallerOptions options_;
  const std::vector<std::filesystem::path> applicationDirectories_;
};

}  // namespace

PackageLinkResolver::InstalledVersionLookup makeInstalledVersionLookup(
    std::vector<std::filesystem::path> applicationDirectories) {
  return [applicationDirectories = std::move(applicationDirectories)](
             const std::string& productID,
             const std::optional<std::string>& installDirectory) -> std::optional<std::string> {
    std::vector<std::filesystem::path> extra;
    if (installDirectory && !installDirectory->empty()) extra.emplace_back(*installDirectory);
    auto found = findInstalledApplication(productID, "0.0.0", extra, applicationDirectories);
    if (!found) return std::nullopt;
    return installer::installedVersion(*found);
  };
}

InstallSteps makeRealInstallSteps(const AppConfig& config, RealInstallStepsOptions options) {
  auto directories = options.applicationDirectories ? *options.applicationDirectories
                                                    : standardApplicationDirectories();
  auto resolver = options.resolver;
  if (!resolver) {
    auto dependencies = options.resolverDependencies;
    if (!dependencies.installedVersion) {
      dependencies.installedVersion = makeInstalledVersionLookup(directories);
    }
    resolver = PackageLinkResolver::create(
        config, std::make_shared<CurlCheckUpdateTransport>(options.transport), std::move(dependencies));
  }
  PackageTools tools = options.tools ? *options.tools : PackageTools::standard();
  if (!options.installer.desktopEntryWriter) options.installer.desktopEntryWriter = writeDesktopEntry;
  if (options.installer.installHelper.empty()) options.installer.installHelper = tools.installHelper;
  return InstallSteps{
      std::make_shared<ResolverLinkSource>(std::move(resolver)),
      std::make_shared<RealUnpacker>(tools),
      std::make_shared<RealApplicationInstaller>(tools, std::move(options.installer),
                                                 std::move(directories)),
  };
}

}  // namespace installer
