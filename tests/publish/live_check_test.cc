#include "publish/live_check.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <functional>

#include <nlohmann/json.hpp>

#include "platform/plist.h"
#include "proof/package_signature.h"
#include "publish/bundle_packer.h"
#include "publish/demo_service.h"
#include "publish/update_answer.h"
#include "support/package_fixtures.h"

namespace installer::publish {
namespace {

namespace fs = std::filesystem;

// A loopback port nothing listens on.
int closedPort() {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
  socklen_t length = sizeof address;
  getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
  close(fd);
  return ntohs(address.sin_port);
}

class LiveCheckTest : public ::testing::Test {
 protected:
  void SetUp() override {
    // The product, packed and signed as a vendor does.
    const fs::path product = dir_ / "src" / "Product.app";
    testing::writeInfoPlist(product / "Contents" / "Info.plist", {{"CFBundleIdentifier", "com.example.product"},
                                                                  {"CFBundleExecutable", "product"},
                                                                  {"CFBundleShortVersionString", "3.0"}});
    testing::writeFile(product / "Contents" / "MacOS" / "product", "#!/bin/sh\n", 0755);
    fs::create_directories(dir_ / "packages");
    packBundle(product, PackageFormat::zip, dir_ / "packages" / "Product.zip");
    publicKey_ = createSigningKeyFile(dir_ / "vendor.key");

    demo::DemoServiceOptions options;
    options.packageRoot = dir_ / "packages";
    service_ = std::make_unique<demo::DemoService>(options);
    std::string error;
    ASSERT_TRUE(service_->start(&error)) << error;
    goodAnswer_ = nlohmann::json::parse(makeUpdateAnswer(dir_ / "packages" / "Product.zip", dir_ / "vendor.key",
                                                         service_->url("/packages/Product.zip"), "3.0"));
  }

  // The installer bundle, with its tool stand-ins, aimed at `checkURL`.
  fs::path installer(const std::string& checkURL) {
    const fs::path bundle = dir_ / "Installer.app";
    fs::create_directories(bundle / "Contents");
    if (!fs::exists(bundle / "Contents" / "Helpers")) {
      fs::create_directory_symlink(testing::testHelpersDirectory(), bundle / "Contents" / "Helpers");
    }
    platform::writeXmlPlist(bundle / "Contents" / "Info.plist",
                            {{"InstallApplicationID", "com.example.product"},
                             {"InstallApplicationName", "Product"},
                             {"CheckUpdateURL", checkURL},
                             {"CheckUpdateApp", "product"},
                             {"PackageSigningPublicKey", publicKey_}});
    return bundle;
  }

  testing::TempDir dir_{"check"};
  std::string publicKey_;
  std::unique_ptr<demo::DemoService> service_;
  nlohmann::json goodAnswer_;
};

TEST_F(LiveCheckTest, EachStepPassesOrNamesTheFailure) {
  struct Case {
    const char* name;
    std::function<void(nlohmann::json&)> edit;  // of the good answer
    bool unreachable;
    const char* failedStep;  // nullptr: every step passes
  };
  const Case cases[] = {
      {"good answer", [](nlohmann::json&) {}, false, nullptr},
      {"wrong md5", [](nlohmann::json& a) { a["data"]["md5"] = std::string(32, '0'); }, false, "md5"},
      {"wrong signature",
       [](nlohmann::json& a) { a["data"]["signature"] = base64Encode(std::string(64, 's')); }, false, "signature"},
      {"wrong chunk list signature",
       [](nlohmann::json& a) { a["data"]["chunks_signature"] = base64Encode(std::string(64, 's')); }, false,
       "chunk list"},
      {"no chunk list", [](nlohmann::json& a) { a["data"].erase("chunks"); a["data"].erase("chunks_signature"); },
       false, nullptr},
      {"http link",
       [](nlohmann::json& a) {
         std::string url = a["data"]["app_url"];
         a["data"]["app_url"] = "http" + url.substr(5);
       },
       false, "update check"},
      {"answer too large", [](nlohmann::json& a) { a["padding"] = std::string(2 << 20, ' '); }, false,
       "update check"},
      {"unreachable host", [](nlohmann::json&) {}, true, "update check"},
  };
  for (const auto& c : cases) {
    nlohmann::json answer = goodAnswer_;
    c.edit(answer);
    service_->setAnswer({200, answer.dump()});
    const std::string checkURL =
        c.unreachable ? "https://127.0.0.1:" + std::to_string(closedPort()) + "/check-update" : service_->checkUpdateURL();
    std::vector<CheckStep> steps;
    bool passed = runLiveCheck(installer(checkURL), {.caBundlePath = service_->caBundlePath().string(), .workDirectory = {}},
                               [&](const CheckStep& step) { steps.push_back(step); });
    ASSERT_FALSE(steps.empty()) << c.name;
    std::string lines;
    for (const auto& s : steps) lines += s.line() + "\n";
    if (!c.failedStep) {
      EXPECT_TRUE(passed) << c.name << "\n" << lines;
      EXPECT_EQ(steps.back().line(), "PASS bundle: identifier and executable as the installer needs them") << lines;
    } else {
      EXPECT_FALSE(passed) << c.name;
      EXPECT_EQ(steps.back().name, c.failedStep) << c.name << "\n" << lines;
      EXPECT_FALSE(steps.back().passed) << c.name;
    }
  }
}

}  // namespace
}  // namespace installer::publish
