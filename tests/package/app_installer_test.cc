#include "package/app_installer.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <condition_variable>
#include <iostream>
#include <mutex>

#include "package/file_copy.h"
#include "package/install_helper.h"
#include "support/package_fixtures.h"
#include "support/thread_names.h"

namespace installer {
namespace {

namespace fs = std::filesystem;
using testing::TempDir;
using testing::writeFile;
using namespace std::chrono_literals;

bool existsNoFollow(const fs::path& p) {
  std::error_code ec;
  return fs::exists(fs::symlink_status(p, ec));
}

// Collects progress reports from the watcher's queue.
class Reports {
 public:
  CopyProgressHandler handler() {
    return [this](std::int64_t copied, std::int64_t total) {
      std::lock_guard<std::mutex> lock(mu_);
      values_.push_back({copied, total});
      cv_.notify_all();
    };
  }
  std::vector<std::pair<std::int64_t, std::int64_t>> values() {
    std::lock_guard<std::mutex> lock(mu_);
    return values_;
  }
  bool waitFor(const std::function<bool(const std::vector<std::pair<std::int64_t, std::int64_t>>&)>& done,
               std::chrono::milliseconds limit = 5s) {
    std::unique_lock<std::mutex> lock(mu_);
    return cv_.wait_for(lock, limit, [&] { return done(values_); });
  }

 private:
  std::mutex mu_;
  std::condition_variable cv_;
  std::vector<std::pair<std::int64_t, std::int64_t>> values_;
};

void expectMonotonicAndBounded(const std::vector<std::pair<std::int64_t, std::int64_t>>& v) {
  for (size_t i = 0; i < v.size(); ++i) {
    EXPECT_GE(v[i].first, 0);
    EXPECT_LE(v[i].first, v[i].second);
    if (i > 0) {
      EXPECT_GT(v[i].first, v[i - 1].first) << "report " << i;
    }
  }
}

std::string modeOf(const fs::path& p) {
  struct stat st;
  if (lstat(p.c_str(), &st) != 0) return "missing";
  char text[8];
  std::snprintf(text, sizeof text, "%04o", st.st_mode & 07777);
  return text;
}

class AppInstallerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    testing::AppBundleSpec layout;
    layout.resources = {{"big.bin", 3 << 20}, {".hidden", 1000}};
    source = testing::writeAppBundle(dir / "src", "Demo.app", layout);
    target = dir / "Applications";
    fs::create_directories(target);
    options.privilegedTimeLimit = 20;
    options.progressInterval = 20ms;
    // Tests are not root: the folders they own count as root's, below the
    // test's own directory, and the helper copies as the test's user.
    const fs::path top = dir.path();
    options.elevationGuard = [top](const fs::path& d) { return elevationRefusal(d, geteuid(), top); };
    options.installHelper = testing::testHelpersDirectory() / "install-helper";
    options.systemDataDirectory = dir / "share";
  }
  // Makes the install folder one the user cannot write, elevated through
  // a fake pkexec with `body` that, like pkexec, names the invoking user.
  void elevation(const std::string& body = "exec \"$@\"", uid_t user = geteuid()) {
    options.canWriteDirectly = [](const fs::path&) { return false; };
    options.privileged.elevationTool = dir / ("elevate-" + std::to_string(++tools));
    writeFile(options.privileged.elevationTool,
              "#!/bin/sh\nPKEXEC_UID=" + std::to_string(user) + "\nexport PKEXEC_UID\n" + body + "\n", 0755);
  }
  void installOldCopy() { writeFile(target / "Demo.app/Contents/OLD", "previous version"); }
  bool onlyDemoInTarget() {
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(target)) names.push_back(e.path().filename().string());
    return names == std::vector<std::string>{"Demo.app"};
  }
  AppInstallError expectError() {
    try {
      installApplication(source, target, {}, options);
    } catch (const AppInstallError& e) {
      return e;
    }
    ADD_FAILURE() << "no AppInstallError";
    return AppInstallError::copyFailed("");
  }
  // The helper run directly, past the installer's own checks.
  std::int32_t runHelper(const fs::path& from, const fs::path& to) {
    InstallHelperRequest request{from, to, {}, 1u << 30, 1000, 20000, {}};
    return runPrivilegedTool(options.installHelper, installHelperArguments(request), 20, options.privileged);
  }
  // Lets another user (nobody) read the test's tree.
  bool openToNobody() {
    if (geteuid() != 0) return false;
    fs::permissions(dir.path(), fs::perms(0755));
    return true;
  }

  TempDir dir;
  fs::path source, target;
  AppInstallerOptions options;
  int tools = 0;
};

TEST_F(AppInstallerTest, DirectCopyKeepsLinksAndReportsProgress) {
  Reports reports;
  fs::path installed = installApplication(source, target, reports.handler(), options);
  EXPECT_EQ(installed, target / "Demo.app");
  EXPECT_EQ(modeOf(installed / "Contents/MacOS/demo"), "0755");
  EXPECT_EQ(fs::read_symlink(installed / "Contents/Current"), "MacOS");
  EXPECT_EQ(treeSize(installed), treeSize(source));
  EXPECT_TRUE(onlyDemoInTarget());

  auto v = reports.values();
  ASSERT_FALSE(v.empty());
  expectMonotonicAndBounded(v);
  EXPECT_EQ(v.back(), std::make_pair(*treeSize(source), *treeSize(source)));
}

TEST_F(AppInstallerTest, ReplacingSwapsTheNewCopyIn) {
  for (bool privileged : {false, true}) {
    if (privileged) elevation();
    installOldCopy();
    installApplication(source, target, {}, options);
    EXPECT_FALSE(fs::exists(target / "Demo.app/Contents/OLD")) << privileged;
    EXPECT_TRUE(fs::exists(target / "Demo.app/Contents/Resources/big.bin")) << privileged;
    EXPECT_TRUE(onlyDemoInTarget()) << privileged;
  }
}

TEST_F(AppInstallerTest, AFailedDirectCopyIsTheFailureAndNoElevation) {
  installOldCopy();
  options.directCopy = [](const fs::path& from, const fs::path& to) {
    copyTree(from, to);  // a partial copy is left behind, then it fails
    throw std::runtime_error("disk full");
  };
  options.privileged.elevationTool = dir / "elevate";
  writeFile(options.privileged.elevationTool, "#!/bin/sh\ntouch \"$0.ran\"\nexec \"$@\"\n", 0755);
  auto e = expectError();
  EXPECT_EQ(e.kind(), AppInstallError::Case::copyFailed);
  EXPECT_STREQ(e.what(), "disk full");
  EXPECT_FALSE(fs::exists(dir / "elevate.ran"));
  EXPECT_EQ(testing::readFile(target / "Demo.app/Contents/OLD"), "previous version");
  EXPECT_TRUE(onlyDemoInTarget());
}

TEST_F(AppInstallerTest, FailedPrivilegedCopiesLeaveTheInstalledApplicationAlone) {
  installOldCopy();
  elevation("exit 126");  // the password dialog is dismissed
  EXPECT_EQ(expectError().kind(), AppInstallError::Case::authorizationCancelled);

  elevation("exit 127");
  auto refused = expectError();
  EXPECT_EQ(refused.kind(), AppInstallError::Case::permissionDenied);
  EXPECT_STREQ(refused.what(), "AuthorizationExecuteWithPrivileges() failed with status -60005");

  elevation();  // the copy itself fails: a FIFO has no place in a bundle
  ASSERT_EQ(mkfifo((source / "Contents/pipe").c_str(), 0644), 0);
  auto failed = expectError();
  EXPECT_EQ(failed.kind(), AppInstallError::Case::permissionDenied);
  EXPECT_STREQ(failed.what(), "privileged copy exited with status 2");
  EXPECT_EQ(testing::readFile(target / "Demo.app/Contents/OLD"), "previous version");
  EXPECT_TRUE(onlyDemoInTarget());
}

TEST_F(AppInstallerTest, PrivilegedCopyIntoADirectoryWithAQuote) {
  target = dir / "it's \"Apps\" $HOME";  // made by the helper
  elevation();
  Reports reports;
  fs::path installed = installApplication(source, target, reports.handler(), options);
  EXPECT_EQ(installed, target / "Demo.app");
  EXPECT_EQ(fs::read_symlink(installed / "Contents/Current"), "MacOS");
  EXPECT_EQ(treeSize(installed), treeSize(source));
  EXPECT_TRUE(onlyDemoInTarget());
  auto v = reports.values();
  ASSERT_FALSE(v.empty());
  expectMonotonicAndBounded(v);
  EXPECT_EQ(v.back().first, v.back().second);
}

// Hostile sources and destinations, through the fake elevation tool.

TEST_F(AppInstallerTest, SpecialModesInstallAsPlainOnes) {
  writeFile(source / "Contents/MacOS/suid", "x", 04755);
  writeFile(source / "Contents/private", "x", 0600);
  writeFile(source / "Contents/shared", "x", 0666);
  fs::create_directories(source / "Contents/open");
  fs::permissions(source / "Contents/open", fs::perms(01777));
  fs::create_directories(source / "Contents/setgid");
  fs::permissions(source / "Contents/setgid", fs::perms(02770));
  const std::vector<std::pair<std::string, std::string>> expected = {
      {"Contents/MacOS/suid", "0755"}, {"Contents/private", "0644"}, {"Contents/shared", "0644"},
      {"Contents/open", "0755"},       {"Contents/setgid", "0755"}, {"", "0755"}};
  for (bool privileged : {false, true}) {
    if (privileged) elevation();
    fs::path installed = installApplication(source, target, {}, options);
    for (const auto& [name, mode] : expected) {
      EXPECT_EQ(modeOf(name.empty() ? installed : installed / name), mode) << name << " " << privileged;
    }
  }
  struct stat st;
  ASSERT_EQ(lstat((target / "Demo.app/Contents/MacOS/suid").c_str(), &st), 0);
  EXPECT_EQ(st.st_uid, geteuid());
  EXPECT_EQ(st.st_gid, getegid());
}

TEST_F(AppInstallerTest, ALinkedSourceChangesNothingOutside) {
  fs::path outside = dir / "outside";
  writeFile(outside / "secret", "s", 0600);
  fs::permissions(outside, fs::perms(0700));
  fs::path link = dir / "src/Evil.app";
  fs::create_symlink(outside, link);
  elevation();
  EXPECT_EQ(runHelper(link, target / "Evil.app"), kHelperSourceRefused);  // the helper's own check
  source = link;
  for (bool privileged : {false, true}) {
    if (privileged) elevation();
    auto e = expectError();
    EXPECT_EQ(e.kind(), AppInstallError::Case::copyFailed) << privileged;
  }
  EXPECT_EQ(modeOf(outside), "0700");
  EXPECT_EQ(modeOf(outside / "secret"), "0600");
  EXPECT_FALSE(existsNoFollow(target / "Evil.app"));
}

TEST_F(AppInstallerTest, PlantedLinksChangeNothingOutsideTheTarget) {
  fs::path victim = dir / "victim";
  writeFile(victim / "keep", "kept", 0600);
  fs::permissions(victim, fs::perms(0700));
  for (bool privileged : {false, true}) {
    if (privileged) elevation();
    fs::remove_all(target);
    fs::create_directories(target);
    fs::create_symlink(victim, target / "Demo.app");
    fs::create_symlink(victim, target / ".Demo.app.qx-staging");
    fs::create_symlink(victim, target / ".qx-stage-XXXXXXXXXX");
    fs::path installed = installApplication(source, target, {}, options);
    EXPECT_TRUE(fs::is_directory(fs::symlink_status(installed))) << privileged;
    EXPECT_EQ(testing::readFile(victim / "keep"), "kept");
    EXPECT_EQ(modeOf(victim), "0700");
    EXPECT_EQ(modeOf(victim / "keep"), "0600");
    EXPECT_EQ(std::distance(fs::directory_iterator(victim), fs::directory_iterator()), 1);
  }
}

TEST_F(AppInstallerTest, RootFilesAreNotWorldWritableWhateverTheUmask) {
  target = dir / "new/Apps";
  elevation();
  mode_t saved = umask(0);
  installApplication(source, target, {}, options);
  umask(saved);
  EXPECT_EQ(modeOf(dir / "new"), "0755");
  EXPECT_EQ(modeOf(target), "0755");
}

TEST_F(AppInstallerTest, InstallFoldersAreCheckedFirst) {
  const std::vector<std::pair<std::string, std::string>> refused = {
      {"Applications", "not an absolute path"},
      {"-rf", "not an absolute path"},
      {"/opt/../etc", "contains \"..\""},
      {"/opt/./apps", "not a normalised path"},
      {"/opt//apps", "not a normalised path"},
      {"/opt/a\npps", "contains a control character"},
  };
  elevation("touch \"$0.ran\"; exec \"$@\"");
  for (const auto& [folder, why] : refused) {
    target = folder;
    auto e = expectError();
    EXPECT_EQ(e.kind(), AppInstallError::Case::copyFailed);
    EXPECT_EQ(e.description(), "refusing to install into " + folder + ": " + why);
  }
  // Writable by others: no elevation asked for.
  target = dir / "shared";
  fs::create_directories(target);
  fs::permissions(target, fs::perms(0777));
  auto e = expectError();
  EXPECT_EQ(e.kind(), AppInstallError::Case::permissionDenied);
  EXPECT_EQ(e.description(), "refusing to ask for administrator rights: " + target.string() +
                                 " is writable by users other than root");
  EXPECT_FALSE(fs::exists(options.privileged.elevationTool.string() + ".ran"));
}

TEST(ElevationRefusalTest, FoldersOthersCanChange) {
  TempDir dir;
  fs::path inner = dir / "a/b";
  fs::create_directories(inner);
  EXPECT_EQ(elevationRefusal(inner / "not/yet", geteuid(), dir.path()), std::nullopt);
  for (auto mode : {fs::perms(0777), fs::perms(01777), fs::perms(0757)}) {
    fs::permissions(dir / "a", mode);
    EXPECT_EQ(elevationRefusal(inner / "not/yet", geteuid(), dir.path()),
              (dir / "a").string() + " is writable by users other than root");
  }
  fs::permissions(dir / "a", fs::perms(0755));
  fs::create_directories(dir / "open/real");
  fs::permissions(dir / "open", fs::perms(0777));
  fs::create_symlink(dir / "open/real", dir / "a/link");  // leads through an open folder
  EXPECT_NE(elevationRefusal(dir / "a/link", geteuid(), dir.path()), std::nullopt);
  EXPECT_NE(elevationRefusal("/tmp/x", 0), std::nullopt);
  EXPECT_EQ(elevationRefusal("/usr/local/bin", 0), std::nullopt);
}

// A writer that records its calls and lays out an entry.
std::optional<DesktopEntryFiles> fakeEntry(const fs::path& bundle, const fs::path& dataDir,
                                           std::vector<std::pair<fs::path, fs::path>>& calls) {
  calls.emplace_back(bundle, dataDir);
  writeFile(dataDir / "applications/com.example.demo.desktop", "[Desktop Entry]\n");
  return DesktopEntryFiles{"com.example.demo", dataDir / "applications/com.example.demo.desktop", {}};
}

// The header of a square PNG, all a bundle icon needs to be taken unscaled.
std::string pngOfSide(std::uint32_t side) {
  std::string png("\x89PNG\r\n\x1a\n\0\0\0\x0dIHDR", 16);
  for (int i = 0; i < 2; ++i) {
    for (int shift = 24; shift >= 0; shift -= 8) png += static_cast<char>(side >> shift & 0xff);
  }
  return png + std::string(8, '\0');
}

std::vector<std::string> namesIn(const fs::path& folder) {
  std::vector<std::string> names;
  std::error_code ec;
  for (const auto& e : fs::directory_iterator(folder, ec)) names.push_back(e.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

TEST_F(AppInstallerTest, DesktopEntryFollowsOnlyASuccessfulInstall) {
  std::vector<std::pair<fs::path, fs::path>> calls;
  options.desktopEntryWriter = [&](const fs::path& b, const fs::path& d) { return fakeEntry(b, d, calls); };
  options.userDataDirectory = dir / "data";
  installApplication(source, target, {}, options);
  ASSERT_EQ(calls.size(), 1u);
  EXPECT_EQ(calls[0], std::make_pair(target / "Demo.app", dir / "data"));

  // A system install: the helper writes the entry from its own copy, twice
  // over its own entry.
  writeFile(source / "Contents/Resources/AppIcon.png", pngOfSide(64));
  elevation();
  const fs::path share = options.systemDataDirectory;
  const fs::path entry = share / "applications/com.example.demo.desktop";
  for (int round = 0; round < 2; ++round) {
    installApplication(source, target, {}, options);
    EXPECT_EQ(modeOf(entry), "0644");
    EXPECT_NE(testing::readFile(entry).find("Exec=" + (target / "Demo.app/Contents/MacOS/demo").string() + "\n"),
              std::string::npos);
    EXPECT_EQ(testing::readFile(share / "icons/hicolor/64x64/apps/com.example.demo.png"), pngOfSide(64));
  }
  EXPECT_EQ(calls.size(), 1u);

  // No entry after a failure; a failing writer fails nothing.
  elevation("exit 126");
  calls.clear();
  EXPECT_EQ(expectError().kind(), AppInstallError::Case::authorizationCancelled);
  options.canWriteDirectly = {};
  source = dir / "src/Missing.app";
  EXPECT_EQ(expectError().kind(), AppInstallError::Case::copyFailed);
  EXPECT_TRUE(calls.empty());
  source = dir / "src/Demo.app";
  options.desktopEntryWriter = [](const fs::path&, const fs::path&) -> std::optional<DesktopEntryFiles> {
    throw fs::filesystem_error("write", std::make_error_code(std::errc::no_space_on_device));
  };
  EXPECT_EQ(installApplication(source, target, {}, options), target / "Demo.app");
}

// --- hostile users and packages, through the stand-in elevation tool ----------------

TEST_F(AppInstallerTest, AParentSwappedForALinkWhileThePromptIsUpIsNotFollowed) {
  const fs::path hidden = dir / "private";
  testing::writeAppBundle(hidden, "Demo.app");
  writeFile(hidden / "Demo.app/Contents/secret", "s", 0600);
  fs::permissions(hidden, fs::perms(0700));
  elevation("mv " + shellQuote((dir / "src").string()) + " " + shellQuote((dir / "away").string()) + " && ln -s " +
            shellQuote(hidden.string()) + " " + shellQuote((dir / "src").string()) + " && exec \"$@\"");
  auto e = expectError();
  EXPECT_EQ(e.kind(), AppInstallError::Case::permissionDenied);
  EXPECT_STREQ(e.what(), "privileged copy exited with status 2");
  EXPECT_TRUE(fs::is_empty(target));
}

TEST_F(AppInstallerTest, AHardLinkToAnotherUsersFileIsNotPublished) {
  if (!openToNobody()) GTEST_SKIP() << "needs root to read the bundle as another user";
  installOldCopy();
  writeFile(dir / "outside/secret", "s", 0600);  // root's
  fs::create_hard_link(dir / "outside/secret", source / "Contents/Resources/secret");
  elevation("exec \"$@\"", 65534);
  auto e = expectError();
  EXPECT_STREQ(e.what(), "privileged copy exited with status 2");
  EXPECT_EQ(testing::readFile(target / "Demo.app/Contents/OLD"), "previous version");
  EXPECT_TRUE(onlyDemoInTarget());
}

TEST_F(AppInstallerTest, EntriesPlantedInTheUsersFoldersAreNotTaken) {
  options.desktopEntryWriter = [](const fs::path&, const fs::path&) { return std::optional<DesktopEntryFiles>(); };
  writeFile(source / "Contents/Resources/AppIcon.png", pngOfSide(64));
  // While the prompt is up, the user's other processes fill every folder of
  // theirs an entry might be looked for in.
  std::string plant;
  for (const fs::path& folder : {dir / "tmp/qx-desktop-x", dir / "home/.local/share"}) {
    plant += "mkdir -p " + shellQuote((folder / "applications").string()) + " " +
             shellQuote((folder / "icons/hicolor/64x64/apps").string()) + "\necho '[Desktop Entry]' > " +
             shellQuote((folder / "applications/firefox-esr.desktop").string()) + "\necho x > " +
             shellQuote((folder / "icons/hicolor/64x64/apps/firefox-esr.png").string()) + "\n";
  }
  elevation(plant + "exec \"$@\"");
  installApplication(source, target, {}, options);
  const fs::path share = options.systemDataDirectory;
  auto entries = namesIn(share / "applications");
  entries.erase(std::remove(entries.begin(), entries.end(), "mimeinfo.cache"), entries.end());
  EXPECT_EQ(entries, std::vector<std::string>{"com.example.demo.desktop"});
  EXPECT_EQ(namesIn(share / "icons/hicolor/64x64/apps"), std::vector<std::string>{"com.example.demo.png"});
}

TEST_F(AppInstallerTest, AnIdentifierOfAnotherApplicationGetsNoEntry) {
  options.desktopEntryWriter = [](const fs::path&, const fs::path&) { return std::optional<DesktopEntryFiles>(); };
  const fs::path share = options.systemDataDirectory;
  options.otherDataDirectories = {dir / "other"};
  elevation();
  // Another application's entry in the folder the entry goes to, or in
  // another data folder.
  for (const fs::path& folder : {share, dir / "other"}) {
    fs::remove_all(share);
    fs::remove_all(dir / "other");
    writeFile(folder / "applications/com.example.demo.desktop", "[Desktop Entry]\nExec=other\n");
    EXPECT_EQ(installApplication(source, target, {}, options), target / "Demo.app");
    EXPECT_EQ(testing::readFile(folder / "applications/com.example.demo.desktop"), "[Desktop Entry]\nExec=other\n");
    if (folder != share) {
      EXPECT_FALSE(fs::exists(share / "applications/com.example.demo.desktop"));
    }
  }
}

TEST_F(AppInstallerTest, FoldersOthersMayChangeOnTheWayAreRefused) {
  struct Case {
    const char* what;
    fs::perms mode;
    std::function<bool(const fs::path&)> prepare;  // false: cannot be set up here
  };
  const std::vector<Case> cases = {
      {"a 0555 folder of another user", fs::perms(0555),
       [](const fs::path& f) { return geteuid() == 0 && chown(f.c_str(), 65534, 65534) == 0; }},
      {"an ACL that grants write", fs::perms(0755),
       [](const fs::path& f) {
         return access("/usr/bin/setfacl", X_OK) == 0 &&
                runTool("/usr/bin/setfacl", {"-m", "u:65534:rwx", f.string()}).status == 0;
       }},
  };
  installOldCopy();
  elevation();
  // As if the folder changed after the installer's own early check.
  options.elevationGuard = [](const fs::path&) { return std::optional<std::string>(); };
  for (const auto& c : cases) {
    const fs::path way = dir / "way";
    fs::remove_all(way);
    fs::create_directories(way / "Apps");
    fs::permissions(way, c.mode);
    if (!c.prepare(way)) {
      std::cout << "not tried here: " << c.what << "\n";
      fs::permissions(way, fs::perms(0755));
      continue;
    }
    target = way / "Apps";
    auto e = expectError();
    EXPECT_STREQ(e.what(), "privileged copy exited with status 3") << c.what;
    EXPECT_TRUE(fs::is_empty(target)) << c.what;
    fs::permissions(way, fs::perms(0755));
  }
}

TEST_F(AppInstallerTest, ALinkInTheDataFolderGetsNoEntry) {
  options.desktopEntryWriter = [](const fs::path&, const fs::path&) { return std::optional<DesktopEntryFiles>(); };
  writeFile(source / "Contents/Resources/AppIcon.png", pngOfSide(64));
  const fs::path share = options.systemDataDirectory;
  const fs::path victim = dir / "victim";
  elevation();
  for (const char* link : {"", "applications", "icons/hicolor/64x64"}) {
    fs::remove_all(share);
    fs::remove_all(victim);
    fs::create_directories(victim);
    fs::path at = *link ? share / link : share;
    fs::create_directories(at.parent_path());
    fs::create_symlink(victim, at);
    EXPECT_EQ(installApplication(source, target, {}, options), target / "Demo.app") << link;
    EXPECT_TRUE(fs::is_empty(victim)) << link;
    EXPECT_FALSE(fs::exists(share / "applications/com.example.demo.desktop")) << link;
  }
}

TEST_F(AppInstallerTest, ASlowPromptThenTheCopyDeadline) {
  elevation("sleep 2.5; exec \"$@\"");  // the user takes a while to answer the prompt
  options.privilegedTimeLimit = 2;      // which does not count against the copy
  EXPECT_EQ(installApplication(source, target, {}, options), target / "Demo.app");

  installOldCopy();
  options.privilegedTimeLimit = 0;
  auto e = expectError();
  EXPECT_EQ(e.kind(), AppInstallError::Case::permissionDenied);
  EXPECT_STREQ(e.what(), "privileged task timed out");
  EXPECT_EQ(testing::readFile(target / "Demo.app/Contents/OLD"), "previous version");
  EXPECT_TRUE(onlyDemoInTarget());
}

TEST_F(AppInstallerTest, TheRunnerGoneMidCopyLeavesEverythingAsItWas) {
  installOldCopy();
  for (int i = 0; i < 2000; ++i) writeFile(source / "Contents/Resources/many" / std::to_string(i), "x");
  elevation();
  InstallHelperRequest request{source, target / "Demo.app", {}, 1u << 30, 10000, 20000, {}};
  std::vector<std::string> arguments = installHelperArguments(request);
  std::vector<const char*> argv;
  for (const auto& a : arguments) argv.push_back(a.c_str());
  PrivilegedProcess helper;
  ASSERT_EQ(executePrivilegedWith(options.privileged.elevationTool, options.installHelper.c_str(), argv.data(),
                                  static_cast<std::int32_t>(argv.size()), &helper),
            0);
  // The runner goes away as soon as the copy has begun.
  std::string said = helper.pending;
  auto deadline = std::chrono::steady_clock::now() + 20s;
  while (said.find("copying\n") == std::string::npos && std::chrono::steady_clock::now() < deadline) {
    char buffer[256];
    ssize_t n = read(helper.pipe, buffer, sizeof buffer);
    if (n <= 0) break;
    said.append(buffer, static_cast<size_t>(n));
  }
  close(helper.pipe);
  ASSERT_NE(said.find("copying\n"), std::string::npos) << said;
  int status = 0;
  ASSERT_EQ(waitpid(helper.process, &status, 0), helper.process);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == kHelperRunnerGone) << status;
  EXPECT_EQ(testing::readFile(target / "Demo.app/Contents/OLD"), "previous version");
  EXPECT_TRUE(onlyDemoInTarget());
}

TEST_F(AppInstallerTest, PrivilegedCopyGuards) {
  try {
    copyPrivileged(source, "/", options);
    FAIL();
  } catch (const AppInstallError& e) {
    EXPECT_EQ(e.kind(), AppInstallError::Case::copyFailed);
    EXPECT_STREQ(e.what(), "refusing to replace /");
  }
  // A shell that reports success without copying anything, or with a link.
  elevation("printf 'qx-privileged-started\\nqx-privileged-status 0\\n'");
  for (bool link : {false, true}) {
    if (link) fs::create_symlink(source, target / "Demo.app");
    try {
      copyPrivileged(source, target / "Demo.app", options);
      FAIL();
    } catch (const AppInstallError& e) {
      EXPECT_EQ(e.kind(), AppInstallError::Case::copyFailed);
      EXPECT_EQ(e.description(), "copy did not produce " + (target / "Demo.app").string());
    }
  }
}

TEST(AppInstallErrorTest, Descriptions) {
  EXPECT_STREQ(AppInstallError::targetRunning("Demo").what(), "Please exit the Demo before reinstalling.");
  EXPECT_STREQ(AppInstallError::authorizationCancelled().what(), "authorization was cancelled");
  EXPECT_STREQ(AppInstallError::permissionDenied("no").what(), "no");
}

// --- the progress watcher ---------------------------------------------------------

TEST(CopyProgressRuleTest, LowWaterMarkKeepsReportsMonotonic) {
  CopyProgressState s{.total = 100, .lowWater = 150, .reported = {}};
  EXPECT_EQ(CopyProgressWatcher::foldSample(s, 150), 0);  // first sample always reports
  EXPECT_EQ(CopyProgressWatcher::foldSample(s, 40), std::nullopt);  // old copy removed
  EXPECT_EQ(s.lowWater, 40);
  EXPECT_EQ(CopyProgressWatcher::foldSample(s, 0), std::nullopt);
  EXPECT_EQ(CopyProgressWatcher::foldSample(s, 30), 30);
  EXPECT_EQ(CopyProgressWatcher::foldSample(s, 30), std::nullopt);
  EXPECT_EQ(CopyProgressWatcher::foldSample(s, std::nullopt), std::nullopt);
  EXPECT_EQ(CopyProgressWatcher::foldSample(s, 500), 100);  // clamped to the total
  EXPECT_EQ(CopyProgressWatcher::foldSample(s, 600), std::nullopt);
}

TEST(CopyProgressWatcherTest, SamplesAGrowingDestinationThenFinishesOnce) {
  TempDir dir;
  writeFile(dir / "src/a", std::string(4000, 'a'));
  writeFile(dir / "src/b", std::string(6000, 'b'));
  fs::path dest = dir / "dest";
  Reports reports;
  auto watcher = CopyProgressWatcher::create(dir / "src", dest, reports.handler(), 10ms);
  ASSERT_TRUE(watcher);
  watcher->start();
  ASSERT_TRUE(reports.waitFor([](const auto& v) { return !v.empty(); }));
  using Report = std::pair<std::int64_t, std::int64_t>;
  EXPECT_EQ(reports.values().front(), Report(0, 10000));
  writeFile(dest / "a", std::string(4000, 'a'));
  ASSERT_TRUE(reports.waitFor([](const auto& v) { return v.back().first == 4000; }));
  watcher->finish();
  watcher->finish();  // nothing new to say
  watcher->stop();
  auto v = reports.values();
  expectMonotonicAndBounded(v);
  EXPECT_EQ(v.back(), Report(10000, 10000));
  size_t count = v.size();
  writeFile(dest / "b", std::string(6000, 'b'));
  EXPECT_FALSE(reports.waitFor([&](const auto& all) { return all.size() > count; }, 100ms));
  watcher.reset();
}

TEST(CopyProgressWatcherTest, NoWatcherWithoutHandlerOrSize) {
  TempDir dir;
  fs::create_directories(dir / "empty/Contents");
  Reports reports;
  EXPECT_FALSE(CopyProgressWatcher::create(dir / "empty", dir / "d", reports.handler()));
  EXPECT_FALSE(CopyProgressWatcher::create(dir / "missing", dir / "d", reports.handler()));
  writeFile(dir / "full/x", "x");
  EXPECT_FALSE(CopyProgressWatcher::create(dir / "full", dir / "d", {}));

  AppInstallerOptions options;
  fs::create_directories(dir / "apps");
  installApplication(dir / "empty", dir / "apps", reports.handler(), options);
  EXPECT_TRUE(fs::exists(dir / "apps/empty/Contents"));
  EXPECT_TRUE(reports.values().empty());
}

TEST(CopyProgressWatcherTest, ADroppedWatcherGoesQuietAndLeavesNoThread) {
  TempDir dir;
  writeFile(dir / "src/a", std::string(100, 'a'));
  Reports reports;
  std::vector<std::weak_ptr<CopyProgressWatcher>> dropped;
  for (int i = 0; i < 20; ++i) {
    auto watcher = CopyProgressWatcher::create(dir / "src", dir / "dest", reports.handler(), 1ms);
    dropped.push_back(watcher);
    if (i == 0) {
      EXPECT_GE(testing::threadsNamed("copy-progress"), 1u);
    }
    // Read before starting: a first report may land before start() returns.
    const size_t seen = reports.values().size();
    watcher->start();
    if (i % 2 == 1) {  // dropped while its timer is armed, not only before the first sample
      ASSERT_TRUE(reports.waitFor([&](const auto& v) { return v.size() > seen; }));
    }
  }
  // A sample that had already taken its hold when the test let go finishes
  // first (on a busy machine, possibly after the growth below); once every
  // watcher is gone, nothing may sample again.
  auto deadline = std::chrono::steady_clock::now() + 10s;
  auto allGone = [&] {
    return std::all_of(dropped.begin(), dropped.end(), [](const auto& w) { return w.expired(); });
  };
  while (!allGone() && std::chrono::steady_clock::now() < deadline) std::this_thread::sleep_for(1ms);
  ASSERT_TRUE(allGone());
  // Twenty watchers, twenty queue threads: none stays.
  while (testing::threadsNamed("copy-progress") > 0 && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(1ms);
  }
  EXPECT_EQ(testing::threadsNamed("copy-progress"), 0u);
  writeFile(dir / "dest/a", std::string(100, 'a'));
  EXPECT_FALSE(reports.waitFor(
      [](const auto& v) { return std::any_of(v.begin(), v.end(), [](const auto& r) { return r.first > 0; }); },
      100ms));
}

// --- trees -----------------------------------------------------------------------

TEST(TreeTest, SizeCountsRegularFilesOnly) {
  TempDir dir;
  EXPECT_EQ(treeSize(dir / "missing"), 0);
  writeFile(dir / "t/file", std::string(10, 'x'));
  writeFile(dir / "t/.hidden/deep", std::string(5, 'x'));
  fs::create_symlink("/etc/passwd", dir / "t/link");
  fs::create_symlink(dir / "t", dir / "t/loop");
  EXPECT_EQ(treeSize(dir / "t"), 15);
  EXPECT_EQ(treeSize(dir / "t/file"), 0);
}

TEST(TreeTest, CopyKeepsModesTimesAndLinksAndRefusesToOverwrite) {
  TempDir dir;
  writeFile(dir / "s/bin/tool", "#!/bin/sh\n", 0750);
  writeFile(dir / "s/ro", "r", 0444);
  fs::create_symlink("bin/tool", dir / "s/link");
  fs::create_symlink("/nonexistent", dir / "s/dangling");
  fs::last_write_time(dir / "s/ro", fs::file_time_type::clock::now() - 48h);
  fs::permissions(dir / "s/bin", fs::perms(0555));
  copyTree(dir / "s", dir / "d");
  EXPECT_EQ(fs::status(dir / "d/bin/tool").permissions(), fs::perms(0750));
  EXPECT_EQ(fs::status(dir / "d/bin").permissions(), fs::perms(0555));
  EXPECT_EQ(fs::last_write_time(dir / "d/ro"), fs::last_write_time(dir / "s/ro"));
  EXPECT_EQ(fs::read_symlink(dir / "d/link"), "bin/tool");
  EXPECT_EQ(fs::read_symlink(dir / "d/dangling"), "/nonexistent");
  EXPECT_THROW(copyTree(dir / "s", dir / "d"), fs::filesystem_error);
  EXPECT_THROW(copyTree(dir / "nothing", dir / "e"), fs::filesystem_error);
}

TEST(QuarantineTest, RunsXattrAndIgnoresFailures) {
  TempDir dir;
  PackageTools tools;
  tools.xattr = dir / "xattr";
  writeFile(tools.xattr, "#!/bin/sh\nprintf '%s|' \"$@\" > \"$(dirname \"$0\")/args\"\nexit 1\n", 0755);
  removeQuarantine(dir / "My App.app", tools);
  EXPECT_EQ(testing::readFile(dir / "args"), "-dr|com.apple.quarantine|" + (dir / "My App.app").string() + "|");
  tools.xattr = dir / "missing";
  removeQuarantine(dir / "My App.app", tools);
}

}  // namespace
}  // namespace installer
