#include "package/app_installer.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <fstream>
#include <memory>
#include <system_error>
#include <vector>

#include "config/app_config.h"
#include "package/file_copy.h"
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

// The root script; its arguments are set before it: the source, the
// destination, the destination's parent, the owner to give the copy (empty:
// keep), the staged desktop entries (empty: none) and the data directory
// they go to. Exit statuses: 2 the source is not a real directory, 3 no
// staging folder, 4 the copy failed, 5 the copy holds what a bundle must
// not, 6 the owner or modes could not be set, 7 the swap failed, 8 no real
// directory ended up in place. Once the bundle is in place it says
// "installed" on descriptor 3 and waits (30 s at most) for the entries'
// ".ready" file. The desktop entries never change the status.
constexpr char kPrivilegedCopyBody[] = R"SH(
umask 022
PATH=/usr/sbin:/usr/bin:/sbin:/bin
export PATH
src=$1 dst=$2 parent=$3 owner=$4 entries=$5 share=$6
stage= old=
trap 'rm -rf -- ${stage:+"$stage"} ${old:+"$old"}' EXIT
[ -d "$src" ] && [ ! -h "$src" ] || exit 2
mkdir -p -- "$parent" || exit 3
stage=$(mktemp -d -- "$parent/.qx-stage-XXXXXXXXXX") || exit 3
cp -a -T -- "$src" "$stage/app" || exit 4
[ -d "$stage/app" ] && [ ! -h "$stage/app" ] || exit 2
[ -z "$(find -P "$stage/app" ! -type d ! -type f ! -type l -print -quit)" ] || exit 5
[ -z "$(find -P "$stage/app" -type f -links +1 -printf '%i %n\n' |
        awk '{ seen[$1]++; links[$1] = $2 } END { for (i in seen) if (seen[i] != links[i]) { print i; exit } }')" ] || exit 5
if [ -n "$owner" ]; then chown -R -h -- "$owner" "$stage/app" || exit 6; fi
find -P "$stage/app" ! -type l -exec chmod ug-s,-t,go-w,u+w,a+rX {} + || exit 6
if [ -e "$dst" ] || [ -h "$dst" ]; then
  old=$(mktemp -d -- "$parent/.qx-old-XXXXXXXXXX") || exit 7
  mv -T -- "$dst" "$old/app" || exit 7
  if ! mv -T -- "$stage/app" "$dst"; then mv -T -- "$old/app" "$dst" || old=; exit 7; fi
else
  mv -T -- "$stage/app" "$dst" || exit 7
fi
[ -d "$dst" ] && [ ! -h "$dst" ] || exit 8
if [ -n "$entries" ]; then
  { echo installed >&3; } 2>/dev/null
  i=0
  while [ ! -f "$entries/.ready" ] && [ $i -lt 300 ]; do sleep 0.1; i=$((i + 1)); done
fi
if [ -n "$entries" ] && [ -d "$entries" ] && [ ! -h "$entries" ] &&
   cp -a -T -- "$entries" "$stage/entries" &&
   [ -z "$(find -P "$stage/entries" ! -type d ! -type f -print -quit)" ]; then
  for f in "$stage/entries/applications/"*.desktop; do
    n=${f##*/}
    case $n in *[!A-Za-z0-9._-]*|.desktop) continue ;; esac
    [ -f "$f" ] && install -D -m 0644 -T -- "$f" "$share/applications/$n"
  done
  for f in "$stage/entries/icons/hicolor/"*/apps/*.png; do
    n=${f##*/} size=${f%/apps/*}
    size=${size##*/}
    case $size in [0-9]*x[0-9]*) ;; *) continue ;; esac
    case $size in *[!0-9x]*|*x*x*) continue ;; esac
    case $n in *[!A-Za-z0-9._-]*|.png) continue ;; esac
    [ -f "$f" ] && install -D -m 0644 -T -- "$f" "$share/icons/hicolor/$size/apps/$n"
  done
  if command -v update-desktop-database >/dev/null 2>&1; then
    update-desktop-database -q "$share/applications"
  fi
fi
exit 0
)SH";

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

// The desktop entry of a system install, written as the user into a private
// folder once the bundle is in place (the writer reads the installed
// bundle), then marked ready for the root script to install; removed with
// the folder.
class StagedDesktopEntry {
 public:
  StagedDesktopEntry(const fs::path& destination, const AppInstallerOptions& options)
      : destination_(destination), writer_(options.desktopEntryWriter) {
    if (!writer_) return;
    try {
      folder_ = makePrivateDirectory(platform::temporaryDirectory(), "qx-desktop-");
    } catch (const std::exception& e) {
      installerLog().error(std::string("desktop entry not staged: ") + e.what());
    }
  }
  ~StagedDesktopEntry() {
    if (folder_.empty()) return;
    std::error_code ec;
    fs::remove_all(folder_, ec);
  }
  StagedDesktopEntry(const StagedDesktopEntry&) = delete;
  StagedDesktopEntry& operator=(const StagedDesktopEntry&) = delete;
  const fs::path& folder() const { return folder_; }

  // Called when the root script reports the bundle in place.
  void write() {
    if (folder_.empty()) return;
    try {
      writer_(destination_, folder_);
    } catch (const std::exception& e) {
      installerLog().error(std::string("desktop entry not staged: ") + e.what());
    }
    std::ofstream(folder_ / ".ready");
  }

 private:
  fs::path destination_;
  DesktopEntryWriter writer_;
  fs::path folder_;
};

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
                          const AppInstallerOptions& options, CopyProgressHandler progress) {
  requireRealDirectorySource(source);
  fs::path folder = makePrivateDirectory(destination.parent_path(), ".qx-stage-");
  fs::path staged = folder / "app";
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

std::string privilegedCopyScript(const fs::path& source, const fs::path& destination,
                                 const std::string& owner, const fs::path& desktopEntries,
                                 const fs::path& systemDataDirectory) {
  fs::path parent = destination.parent_path();
  if (parent.empty()) parent = "/";
  return "set -- " + shellQuote(source.string()) + " " + shellQuote(destination.string()) + " " +
         shellQuote(parent.string()) + " " + shellQuote(owner) + " " +
         shellQuote(desktopEntries.string()) + " " + shellQuote(systemDataDirectory.string()) +
         kPrivilegedCopyBody;
}

fs::path copyPrivileged(const fs::path& source, const fs::path& destination,
                        const AppInstallerOptions& options, const fs::path& desktopEntries,
                        const std::function<void()>& onInstalled) {
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

  std::int32_t status = 0;
  try {
    status = runPrivilegedScript(
        privilegedCopyScript(source, destination, options.privilegedOwner, desktopEntries,
                             options.systemDataDirectory),
        options.privilegedTimeLimit, options.privileged, [&](const std::string& message) {
          if (message == "installed" && onInstalled) onInstalled();
        });
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
  if (!isRealDirectory(destination)) {
    throw AppInstallError::copyFailed("copy did not produce " + destination.string());
  }
  return destination;
}

fs::path installApplication(const fs::path& source, const fs::path& installDirectory,
                            CopyProgressHandler progress, const AppInstallerOptions& options) {
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
    copyUnprivileged(source, destination, options, std::move(progress));
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
    StagedDesktopEntry entry(destination, options);
    copyPrivileged(source, destination, options, entry.folder(), [&entry] { entry.write(); });
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
