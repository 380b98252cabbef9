#include "package/app_installer.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <memory>
#include <system_error>
#include <vector>

#include "config/app_config.h"
#include "package/file_copy.h"
#include "package/install_helper.h"
#include "platform/system_info.h"
#include "platform/system_log.h"

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

platform::SystemLog installerLog() { return platform::SystemLog("installer", "installer"); }

bool isRealDirectory(const fs::path& p) {
  struct stat st;
  return lstat(p.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

void requireRealDirectorySource(const fs::path& source) {
  if (!isRealDirectory(source)) {
    throw AppInstallError::copyFailed("not an application folder: " + source.string());
  }
}

// The nearest folder at or above `p` that exists (`p` itself when it does).
fs::path nearestExisting(const fs::path& p) {
  fs::path at = p;
  for (;;) {
    struct stat st;
    if (lstat(at.c_str(), &st) == 0 || errno != ENOENT || !at.has_relative_path()) return at;
    at = at.parent_path();
  }
}

bool userCanWrite(const fs::path& directory) {
  return access(nearestExisting(directory).c_str(), W_OK) == 0;
}

// A private folder (0700) of random name "<prefix>XXXXXXXXXX" in `parent`.
fs::path makePrivateDirectory(const fs::path& parent, const char* prefix) {
  std::string pattern = (parent / prefix).string() + "XXXXXXXXXX";
  if (!mkdtemp(pattern.data())) {
    throw fs::filesystem_error("mkdtemp", parent, std::error_code(errno, std::generic_category()));
  }
  return pattern;
}

// How much longer than the helper's own limit the runner waits for it.
constexpr double kHelperGraceSeconds = 5;

[[noreturn]] void failAt(const char* what, const fs::path& p) {
  throw fs::filesystem_error(what, p, std::error_code(errno, std::generic_category()));
}

mode_t normalisedMode(mode_t mode, bool directory) {
  mode_t m = mode & 0777 & ~static_cast<mode_t>(S_IWGRP | S_IWOTH);
  m |= S_IWUSR | S_IRUSR | S_IRGRP | S_IROTH;
  if (directory || (mode & 0111)) m |= S_IXUSR | S_IXGRP | S_IXOTH;
  return m;
}

void normaliseBelow(int dirFd, const fs::path& at) {
  int dupFd = dup(dirFd);
  if (dupFd < 0) failAt("dup", at);
  std::unique_ptr<DIR, int (*)(DIR*)> dir(fdopendir(dupFd), closedir);
  if (!dir) {
    close(dupFd);
    failAt("opendir", at);
  }
  for (;;) {
    errno = 0;
    struct dirent* e = readdir(dir.get());
    if (!e) {
      if (errno != 0) failAt("readdir", at);
      return;
    }
    const char* name = e->d_name;
    if (name[0] == '.' && (name[1] == 0 || (name[1] == '.' && name[2] == 0))) continue;
    struct stat st;
    if (fstatat(dirFd, name, &st, AT_SYMLINK_NOFOLLOW) != 0) failAt("stat", at / name);
    if (S_ISLNK(st.st_mode)) continue;
    bool directory = S_ISDIR(st.st_mode);
    if (fchmodat(dirFd, name, normalisedMode(st.st_mode, directory), 0) != 0) failAt("chmod", at / name);
    if (!directory) continue;
    int sub = openat(dirFd, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (sub < 0) failAt("open", at / name);
    try {
      normaliseBelow(sub, at / name);
    } catch (...) {
      close(sub);
      throw;
    }
    close(sub);
  }
}

void writeUserDesktopEntry(const fs::path& installed, const AppInstallerOptions& options) {
  if (!options.desktopEntryWriter) return;
  try {
    fs::path dataDir = options.userDataDirectory.empty() ? userDataDir() : options.userDataDirectory;
    if (options.desktopEntryWriter(installed, dataDir)) refreshDesktopDatabase(dataDir);
  } catch (const std::exception& e) {
    installerLog().error(std::string("desktop entry not written: ") + e.what());
  }
}

// The number of entries and the bytes of the regular files in the tree at
// `root`, links not followed; absent when any part cannot be read.
std::optional<std::pair<std::uint64_t, std::uint64_t>> measureTree(const fs::path& root) {
  std::uint64_t entries = 1, bytes = 0;
  std::error_code ec;
  fs::recursive_directory_iterator it(root, fs::directory_options::none, ec), end;
  for (; !ec && it != end; it.increment(ec)) {
    ++entries;
    struct stat st;
    if (lstat(it->path().c_str(), &st) != 0) return std::nullopt;
    if (S_ISREG(st.st_mode)) bytes += static_cast<std::uint64_t>(st.st_size);
  }
  if (ec) return std::nullopt;
  return std::make_pair(entries, bytes);
}

bool lexicalAncestorsAreSafe(const fs::path& directory, uid_t trustedUser, const fs::path& top,
                             std::string& refusal) {
  for (fs::path at = directory;; at = at.parent_path()) {
    struct stat st;
    if (stat(at.c_str(), &st) != 0) {
      if (errno != ENOENT) {
        refusal = at.string() + " cannot be inspected";
        return false;
      }
    } else {
      bool byOwner = st.st_uid != trustedUser && (st.st_mode & S_IWUSR);
      bool byGroup = st.st_gid != 0 && (st.st_mode & S_IWGRP);
      bool byAnyone = (st.st_mode & S_IWOTH) != 0;
      if (byOwner || byGroup || byAnyone) {
        refusal = at.string() + " is writable by users other than root";
        return false;
      }
    }
    if (at == top || !at.has_relative_path()) return true;
  }
}

}  // namespace

std::optional<std::string> elevationRefusal(const fs::path& directory, uid_t trustedUser,
                                            const fs::path& top) {
  std::string refusal;
  if (!lexicalAncestorsAreSafe(directory, trustedUser, top, refusal)) return refusal;
  // A link on the way leads somewhere else, whose folders count as well.
  std::error_code ec;
  fs::path resolved = fs::weakly_canonical(directory, ec);
  if (ec) return directory.string() + " cannot be resolved";
  fs::path resolvedTop = fs::weakly_canonical(top, ec);
  if (ec) resolvedTop = top;
  if (resolved != directory &&
      !lexicalAncestorsAreSafe(resolved, trustedUser, resolvedTop, refusal)) {
    return refusal;
  }
  return std::nullopt;
}

void normaliseModes(const fs::path& root) {
  struct stat st;
  if (lstat(root.c_str(), &st) != 0) failAt("stat", root);
  if (S_ISLNK(st.st_mode)) return;
  bool directory = S_ISDIR(st.st_mode);
  if (chmod(root.c_str(), normalisedMode(st.st_mode, directory)) != 0) failAt("chmod", root);
  if (!directory) return;
  int fd = open(root.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) failAt("open", root);
  try {
    normaliseBelow(fd, root);
  } catch (...) {
    close(fd);
    throw;
  }
  close(fd);
}

fs::path copyUnprivileged(const fs::path& source, const fs::path& destination,
                          const AppInstallerOptions& options, CopyProgressHandler progress,
                          bool moveSource) {
  requireRealDirectorySource(source);
  fs::path folder = makePrivateDirectory(destination.parent_path(), ".qx-stage-");
  fs::path staged = folder / "app";
  if (moveSource && ::rename(source.c_str(), staged.c_str()) == 0) {
    try {
      normaliseModes(staged);
      replaceWithStaged(staged, destination);
    } catch (...) {
      std::error_code ec;
      fs::remove_all(folder, ec);
      throw;
    }
    std::error_code ec;
    fs::remove_all(folder, ec);
    if (progress) {
      auto measured = measureTree(destination);
      std::int64_t total = measured ? static_cast<std::int64_t>(measured->second) : 0;
      progress(total, total);
    }
    return destination;
  }
  std::shared_ptr<CopyProgressWatcher> watcher;
  if (progress) {
    watcher = CopyProgressWatcher::create(source, staged, std::move(progress), options.progressInterval);
    if (watcher) watcher->start();
  }
  auto cleanUp = [&] {
    if (watcher) watcher->stop();
    std::error_code ec;
    fs::remove_all(folder, ec);
  };
  try {
    if (options.directCopy) {
      options.directCopy(source, staged);
    } else {
      copyTree(source, staged);
    }
  } catch (const std::exception& e) {
    cleanUp();
    throw AppInstallError::copyFailed(e.what());
  }
  try {
    normaliseModes(staged);
    replaceWithStaged(staged, destination);
  } catch (...) {
    cleanUp();
    throw;
  }
  if (watcher) watcher->finish();
  cleanUp();
  return destination;
}

fs::path copyPrivileged(const fs::path& source, const fs::path& destination,
                        const AppInstallerOptions& options) {
  int components = 0;
  for (const auto& part : destination.relative_path()) {
    if (!part.empty()) ++components;
  }
  if (components < 1) throw AppInstallError::copyFailed("refusing to replace " + destination.string());
  requireRealDirectorySource(source);
  fs::path directory = destination.parent_path();
  auto refusal = options.elevationGuard ? options.elevationGuard(directory)
                                        : elevationRefusal(directory, 0);
  if (refusal) {
    throw AppInstallError::permissionDenied(
        "refusing to ask for administrator rights: " + *refusal);
  }
  // The helper follows no link, so it gets the source's own path.
  std::error_code ec;
  fs::path realSource = fs::canonical(source, ec);
  auto measured = ec ? std::nullopt : measureTree(realSource);
  if (!measured) throw AppInstallError::copyFailed("cannot measure " + source.string());

  InstallHelperRequest request;
  request.source = realSource;
  request.destination = destination;
  if (options.desktopEntryWriter) request.dataDirectory = options.systemDataDirectory;
  request.entries = measured->first;
  request.bytes = measured->second;
  double limit = std::isnan(options.privilegedTimeLimit) ? 0 : std::clamp(options.privilegedTimeLimit, 0.0, 86400.0);
  request.milliseconds = static_cast<std::int64_t>(limit * 1000);
  request.otherDataDirectories = options.otherDataDirectories;
  fs::path helper = options.installHelper.empty() ? PackageTools::standard().installHelper : options.installHelper;

  std::int32_t status = 0;
  std::string said;
  try {
    // The helper keeps its own time limit; ours only catches a helper that
    // does not.
    status = runPrivilegedTool(helper, installHelperArguments(request), limit + kHelperGraceSeconds,
                               options.privileged, [&](const std::string& message) {
                                 if (message.rfind("error ", 0) == 0) said = message.substr(6);
                                 if (message.rfind("entry refused: ", 0) == 0) {
                                   installerLog().error("desktop entry not written: " + message.substr(15));
                                 }
                               });
  } catch (const PrivilegedTaskError& e) {
    if (e.kind() == PrivilegedTaskError::Case::authorizationCancelled) {
      throw AppInstallError::authorizationCancelled();
    }
    throw AppInstallError::permissionDenied(e.description());
  }
  if (!said.empty()) installerLog().error("privileged copy: " + said);
  if (status == kHelperTimedOut) throw AppInstallError::permissionDenied(PrivilegedTaskError::timedOut().description());
  if (status != 0) {
    throw AppInstallError::permissionDenied("privileged copy exited with status " +
                                            std::to_string(status));
  }
  if (!isRealDirectory(destination)) {
    throw AppInstallError::copyFailed("copy did not produce " + destination.string());
  }
  return destination;
}

fs::path installApplication(const fs::path& source, const fs::path& installDirectory,
                            CopyProgressHandler progress, const AppInstallerOptions& options,
                            bool moveSource) {
  if (auto problem = installDirectoryProblem(installDirectory.string())) {
    throw AppInstallError::copyFailed("refusing to install into " + installDirectory.string() + ": " +
                                      *problem);
  }
  fs::path destination = installDirectory / source.filename();
  bool writable = options.canWriteDirectly ? options.canWriteDirectly(installDirectory)
                                           : userCanWrite(installDirectory);
  if (writable) {
    std::error_code ec;
    fs::create_directories(installDirectory, ec);
    if (ec) throw AppInstallError::copyFailed(ec.message() + ": " + installDirectory.string());
    copyUnprivileged(source, destination, options, std::move(progress),
                     moveSource && !options.directCopy);
    writeUserDesktopEntry(destination, options);
    return destination;
  }

  // Root's staging folder is private, so progress shows once the copy lands.
  std::shared_ptr<CopyProgressWatcher> watcher;
  if (progress) {
    watcher = CopyProgressWatcher::create(source, destination, std::move(progress),
                                          options.progressInterval);
    if (watcher) watcher->start();
  }
  try {
    copyPrivileged(source, destination, options);
  } catch (...) {
    if (watcher) watcher->stop();
    throw;
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
