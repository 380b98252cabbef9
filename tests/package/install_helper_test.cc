#include "package/install_helper.h"

#include <gtest/gtest.h>

namespace installer {
namespace {

TEST(InstallHelperArgumentsTest, RoundTripAndRefusals) {
  InstallHelperRequest request{"/home/u/tmp/Demo.app", "/opt/apps/Demo.app", "/usr/local/share", 10, 3, 300000,
                               {"/srv/share"}};
  std::string why;
  auto parsed = parseInstallHelperArguments(installHelperArguments(request), why);
  ASSERT_TRUE(parsed) << why;
  EXPECT_EQ(parsed->source, request.source);
  EXPECT_EQ(parsed->destination, request.destination);
  EXPECT_EQ(parsed->dataDirectory, request.dataDirectory);
  EXPECT_EQ(parsed->bytes, 10u);
  EXPECT_EQ(parsed->entries, 3u);
  EXPECT_EQ(parsed->milliseconds, 300000);
  EXPECT_EQ(parsed->otherDataDirectories, request.otherDataDirectories);

  const std::vector<std::vector<std::string>> refused = {
      {},
      {"remove", "/a/A.app", "/b/A.app", "-", "1", "1", "1"},
      {"install", "a/A.app", "/b/A.app", "-", "1", "1", "1"},
      {"install", "/a/A.app", "/b/../A.app", "-", "1", "1", "1"},
      {"install", "/a/A.app", "/b/./A.app", "-", "1", "1", "1"},
      {"install", "/a/A.app", "/b//A.app", "-", "1", "1", "1"},
      {"install", "/a/A.app", "/b/A.app/", "-", "1", "1", "1"},
      {"install", "/a/A.app", "/b/A\n.app", "-", "1", "1", "1"},
      {"install", "/a/A.app", "/b/bin", "-", "1", "1", "1"},
      {"install", "/a/A.app", "/A.app", "-", "1", "1", "1"},
      {"install", "/a/A.app", "/b/A.app", "share", "1", "1", "1"},
      {"install", "/a/A.app", "/b/A.app", "-", "-1", "1", "1"},
      {"install", "/a/A.app", "/b/A.app", "-", "1", "1x", "1"},
      {"install", "/a/A.app", "/b/A.app", "-", "1", "1", "99999999999999"},
      {"install", "/a/A.app", "/b/A.app", "-", "1", "1", "1", "relative"},
  };
  for (const auto& arguments : refused) {
    std::string text;
    for (const auto& a : arguments) text += a + " ";
    EXPECT_FALSE(parseInstallHelperArguments(arguments, why)) << text;
  }
}

}  // namespace
}  // namespace installer
