// Whole install runs with nothing faked: the demo service (update check and
// package downloads over HTTPS on loopback, its own CA), the package link
// resolver over a CurlCheckUpdateTransport, the downloader and package
// cache, the unarchiver with the tool stand-ins, and the application
// installer copying into a temporary applications directory.

#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <fstream>
#include <functional>
#include <map>
#include <random>

#include "publish/demo_service.h"
#include "install/event_recorder.h"
#include "install/install_coordinator.h"
#include "install/real_install_steps.h"
#include "proof/chunk_list.h"
#include "proof/package_signature.h"
#include "proof/integrity.h"
#include "package/running_apps.h"
#include "platform/system_info.h"
#include "support/package_fixtures.h"
#include "support/scoped_temp_home.h"

extern char** environ;

namespace installer {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using testing::randomBytes;
using testing::EventRecorder;
using Log = std::vector<std::string>;

// The running-copy lookup scans every process of the machine: each test
// process gets an identifier of its own so that tests running side by side
// never see each other's application.
const std::string kProductID = "com.example.e2e." + platform::makeUUID();

// One entry of a tree as the installed application must reproduce it.
struct Node {
  char type;         // 'f' file, 'd' directory, 'l' symlink
  unsigned mode;     // permission bits (not for links)
  std::string data;  // file contents or link target
  bool operator==(const Node&) const = default;
};
using Tree = std::map<std::string, Node>;

void walk(const fs::path& root, const fs::path& directory, Tree& tree) {
  for (const auto& entry : fs::directory_iterator(directory)) {
    const fs::path& p = entry.path();
    std::string name = p.lexically_relative(root).string();
    struct stat st {};
    EXPECT_EQ(::lstat(p.c_str(), &st), 0) << p;
    if (S_ISLNK(st.st_mode)) {
      tree[name] = {'l', 0, fs::read_symlink(p).string()};
    } else if (S_ISDIR(st.st_mode)) {
      tree[name] = {'d', st.st_mode & 07777u, ""};
      walk(root, p, tree);
    } else {
      tree[name] = {'f', st.st_mode & 07777u, testing::readFile(p)};
    }
  }
}

Tree snapshot(const fs::path& root) {
  Tree tree;
  walk(root, root, tree);
  return tree;
}

// The modes a read-only disk image gives its files (the image is made
// with Rock Ridge's usable modes): readable by all, executable by all when
// executable by anyone, never writable.
Tree asOnReadOnlyImage(Tree tree) {
  for (auto& [name, node] : tree) {
    if (node.type == 'l') continue;
    unsigned mode = node.mode | 0444;
    if (node.type == 'd' || (mode & 0111)) mode |= 0111;
    if (node.type == 'f') mode &= ~0222u;
    node.mode = mode;
  }
  return tree;
}

// The modes an installed copy has whatever the package says: no special
// bits, no group or other write, readable by all, searchable where useful.
Tree asInstalled(Tree tree) {
  for (auto& [name, node] : tree) {
    if (node.type == 'l') continue;
    unsigned mode = (node.mode & 0755u) | 0644u;
    if (node.type == 'd' || (node.mode & 0111)) mode |= 0111;
    node.mode = mode;
  }
  return tree;
}

std::int64_t treeBytes(const fs::path& root) {
  std::int64_t total = 0;
  for (const auto& [name, node] : snapshot(root)) {
    if (node.type == 'f') total += static_cast<std::int64_t>(node.data.size());
  }
  return total;
}

std::string describe(const Tree& tree) {
  std::string text;
  for (const auto& [name, node] : tree) {
    char mode[16];
    std::snprintf(mode, sizeof mode, "%04o", node.mode);
    text += name + " " + node.type + " " + mode + " " +
            (node.type == 'f' ? std::to_string(node.data.size()) + " bytes" : node.data) + "\n";
  }
  return text;
}

// A child running the installed application's executable, killed and
// reaped on destruction.
class RunningChild {
 public:
  explicit RunningChild(const fs::path& executable) {
    std::string path = executable.string();
    char* argv[] = {path.data(), nullptr};
    EXPECT_EQ(::posix_spawn(&pid_, path.c_str(), nullptr, nullptr, argv, environ), 0);
  }
  ~RunningChild() {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGKILL);
    int status = 0;
    ::waitpid(pid_, &status, 0);
  }
  pid_t pid() const { return pid_; }

 private:
  pid_t pid_ = 0;
};

class InstallE2ETest : public ::testing::Test {
 protected:
  void SetUp() override {
    fs::create_directories(packageRoot());
    demo::DemoServiceOptions options;
    options.packageRoot = packageRoot();
    service_ = std::make_unique<demo::DemoService>(options);
    std::string error;
    ASSERT_TRUE(service_->start(&error)) << error;

    config_.productID = kProductID;
    config_.productName = "Demo";
    config_.productVersion = "1.0";
    config_.installDirectoryOverride = apps().string();
    config_.checkUpdateURL = platform::URL::parse(service_->checkUpdateURL());
    config_.checkUpdateApp = "demo";
  }

  void TearDown() override { service_.reset(); }

  fs::path packageRoot() const { return home_.root() / "served"; }
  fs::path apps() const { return home_.root() / "Apps"; }
  fs::path source() const { return home_.root() / "source"; }

  // The application as it is packaged: an Info.plist, an executable script
  // that keeps running, a relative symlink, resources of several sizes and
  // modes.
  fs::path writeApplication(const std::string& version) {
    testing::AppBundleSpec layout;
    layout.identifier = kProductID;
    layout.shortVersion = version;
    layout.stayRunning = true;
    layout.resources = {{"small.bin", 17}, {"empty.bin", 0}};
    fs::path app = testing::writeAppBundle(source(), "Demo.app", layout);
    testing::writeFile(app / "Contents/Resources/data.bin", randomBytes(3 * 1024 * 1024 + 5, 7));
    testing::writeFile(app / "Contents/Resources/tool.sh", "#!/bin/sh\nexit 0\n", 0755);
    testing::writeFile(app / "Contents/Resources/private.txt", "owner only\n", 0600);
    return app;
  }

  // Packages the application as `name` in the served directory and answers
  // the update check with its link, version and `md5` (the real one when
  // absent).
  void publish(const std::string& name, const std::string& version,
               std::optional<std::string> md5 = std::nullopt) {
    fs::path package = packageRoot() / name;
    std::string extension = package.extension().string();
    if (extension == ".zip") {
      testing::writeArchive(package, testing::ArchiveFormat::zip, testing::entriesFromTree(source()));
    } else if (extension == ".pkg") {
      testing::makeInstallerPackage(package, testing::entriesFromTree(source(), "Applications/"));
    } else {
      testing::makeDiskImage(source(), "Demo", package);
    }
    answer(name, version, md5 ? *md5 : md5Hex(package));
  }

  void answer(const std::string& name, const std::string& version, const std::string& md5) {
    service_->setAnswer({200, R"({"status":0,"data":{"app_url":"{{base_url}}/packages/)" + name +
                                  R"(","md5":")" + md5 + R"(","version":")" + version + R"("}})"});
  }

  // A fresh resolver (the program's one per process), started as the
  // application delegate starts it.
  std::shared_ptr<PackageLinkResolver> makeResolver() {
    CurlCheckUpdateTransport::Options transport;
    transport.caBundlePath = service_->caBundlePath().string();
    PackageLinkResolver::Dependencies dependencies;
    dependencies.installedVersion = makeInstalledVersionLookup(directories());
    dependencies.report = [this](const ReportEvent& event) { events_.reporter().report(event); };
    auto resolver = PackageLinkResolver::create(
        config_, std::make_shared<CurlCheckUpdateTransport>(transport), dependencies);
    resolver->prefetch();
    return resolver;
  }

  std::vector<fs::path> directories() const { return {home_.home() / "Applications"}; }

  // A service of its own (signing, pacing).
  void restartService(demo::DemoServiceOptions options) {
    options.packageRoot = packageRoot();
    service_ = std::make_unique<demo::DemoService>(options);
    std::string error;
    ASSERT_TRUE(service_->start(&error)) << error;
    config_.checkUpdateURL = platform::URL::parse(service_->checkUpdateURL());
  }

  // Entries the run left where it stages: the install folder's hidden ones.
  std::vector<std::string> leftInApps() const {
    std::vector<std::string> names;
    std::error_code ec;
    for (const auto& e : fs::directory_iterator(apps(), ec)) {
      if (e.path().filename().string().rfind(".qx-", 0) == 0) names.push_back(e.path().filename());
    }
    return names;
  }

  std::shared_ptr<InstallCoordinator> make(
      const std::function<void(RealInstallStepsOptions&)>& adjust = {}) {
    RealInstallStepsOptions options;
    options.resolver = makeResolver();
    options.tools = PackageTools::withHelpers(testing::testHelpersDirectory());
    options.applicationDirectories = directories();
    if (adjust) adjust(options);
    InstallCoordinator::Environment env;
    env.mainExecutor = &main_;
    env.reporter = &events_.reporter();
    env.installerBundleIdentifier = "com.example.installer";
    env.downloader.caBundlePath = service_->caBundlePath().string();
    env.downloader.idleTimeout = 10s;
    env.updatePromptWait = 10s;  // the loopback check answers long before
    env.availableCapacity = capacity_;
    auto coordinator =
        InstallCoordinator::create(config_, makeRealInstallSteps(config_, options), env);
    attach(*coordinator);
    return coordinator;
  }

  void attach(InstallCoordinator& c) {
    auto note = [this](std::string entry) { log_.push_back(std::move(entry)); };
    c.onStage = [note](InstallStage s) { note(std::string("stage ") + stageName(s)); };
    c.onProgress = [this](const TransferProgress& p) { progress_.push_back(p); };
    c.onInstalled = [note](const fs::path& p) { note("installed " + p.string()); };
    c.onFailure = [note](const InstallFailure& f) {
      note("failure " + failureCaseName(f) + ": " + failureDetail(f));
    };
    c.onAlreadyInstalled = [note](const fs::path& p) { note("already " + p.string()); };
    c.onUpdateAvailable = [note](const fs::path& p, const std::string& i, const std::string& l) {
      note("update " + p.string() + " " + i + " -> " + l);
    };
    c.onTargetRunning = [note](const fs::path& p) { note("running " + p.string()); };
    c.onNeedsInstallDirectory = [note](const std::string& m) -> std::optional<fs::path> {
      note("ask " + m);
      return std::nullopt;
    };
  }

  static const char* stageName(InstallStage s) {
    switch (s) {
      case InstallStage::checking: return "checking";
      case InstallStage::downloading: return "downloading";
      case InstallStage::verifying: return "verifying";
      case InstallStage::mounting: return "mounting";
      case InstallStage::installing: return "installing";
      case InstallStage::finished: return "finished";
      default: return "other";
    }
  }

  static bool isOutcome(const std::string& entry) {
    return entry.rfind("stage ", 0) != 0 && entry.rfind("ask ", 0) != 0;
  }

  // Runs one install to its outcome, pumping the main thread with a
  // deadline, then a little longer to catch anything after the outcome.
  Log run(InstallCoordinator& c, bool skipInstalledCheck = false) {
    log_.clear();
    progress_.clear();
    c.start(skipInstalledCheck);
    auto outcomes = [this] { return std::count_if(log_.begin(), log_.end(), isOutcome); };
    EXPECT_TRUE(main_.pumpUntil([&] { return outcomes() > 0; }, 30s)) << "run did not end";
    main_.pumpUntil([&] { return outcomes() > 1; }, 100ms);
    EXPECT_EQ(outcomes(), 1);
    return log_;
  }

  std::vector<std::string> eventNames() const {
    std::vector<std::string> names;
    for (const auto& [name, attributes] : events_.events()) names.push_back(name);
    return names;
  }

  // Whether (wire name, attribute JSON) was reported; written as literals.
  bool reported(const std::string& name, const std::string& attributes) const {
    auto events = events_.events();
    return std::find(events.begin(), events.end(), std::pair(name, attributes)) != events.end();
  }

  testing::ScopedTempHome home_;
  platform::ManualMainExecutor main_;
  EventRecorder events_;
  std::unique_ptr<demo::DemoService> service_;
  AppConfig config_;
  Log log_;
  std::vector<TransferProgress> progress_;
  std::function<std::optional<std::int64_t>(const fs::path&)> capacity_;
};

const Log kFullRun = {"stage checking", "stage downloading", "stage verifying",
                      "stage mounting", "stage installing",  "stage finished"};

Log withOutcome(Log log, const std::string& outcome) {
  log.push_back(outcome);
  return log;
}

// --- Each package format installs the very bundle it carries -------------

class PackageFormatTest : public InstallE2ETest,
                          public ::testing::WithParamInterface<const char*> {};

TEST_P(PackageFormatTest, InstallsTheBundleItCarries) {
  fs::path app = writeApplication("1.0");
  std::string name = std::string("Demo-1.0.") + GetParam();
  publish(name, "1.0");
  auto c = make();

  fs::path installed = apps() / "Demo.app";
  EXPECT_EQ(run(*c), withOutcome(kFullRun, "installed " + installed.string()));
  ASSERT_TRUE(fs::is_symlink(app / "Contents/Current"));
  Tree packaged = snapshot(app), copy = snapshot(installed);
  ASSERT_EQ(packaged.count("Contents/Current"), 1u) << describe(packaged);
  if (std::string(GetParam()) == "dmg") packaged = asOnReadOnlyImage(packaged);
  packaged = asInstalled(packaged);
  EXPECT_EQ(copy, packaged) << "installed:\n" << describe(copy) << "packaged:\n" << describe(packaged);

  // Download progress arrived, ending at the package's size; the copy's
  // final report is (total, total).
  std::int64_t size = static_cast<std::int64_t>(fs::file_size(packageRoot() / name));
  ASSERT_FALSE(progress_.empty());
  EXPECT_TRUE(std::any_of(progress_.begin(), progress_.end(), [&](const TransferProgress& p) {
    return p.expected == size && p.received > 0 && p.received <= size;
  }));
  EXPECT_EQ(progress_.back().received, progress_.back().expected);
  EXPECT_EQ(progress_.back().expected, treeBytes(app));

  std::string url = service_->url("/packages/" + name);
  EXPECT_TRUE(reported("DownloadFinishedInfo", R"({"msg":{"datalen":)" + std::to_string(size) +
                                                   R"(,"errno":0,"error":"","result":"success","times":1,"url":")" +
                                                   url + R"("}})"))
      << ::testing::PrintToString(eventNames());
  EXPECT_TRUE(reported("StartInstallInfo", R"({"msg":{"error":"none","path":")" + apps().string() + R"("}})"));
  EXPECT_TRUE(reported("InstallSuccessInfo", R"({"msg":{"error":"none","path":")" + apps().string() + R"("}})"));
  // Unpacking left nothing behind in the working directory.
  EXPECT_TRUE(fs::is_empty(c->workingDirectory()));

  // Again from the cached package: no download, the same tree.
  fs::remove_all(installed);
  EXPECT_EQ(run(*make(), true), (Log{"stage checking", "stage verifying", "stage mounting", "stage installing",
                                     "stage finished", "installed " + installed.string()}));
  EXPECT_EQ(snapshot(installed), packaged);
  EXPECT_EQ(leftInApps(), std::vector<std::string>{});
}

INSTANTIATE_TEST_SUITE_P(E2E, PackageFormatTest, ::testing::Values("zip", "pkg", "dmg"),
                         [](const auto& info) { return std::string(info.param); });

// --- A real image made on macOS ----------------------------------------------

// An APFS image as vendors ship it (an "Applications" link beside the
// bundle, frameworks with version links), installed through the whole run.
// The installed tree matches what 7-Zip extracts from the same image.
TEST_F(InstallE2ETest, InstallsTheBundleOfARealAPFSImage) {
  fs::path sample = fs::path(INSTALLER_SOURCE_DIR).parent_path() / "shared/samples/sparkle-udbz-gpt-apfs-app.dmg";
  if (!fs::exists(sample)) GTEST_SKIP() << "no sample at " << sample;
  fs::copy_file(sample, packageRoot() / "Sparkle.dmg");
  answer("Sparkle.dmg", "1.0", md5Hex(packageRoot() / "Sparkle.dmg"));
  auto c = make();

  fs::path installed = apps() / "SparkleTestCodeSignApp.app";
  EXPECT_EQ(run(*c), withOutcome(kFullRun, "installed " + installed.string()));
  fs::path reference = home_.root() / "reference";
  std::string extract = "7z x -snld -sns- -y -o'" + reference.string() + "' '" + sample.string() + "' >/dev/null 2>&1";
  ASSERT_EQ(std::system(extract.c_str()), 0);
  fs::path expected;
  for (const auto& e : fs::recursive_directory_iterator(reference)) {
    if (e.path().filename() == installed.filename() && fs::is_directory(e.symlink_status())) {
      expected = e.path();
      break;
    }
  }
  ASSERT_FALSE(expected.empty());
  // Names, kinds, link targets and executable bits; modes are the installer's.
  auto shape = [](Tree tree) {
    for (auto& [name, node] : tree) {
      if (node.type != 'l') node.mode = node.type == 'f' ? node.mode & 0100 : 0;
    }
    return tree;
  };
  Tree copy = shape(snapshot(installed)), packaged = shape(snapshot(expected));
  EXPECT_EQ(copy, packaged) << "installed:\n" << describe(copy) << "packaged:\n" << describe(packaged);
  EXPECT_TRUE(fs::is_empty(c->workingDirectory()));
}

// --- What a run offers once a copy is installed ----------------------------

TEST_F(InstallE2ETest, InstalledCopyIsKeptOfferedAnUpdateAndGuardedWhileRunning) {
  writeApplication("1.0");
  publish("Demo.zip", "1.0");
  fs::path installed = apps() / "Demo.app";
  {
    auto c = make();
    ASSERT_EQ(run(*c), withOutcome(kFullRun, "installed " + installed.string()));
  }

  // Same version on the service: nothing to do. The check told the service
  // which version is installed.
  {
    auto c = make();
    EXPECT_EQ(run(*c), (Log{"stage checking", "already " + installed.string()}));
    auto requests = service_->checkRequests();
    ASSERT_FALSE(requests.empty());
    EXPECT_NE(requests.back().body.find(R"("version":"1.0")"), std::string::npos) << requests.back().body;
  }

  // A newer version on the service: an update is offered.
  answer("Demo.zip", "1.1", md5Hex(packageRoot() / "Demo.zip"));
  {
    auto c = make();
    EXPECT_EQ(run(*c), (Log{"stage checking", "update " + installed.string() + " 1.0 -> 1.1"}));
  }

  // The installed application running: the run refuses, the copy stays.
  RunningChild child(installed / "Contents/MacOS/demo");
  ASSERT_GT(child.pid(), 0);
  auto deadline = std::chrono::steady_clock::now() + 10s;
  while (!runningTarget(kProductID) && std::chrono::steady_clock::now() < deadline) {
    main_.pumpUntil([] { return false; }, 20ms);
  }
  ASSERT_TRUE(runningTarget(kProductID)) << "the child never showed up as the application";
  {
    auto c = make();
    EXPECT_EQ(run(*c), (Log{"stage checking", "running " + installed.string()}));
    EXPECT_EQ(run(*c, /*skipInstalledCheck=*/true), (Log{"stage checking", "running " + installed.string()}));
  }
  EXPECT_TRUE(fs::exists(installed / "Contents/Info.plist"));
}

// --- A package that does not match its checksum ---------------------------

TEST_F(InstallE2ETest, WrongChecksumFailsVerificationAndIsReported) {
  writeApplication("1.0");
  publish("Demo.zip", "1.0", std::string(32, '0'));
  auto c = make();

  Log log = run(*c);
  ASSERT_EQ(log.size(), 3u) << ::testing::PrintToString(log);
  EXPECT_EQ(log[0], "stage checking");
  EXPECT_EQ(log[1], "stage downloading");
  EXPECT_EQ(log[2].rfind("failure verifyFailed: ", 0), 0u) << log[2];
  std::string detail = log[2].substr(std::string("failure verifyFailed: ").size());

  std::string url = service_->url("/packages/Demo.zip");
  auto size = static_cast<std::int64_t>(fs::file_size(packageRoot() / "Demo.zip"));
  auto events = events_.events();
  auto at = [&](const std::string& name, const std::string& attributes) {
    return std::find(events.begin(), events.end(), std::pair(name, attributes)) - events.begin();
  };
  auto md5Error = at("MD5ErrorInfo", R"({"msg":{"url":")" + url + R"("}})");
  auto dataError = at("PartDownloadDataErrInfo", R"({"msg":{"datalen":)" + std::to_string(size) +
                                                     R"(,"errno":-1,"error":")" + detail +
                                                     R"(","result":"failed","times":1,"url":")" + url + R"("}})");
  ASSERT_LT(md5Error, static_cast<long>(events.size())) << ::testing::PrintToString(events);
  ASSERT_LT(dataError, static_cast<long>(events.size())) << ::testing::PrintToString(events);
  EXPECT_LT(md5Error, dataError);
  EXPECT_LT(at("DownloadStartInfo",
               R"({"msg":{"datalen":0,"errno":0,"error":"","result":"","times":1,"url":")" + url + R"("}})"),
            md5Error);
  EXPECT_EQ(std::count_if(events.begin(), events.end(),
                          [](const auto& e) { return e.first == "AccessDownloadInfo"; }),
            1);
  // Nothing installed, the bad package not kept.
  EXPECT_FALSE(fs::exists(apps() / "Demo.app"));
  EXPECT_FALSE(reported("StartInstallInfo", R"({"msg":{"error":"none","path":")" + apps().string() + R"("}})"));
}

// With PackageSigningPublicKey set, the package the service signed installs
// only when the key is the signer's; otherwise nothing is installed or kept.
TEST_F(InstallE2ETest, ASigningKeyAdmitsOnlyThePackagesItsOwnerSigned) {
  auto signer = generateSigningKeyPair();
  demo::DemoServiceOptions options;
  options.packageRoot = packageRoot();
  options.signingSecretKey = signer.secretKey;
  service_ = std::make_unique<demo::DemoService>(options);
  std::string error;
  ASSERT_TRUE(service_->start(&error)) << error;
  config_.checkUpdateURL = platform::URL::parse(service_->checkUpdateURL());
  writeApplication("1.0");
  publish("Demo.zip", "1.0");

  config_.packageSigningPublicKey = base64Encode(generateSigningKeyPair().publicKey);
  EXPECT_EQ(run(*make()), (Log{"stage checking", "stage downloading",
                               "failure verifyFailed: package signature rejected: the signature "
                               "does not match the package"}));
  EXPECT_FALSE(fs::exists(apps() / "Demo.app"));
  EXPECT_FALSE(fs::exists(home_.dataHome() / "com.example.installer" / "1.0-Demo.zip"));

  config_.packageSigningPublicKey = base64Encode(signer.publicKey);
  EXPECT_EQ(run(*make()), withOutcome(kFullRun, "installed " + (apps() / "Demo.app").string()));
}

// --- Unpacked while it downloads ---------------------------------------------

// A signed chunk list proves each MiB before the unpacker sees it: a package
// tampered in its third chunk stops the transfer there, and nothing of it
// stays behind.
TEST_F(InstallE2ETest, ATamperedChunkStopsTheTransferAtOnce) {
  auto signer = generateSigningKeyPair();
  demo::DemoServiceOptions options;
  // Paced, and large beside what loopback sockets buffer (a few MiB each
  // way), so that the bytes sent tell where the transfer stopped.
  options.throttleBytesPerSecond = 8 << 20;
  restartService(options);
  fs::path app = writeApplication("1.0");
  testing::writeFile(app / "Contents/Resources/data.bin", randomBytes(32 << 20, 11));
  fs::path package = packageRoot() / "Demo.zip";
  testing::writeArchive(package, testing::ArchiveFormat::zip, testing::entriesFromTree(source()));
  auto size = static_cast<std::int64_t>(fs::file_size(package));
  ChunkList list = chunkListOfFile(package);
  auto digests = digestFile(package, {.md5 = true, .sha256 = true, .signature = false});
  std::string answer = R"({"status":0,"data":{"app_url":"{{base_url}}/packages/Demo.zip","version":"1.0","md5":")" +
                       *digests.md5 + R"(","sha256":")" + *digests.sha256 + R"(","signature":")" +
                       base64Encode(signPackageFile(package, signer.secretKey)) + R"(","size":)" +
                       std::to_string(size) + R"(,"chunks":")" + encodeChunkDigests(list) +
                       R"(","chunks_signature":")" + base64Encode(signChunkList(list, signer.secretKey)) +
                       R"("}})";
  service_->setAnswer({200, answer});
  config_.packageSigningPublicKey = base64Encode(signer.publicKey);
  {
    std::fstream f(package, std::ios::in | std::ios::out | std::ios::binary);
    f.seekp((2 << 20) + 100);
    f.put('\x5a' ^ static_cast<char>(randomBytes(1, 3)[0] | 1));
  }
  ASSERT_NE(chunkListOfFile(package), list);

  auto c = make();
  EXPECT_EQ(run(*c), (Log{"stage checking", "stage downloading",
                          "failure verifyFailed: package signature rejected: chunk 2 of the package "
                          "does not match its signed digest"}));
  EXPECT_LT(service_->packageBytesSent(), size / 2);
  EXPECT_FALSE(fs::exists(apps() / "Demo.app"));
  EXPECT_EQ(leftInApps(), std::vector<std::string>{});
  EXPECT_TRUE(fs::is_empty(c->workingDirectory()));
  fs::path cache = home_.dataHome() / "com.example.installer";
  for (const auto& e : fs::directory_iterator(cache)) ADD_FAILURE() << "left in the cache: " << e.path();
}

// The unpacked size comes from the ZIP's central directory, fetched first:
// too little room fails the run before the package is downloaded.
TEST_F(InstallE2ETest, TooLittleRoomForTheUnpackedTreeFailsBeforeTheDownload) {
  fs::path app = writeApplication("1.0");
  testing::writeFile(app / "Contents/Resources/text.txt", std::string(8 << 20, 'a'));
  publish("Demo.zip", "1.0");
  capacity_ = [](const fs::path&) { return std::optional<std::int64_t>(4 << 20); };
  Log log = run(*make());
  ASSERT_EQ(log.size(), 2u) << ::testing::PrintToString(log);
  EXPECT_EQ(log[1].rfind("failure diskSpace: not enough disk space: need ", 0), 0u) << log[1];
  EXPECT_LT(service_->packageBytesSent(), 128 << 10);
  EXPECT_FALSE(fs::exists(apps() / "Demo.app"));
}

// A quit mid-stream keeps the bytes; the next run replays them into a new
// stream, fetches only the rest, and installs the very bundle. Cancels at
// random points on the way leave no staging folder behind.
TEST_F(InstallE2ETest, CancelsMidStreamLeaveNothingAndTheNextRunResumes) {
  demo::DemoServiceOptions options;
  options.throttleBytesPerSecond = 12 << 20;
  restartService(options);
  fs::path app = writeApplication("1.0");
  testing::writeFile(app / "Contents/Resources/data.bin", randomBytes(6 << 20, 5));
  publish("Demo.zip", "1.0");
  auto size = static_cast<std::int64_t>(fs::file_size(packageRoot() / "Demo.zip"));

  std::mt19937 random(std::random_device{}());
  for (int round = 0; round < 3; ++round) {
    auto c = make();
    log_.clear();
    progress_.clear();
    const std::int64_t before = service_->packageBytesSent();
    const std::int64_t stopAt = std::uniform_int_distribution<std::int64_t>(1, size / 4)(random);
    c->start(false);
    main_.pumpUntil([&] { return service_->packageBytesSent() - before >= stopAt || log_.size() > 3; }, 30s);
    c->cancel();
    ASSERT_TRUE(main_.pumpUntil([&] { return std::count_if(log_.begin(), log_.end(), isOutcome) > 0; }, 30s));
    ASSERT_TRUE(c->settle(10s));
    EXPECT_EQ(leftInApps(), std::vector<std::string>{}) << "round " << round;
    if (fs::exists(apps() / "Demo.app")) break;  // the whole package came before the cancel
    EXPECT_EQ(log_.back(), "failure cancelled: ") << ::testing::PrintToString(log_);
  }
  const std::int64_t before = service_->packageBytesSent();
  fs::remove_all(apps() / "Demo.app");
  auto c = make();
  EXPECT_EQ(run(*c, true), withOutcome(kFullRun, "installed " + (apps() / "Demo.app").string()));
  EXPECT_LT(service_->packageBytesSent() - before, size);
  EXPECT_EQ(snapshot(apps() / "Demo.app"), asInstalled(snapshot(app)));
  EXPECT_EQ(leftInApps(), std::vector<std::string>{});
  EXPECT_TRUE(fs::is_empty(c->workingDirectory()));
}

// Where the user cannot write, the administrator step copies from the
// streamed tree itself.
TEST_F(InstallE2ETest, TheAdministratorStepTakesTheStagedTree) {
  writeApplication("1.0");
  publish("Demo.pkg", "1.0");
  fs::path log = home_.root() / "elevated";
  fs::path tool = home_.root() / "elevate";
  testing::writeFile(tool, "#!/bin/sh\nPKEXEC_UID=" + std::to_string(geteuid()) +
                               "\nexport PKEXEC_UID\necho \"$@\" >>'" + log.string() + "'\nexec \"$@\"\n",
                     0755);
  auto c = make([&](RealInstallStepsOptions& o) {
    o.installer.canWriteDirectly = [](const fs::path&) { return false; };
    o.installer.elevationGuard = [](const fs::path&) { return std::optional<std::string>(); };
    o.installer.privileged.elevationTool = tool;
    o.installer.systemDataDirectory = home_.root() / "share";
    o.installer.desktopEntryWriter = {};
  });
  EXPECT_EQ(run(*c), withOutcome(kFullRun, "installed " + (apps() / "Demo.app").string()));
  std::string said = testing::readFile(log);
  EXPECT_NE(said.find("/.qx-stream-"), std::string::npos) << said;
  EXPECT_EQ(leftInApps(), std::vector<std::string>{});
  EXPECT_TRUE(fs::is_empty(c->workingDirectory()));
}

}  // namespace
}  // namespace installer
