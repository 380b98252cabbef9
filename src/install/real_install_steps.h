// The install steps bound to the real parts: the package link resolver
// (over a CurlCheckUpdateTransport unless one is given), the package
// unarchiver and the application installer with its lookups.
//
// The adapters only translate: a failed check becomes a LinkFailure with
// the check error's description; unpacking errors pass through (their
// what() is the description); the installer's and the privileged runner's
// errors become InstallStepError of the matching kind. They keep no state
// of their own beyond what they bind, and are called on the coordinator's
// work queue like the steps they stand for.
#pragma once

#include <filesystem>
#include <memory>
#include <optional>
#include <vector>

#include "config/app_config.h"
#include "install/install_steps.h"
#include "network/check_update_transport.h"
#include "network/package_link_resolver.h"
#include "package/app_installer.h"
#include "package/installed_apps.h"
#include "package/tool_runner.h"

namespace installer {

struct RealInstallStepsOptions {
  // The program's one resolver, shared with the view model. When null, a
  // resolver is built from the configuration with a new
  // CurlCheckUpdateTransport(`transport`) and `resolverDependencies`
  // (whose installed-version lookup, when unset, is the installer's own).
  std::shared_ptr<PackageLinkResolver> resolver;
  CurlCheckUpdateTransport::Options transport;
  PackageLinkResolver::Dependencies resolverDependencies;

  // The external tools of the unarchiver and the quarantine removal; the
  // running program's when absent.
  std::optional<PackageTools> tools;
  // The installer's options; its desktop entry writer, when unset, is
  // writeDesktopEntry.
  AppInstallerOptions installer;
  // The application directories searched for an installed copy besides
  // the ones the caller names; the standard ones when absent.
  std::optional<std::vector<std::filesystem::path>> applicationDirectories;
};

// The lookup the resolver sends in the update check: the first installed
// copy of the product at any version (the override directory first, then
// `applicationDirectories`) and its short version; none when not installed.
PackageLinkResolver::InstalledVersionLookup makeInstalledVersionLookup(
    std::vector<std::filesystem::path> applicationDirectories = standardApplicationDirectories());

// The steps of one coordinator. Cannot fail; nothing starts until the
// coordinator calls a step.
InstallSteps makeRealInstallSteps(const AppConfig& config, RealInstallStepsOptions options = {});

}  // namespace installer
