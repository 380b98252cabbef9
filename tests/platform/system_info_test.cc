#include "platform/system_info.h"

#include <gtest/gtest.h>

#include <set>

namespace installer::platform {
namespace {

TEST(SystemVersionTest, ParsesOsReleaseAndDebianPointRelease) {
  const std::string bookworm =
      "PRETTY_NAME=\"Debian GNU/Linux 12 (bookworm)\"\nNAME=\"Debian GNU/Linux\"\n"
      "VERSION_ID=\"12\"\nVERSION=\"12 (bookworm)\"\nID=debian\n";
  EXPECT_EQ(parseSystemVersion(bookworm, "12.8\n"), (SystemVersion{12, 8, 0}));
  EXPECT_EQ(parseSystemVersion(bookworm, ""), (SystemVersion{12, 0, 0}));
  // Testing/unstable name no number in debian_version.
  EXPECT_EQ(parseSystemVersion(bookworm, "trixie/sid\n"), (SystemVersion{12, 0, 0}));
  // A debian_version of another major release does not refine this one.
  EXPECT_EQ(parseSystemVersion("VERSION_ID=\"22.04\"\n", "bookworm/sid"),
            (SystemVersion{22, 4, 0}));
  EXPECT_EQ(parseSystemVersion("VERSION_ID=3.19.1\n", ""), (SystemVersion{3, 19, 1}));
  EXPECT_EQ(parseSystemVersion("VERSION_ID='11'\n", "11.11"), (SystemVersion{11, 11, 0}));
  EXPECT_EQ(parseSystemVersion("", "12.5"), (SystemVersion{12, 5, 0}));
  EXPECT_EQ(parseSystemVersion("", ""), (SystemVersion{0, 0, 0}));
  EXPECT_EQ(parseSystemVersion("NAME=x\nVERSION_ID=\n", "garbage"), (SystemVersion{0, 0, 0}));
  // Not fooled by a key that merely ends in VERSION_ID.
  EXPECT_EQ(parseSystemVersion("OTHER_VERSION_ID=9\nVERSION_ID=1.2\n", ""),
            (SystemVersion{1, 2, 0}));
  EXPECT_EQ((SystemVersion{12, 8, 0}).text(), "12.8.0");
}

TEST(SystemVersionTest, OverrideReplacesTheRunningVersionWhileAlive) {
  SystemVersion real = runningSystemVersion();
  {
    ScopedSystemVersionOverride override(SystemVersion{10, 15, 7});
    EXPECT_EQ(runningSystemVersion(), (SystemVersion{10, 15, 7}));
  }
  EXPECT_EQ(runningSystemVersion(), real);
}

// 8-4-4-4-12 upper-case hex digits, version 4, RFC 4122 variant.
bool isCanonicalV4(const std::string& uuid) {
  if (uuid.size() != 36) return false;
  for (std::size_t i = 0; i < uuid.size(); ++i) {
    char c = uuid[i];
    if (i == 8 || i == 13 || i == 18 || i == 23) {
      if (c != '-') return false;
    } else if (!((c >= '0' && c <= '9') || (c >= 'A' && c <= 'F'))) {
      return false;
    }
  }
  return uuid[14] == '4' && std::string("89AB").find(uuid[19]) != std::string::npos;
}

TEST(IdentifierTest, MakeUUIDIsUpperCaseVersion4AndUnique) {
  EXPECT_FALSE(isCanonicalV4("3f2504e0-4f89-41d3-9a0c-0305e82c3301"));
  std::set<std::string> seen;
  for (int i = 0; i < 1000; ++i) {
    std::string uuid = makeUUID();
    ASSERT_TRUE(isCanonicalV4(uuid)) << uuid;
    seen.insert(uuid);
  }
  EXPECT_EQ(seen.size(), 1000u);
}

TEST(IdentifierTest, PlatformUUIDIsTrimmedWhenPresent) {
  auto uuid = platformUUID();
  if (uuid) {
    EXPECT_FALSE(uuid->empty());
    EXPECT_EQ(uuid->find_first_of(" \n\r\t"), std::string::npos);
  }
}

TEST(DirectoriesTest, FollowTheEnvironment) {
  std::string home = homeDirectory().string();
  EXPECT_FALSE(home.empty());
  EXPECT_EQ(expandTilde("~"), home);
  EXPECT_EQ(expandTilde("~/Applications"), (homeDirectory() / "Applications").string());
  EXPECT_EQ(expandTilde("/opt/~x"), "/opt/~x");
  EXPECT_EQ(expandTilde("~user/x"), "~user/x");
  EXPECT_EQ(systemApplicationsDirectory(), "/Applications");
  EXPECT_EQ(utilitiesApplicationsDirectory(), "/Applications/Utilities");
  EXPECT_EQ(userApplicationsDirectory(), homeDirectory() / "Applications");
  const char* xdg = std::getenv("XDG_DATA_HOME");
  if (xdg == nullptr || *xdg == '\0') {
    EXPECT_EQ(applicationSupportDirectory(), homeDirectory() / ".local" / "share");
  } else {
    EXPECT_EQ(applicationSupportDirectory(), std::filesystem::path(xdg));
  }
}

}  // namespace
}  // namespace installer::platform
