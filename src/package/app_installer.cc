#include "package/app_installer.h"

#include <unistd.h>

#include <system_error>

#include "package/file_copy.h"

namespace installer {

namespace fs = std::filesystem;

AppInstallError AppInstallError::permissionDenied(std::string text) {
  std::string d = text;
  return AppInstallError(Case::permissionDenied, std::move(text), std::move(d));
}
AppInstallError AppInstallError::copyFailed(std::string text) {
  std::string d = text;
  return AppInstallError(Case::copyFailed, std::move(text), std::move(d));
}
AppInstallError AppInstallError::targetRunning(std::string productName) {
  std::string d = "Please exit the " + productName + " before reinstalling.";
  return AppInstallError(Case::targetRunning, std::move(productName), std::move(d));
}
AppInstallError AppInstallError::authorizationCancelled() {
  return AppInstallError(Case::authorizationCancelled, "", "authorization was cancelled");
}

namespace {

// A hidden sibling ".<name><suffix>". Appended piece by piece: prepending to
// a temporary trips a false -Wrestrict in GCC 12 at -O3.
fs::path hiddenSiblingOf(const fs::path& destination, const char* suffix) {
  std::string name(1, '.');
  name.append(destination.filename().string()).append(suffix);
  return destination.parent_path() / name;
}

fs::path oldCopyPathFor(const fs::path& destination) {
  return hiddenSiblingOf(destination, ".qx-old");
}

bool existsNoFollow(const fs::path& p) {
  std::error_code ec;
  return fs::exists(fs::symlink_status(p, ec));
}

}  // namespace

fs::path stagingPathFor(const fs::path& destination) {
  return hiddenSiblingOf(destination, ".qx-staging");
}

fs::path copyUnprivileged(const fs::path& source, const fs::path& destination,
                          const AppInstallerOptions& options) {
  fs::path staging = stagingPathFor(destination);
  if (existsNoFollow(staging)) fs::remove_all(staging);  // a failure is passed up
  try {
    if (options.directCopy) {
      options.directCopy(source, staging);
    } else {
      copyTree(source, staging);
    }
  } catch (const std::exception& e) {
    std::error_code ec;
    fs::remove_all(staging, ec);
    throw AppInstallError::copyFailed(e.what());
  }
  try {
    replaceWithStaged(staging, destination);
  } catch (...) {
    std::error_code ec;
    fs::remove_all(staging, ec);
    throw;
  }
  return destination;
}

std::string privilegedCopyScript(const fs::path& source, const fs::path& destination) {
  const std::string src = shellQuote(source.string());
  const std::string dst = shellQuote(destination.string());
  const std::string staging = shellQuote(stagingPathFor(destination).string());
  const std::string old = shellQuote(oldCopyPathFor(destination).string());
  const std::string parent = shellQuote(destination.parent_path().string());
  // The new copy is complete and readable before the old one is touched;
  // the old one is moved back if the new one cannot take its place. The
  // staging copy is removed whatever happened, keeping the status.
  return "{ /bin/mkdir -p " + parent + " && /bin/rm -rf " + staging + " " + old +
         " && /bin/cp -a " + src + " " + staging + " && { /bin/chmod -R a+rX " + staging +
         " || true; } && { if [ -e " + dst + " ] || [ -h " + dst + " ]; then /bin/mv -f " + dst +
         " " + old + "; fi; } && { /bin/mv " + staging + " " + dst + " || { [ -e " + old +
         " ] && /bin/mv " + old + " " + dst + "; false; }; } && { /bin/rm -rf " + old +
         " || true; }; }; qx_status=$?; /bin/rm -rf " + staging + "; (exit $qx_status)";
}

fs::path copyPrivileged(const fs::path& source, const fs::path& destination,
                        const AppInstallerOptions& options) {
  int components = 0;
  for (const auto& part : destination.relative_path()) {
    if (!part.empty()) ++components;
  }
  if (components < 1) throw AppInstallError::copyFailed("refusing to replace " + destination.string());

  std::int32_t status = 0;
  try {
    status = runPrivilegedScript(privilegedCopyScript(source, destination),
                                 options.privilegedTimeLimit, options.privileged);
  } catch (const PrivilegedTaskError& e) {
    if (e.kind() == PrivilegedTaskError::Case::authorizationCancelled) {
      throw AppInstallError::authorizationCancelled();
    }
    throw AppInstallError::permissionDenied(e.description());
  }
  if (status != 0) {
    throw AppInstallError::permissionDenied("privileged copy exited with status " +
                                            std::to_string(status));
  }
  if (!existsNoFollow(destination)) {
    throw AppInstallError::copyFailed("copy did not produce " + destination.string());
  }
  return destination;
}

fs::path installApplication(const fs::path& source, const fs::path& installDirectory,
                            CopyProgressHandler progress, const AppInstallerOptions& options) {
  fs::path destination = installDirectory / source.filename();
  std::shared_ptr<CopyProgressWatcher> watcher;
  if (progress) {
    watcher = CopyProgressWatcher::create(source, stagingPathFor(destination), std::move(progress),
                                          options.progressInterval);
    if (watcher) watcher->start();
  }

  bool writable = options.canWriteDirectly
                      ? options.canWriteDirectly(installDirectory)
                      : access(installDirectory.c_str(), W_OK) == 0;
  bool copied = false;
  if (writable) {
    try {
      copyUnprivileged(source, destination, options);
      copied = true;
    } catch (const std::exception&) {
      // Not ours to report: the privileged copy gets its chance.
    }
  }
  if (!copied) {
    try {
      copyPrivileged(source, destination, options);
    } catch (...) {
      if (watcher) watcher->stop();
      throw;
    }
  }
  if (watcher) {
    watcher->finish();
    watcher->stop();
  }
  return destination;
}

void removeQuarantine(const fs::path& bundle, const PackageTools& tools) {
  try {
    runTool(tools.xattr, {"-dr", "com.apple.quarantine", bundle.string()});
  } catch (const std::exception&) {
  }
}

}  // namespace installer
