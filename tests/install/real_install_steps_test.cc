#include "install/real_install_steps.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "support/package_fixtures.h"
#include "support/scoped_temp_home.h"

#pragma GCC diagnostic ignored "-Wmissing-field-initializers"

namespace installer {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

// Answers every check with one canned outcome, on the caller's thread.
class CannedTransport : public CheckUpdateTransport {
 public:
  explicit CannedTransport(CheckUpdateOutcome outcome) : outcome_(std::move(outcome)) {}
  void checkUpdate(const CheckUpdateRequest&, const platform::URL&,
                   CheckUpdateCompletion completion) override {
    completion(outcome_);
  }

 private:
  CheckUpdateOutcome outcome_;
};

// The lookup the run hands the resolver finds a copy in the override
// folder at any version and answers its short version.
TEST(InstalledVersionLookup, FindsTheCopyInTheOverrideFolder) {
  testing::ScopedTempHome home;
  auto apps = home.root() / "Apps";
  testing::AppBundleSpec bundle;
  bundle.identifier = "com.example.product";
  bundle.shortVersion = "3.2.1";
  testing::writeAppBundle(apps, "Product.app", bundle);
  auto lookup = makeInstalledVersionLookup({});
  EXPECT_EQ(lookup("com.example.product", apps.string()), "3.2.1");
  EXPECT_EQ(lookup("com.example.other", apps.string()), std::nullopt);
}

class RealInstallStepsTest : public ::testing::Test {
 protected:
  RealInstallStepsTest() {
    config.productID = "com.example.demo";
    config.productName = "Demo";
    config.checkUpdateURL = platform::URL::parse("https://127.0.0.1:9/check");
    config.checkUpdateApp = "demo";
  }

  InstallSteps steps(CheckUpdateOutcome outcome) {
    RealInstallStepsOptions options;
    PackageLinkResolver::Dependencies dependencies;
    dependencies.report = [](const ReportEvent&) {};
    dependencies.waitTimeout = 5s;
    options.resolver = PackageLinkResolver::create(
        config, std::make_shared<CannedTransport>(std::move(outcome)), dependencies);
    options.tools = PackageTools::withHelpers(testing::testHelpersDirectory());
    options.applicationDirectories = std::vector<fs::path>{home.home() / "Applications"};
    options.installer = installerOptions;
    return makeRealInstallSteps(config, options);
  }

  void elevation(const std::string& body) {
    installerOptions.canWriteDirectly = [](const fs::path&) { return false; };
    installerOptions.privileged.elevationTool = home.root() / ("elevate-" + std::to_string(++tools));
    const fs::path top = home.root();
    installerOptions.elevationGuard = [top](const fs::path& d) { return elevationRefusal(d, geteuid(), top); };
    installerOptions.systemDataDirectory = home.root() / "share";
    installerOptions.privilegedTimeLimit = 20;
    testing::writeFile(installerOptions.privileged.elevationTool,
                       "#!/bin/sh\nPKEXEC_UID=$(id -u)\nexport PKEXEC_UID\n" + body + "\n", 0755);
  }

  InstallStepError copyError(InstallSteps s, const fs::path& source) {
    try {
      s.installer->installApplication(source, home.root() / "Apps", {});
    } catch (const InstallStepError& e) {
      return e;
    }
    ADD_FAILURE() << "the copy did not fail";
    return InstallStepError(InstallStepError::Kind::copyFailed, "");
  }

  testing::ScopedTempHome home;
  AppConfig config;
  AppInstallerOptions installerOptions;
  int tools = 0;
};

TEST_F(RealInstallStepsTest, LinkOutcomesOfTheResolver) {
  EXPECT_EQ(std::get<LinkFailure>(steps(CheckUpdateHTTPResult{"", 500}).links->resolve()),
            LinkFailure{"HTTP 500"});
  EXPECT_EQ(std::get<LinkFailure>(
                steps(CheckUpdateHTTPResult{R"({"status":3,"reason":"gone"})", 200}).links->resolve()),
            LinkFailure{"server error: gone"});

  auto s = steps(CheckUpdateHTTPResult{
      R"({"status":0,"data":{"app_url":"https://127.0.0.1:9/p.zip","md5":"abc","version":"2.0"}})", 200});
  EXPECT_EQ(s.links->cachedLink(0ms), std::nullopt);  // no check started yet
  auto link = std::get<PackageLink>(s.links->resolve());
  EXPECT_EQ(link.url.absoluteString(), "https://127.0.0.1:9/p.zip");
  EXPECT_EQ(link.md5, "abc");
  EXPECT_EQ(link.version, "2.0");
  EXPECT_EQ(s.links->cachedLink(0ms), link);

  config.checkUpdateApp = "";
  auto unconfigured = steps(CheckUpdateHTTPResult{"", 200});
  EXPECT_FALSE(unconfigured.links->isConfigured());
  EXPECT_TRUE(std::holds_alternative<std::monostate>(unconfigured.links->resolve()));
}

TEST_F(RealInstallStepsTest, UnpackingErrorsCarryTheirDescription) {
  testing::writeFile(home.root() / "package.txt", "not a package");
  try {
    steps(CheckUpdateHTTPResult{"", 500}).unpacker->unarchivePackage(home.root() / "package.txt", home.tmp());
    ADD_FAILURE() << "unpacked a text file";
  } catch (const std::exception& e) {
    EXPECT_STREQ(e.what(), "unsupported package format: txt");
  }
}

TEST_F(RealInstallStepsTest, InstallerErrorsKeepTheirCase) {
  fs::path source = testing::writeAppBundle(home.root() / "src", "Demo.app", {.identifier = "com.example.demo",
                                                                                .shortVersion = "1.4"});
  elevation("exit 126");  // the password dialog dismissed
  auto cancelled = copyError(steps(CheckUpdateHTTPResult{"", 500}), source);
  EXPECT_EQ(cancelled.kind(), InstallStepError::Kind::authorizationCancelled);
  EXPECT_STREQ(cancelled.what(), "authorization was cancelled");

  elevation("exit 127");  // refused
  auto refused = copyError(steps(CheckUpdateHTTPResult{"", 500}), source);
  EXPECT_EQ(refused.kind(), InstallStepError::Kind::permissionDenied);
  EXPECT_STREQ(refused.what(), "AuthorizationExecuteWithPrivileges() failed with status -60005");

  elevation("exec \"$@\"");  // the install helper runs, but refuses the FIFO in the source
  ASSERT_EQ(mkfifo((source / "Contents/pipe").c_str(), 0644), 0);
  auto failed = copyError(steps(CheckUpdateHTTPResult{"", 500}), source);
  EXPECT_EQ(failed.kind(), InstallStepError::Kind::permissionDenied);
  EXPECT_STREQ(failed.what(), "privileged copy exited with status 2");

  // Once it succeeds, the system's entry comes with it.
  fs::remove(source / "Contents/pipe");
  EXPECT_EQ(steps(CheckUpdateHTTPResult{"", 500}).installer->installApplication(source, home.root() / "Apps", {}),
            home.root() / "Apps/Demo.app");
  EXPECT_TRUE(fs::exists(home.root() / "share/applications/com.example.demo.desktop"));
}

TEST_F(RealInstallStepsTest, InstalledCopyIsFoundInTheInjectedDirectories) {
  fs::path source = testing::writeAppBundle(home.root() / "src", "Demo.app", {.identifier = "com.example.demo",
                                                                                .shortVersion = "1.4"});
  auto s = steps(CheckUpdateHTTPResult{"", 500});
  fs::path apps = home.home() / "Applications";
  EXPECT_EQ(s.installer->findInstalledApplication(config.productID, "1.0", {}), std::nullopt);
  fs::create_directories(apps);
  fs::path installed = s.installer->installApplication(source, apps, {});
  EXPECT_EQ(installed, apps / "Demo.app");
  EXPECT_EQ(s.installer->findInstalledApplication(config.productID, "1.0", {}), installed);
  EXPECT_EQ(s.installer->findInstalledApplication(config.productID, "1.5", {}), std::nullopt);
  EXPECT_EQ(s.installer->installedVersion(installed), "1.4");
  EXPECT_TRUE(fs::exists(home.dataHome() / "applications/com.example.demo.desktop"));  // the user's own entry
  EXPECT_TRUE(s.installer->isUpdateAvailable("1.10", "1.4"));
  EXPECT_FALSE(s.installer->isTargetRunning(config.productID));

  // The resolver's lookup: the override directory first, then the others.
  auto lookup = makeInstalledVersionLookup({apps});
  EXPECT_EQ(lookup(config.productID, std::nullopt), "1.4");
  EXPECT_EQ(lookup("com.example.other", std::nullopt), std::nullopt);
  testing::writeAppBundle(home.root() / "Other", "Demo.app",
                                           {.identifier = "com.example.demo", .shortVersion = "0.9"});
  EXPECT_EQ(lookup(config.productID, (home.root() / "Other").string()), "0.9");
}

}  // namespace
}  // namespace installer
