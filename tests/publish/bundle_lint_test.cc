#include "publish/bundle_lint.h"

#include <gtest/gtest.h>

#include <functional>

#include "platform/plist.h"
#include "support/package_fixtures.h"

namespace installer::publish {
namespace {

namespace fs = std::filesystem;
using platform::PlistDict;
using Severity = LintFinding::Severity;

// A shippable installer bundle: the project's own pictures and strings,
// an executable and a product's keys.
fs::path writeCleanInstaller(const fs::path& dir) {
  const fs::path bundle = dir / "Installer.app";
  fs::create_directories(bundle / "Contents" / "MacOS");
  fs::copy(fs::path(INSTALLER_SOURCE_DIR) / "src/app/bundle/Resources", bundle / "Contents" / "Resources",
           fs::copy_options::recursive);
  testing::writeFile(bundle / "Contents" / "MacOS" / "installer", "#!/bin/sh\n", 0755);
  auto info = *platform::readPlistDict(fs::path(INSTALLER_SOURCE_DIR) / "src/app/bundle/Info.plist");
  info["InstallApplicationID"] = "com.example.product";
  info["InstallApplicationName"] = "Product";
  info["InstallApplicationVersion"] = "2.0";
  info["CheckUpdateURL"] = "https://updates.example.com/check";
  info["CheckUpdateApp"] = "product";
  info["PackageSigningPublicKey"] = "2Qk4C4XjkPhxA4R2yEYzZLe3Wl7y8zW8rNZ4yT8H7e0=";
  info["InstallDirectoryOverride"] = "/Applications";
  platform::writeXmlPlist(bundle / "Contents" / "Info.plist", info);
  return bundle;
}

void editInfo(const fs::path& bundle, const std::function<void(PlistDict&)>& edit) {
  auto info = *platform::readPlistDict(bundle / "Contents" / "Info.plist");
  edit(info);
  platform::writeXmlPlist(bundle / "Contents" / "Info.plist", info);
}

std::function<void(const fs::path&)> setKey(const char* key, platform::PlistValue value) {
  return [=](const fs::path& b) { editInfo(b, [&](PlistDict& d) { d[key] = value; }); };
}
std::function<void(const fs::path&)> dropKey(const char* key) {
  return [=](const fs::path& b) { editInfo(b, [&](PlistDict& d) { d.erase(key); }); };
}
std::function<void(const fs::path&)> writeResource(const char* name, std::string text) {
  return [=](const fs::path& b) { testing::writeFile(b / "Contents" / "Resources" / name, text); };
}

TEST(BundleLintTest, CleanBundleHasNoErrors) {
  testing::TempDir dir("lint");
  auto findings = lintInstallerBundle(writeCleanInstaller(dir.path()));
  for (const auto& f : findings) EXPECT_EQ(f.severity, Severity::warning) << f.line();
}

struct Planted {
  const char* mistake;
  std::function<void(const fs::path&)> plant;
  const char* subject;
  Severity severity;
};

TEST(BundleLintTest, EveryPlantedMistakeIsFound) {
  const Planted cases[] = {
      {"plain http update check", setKey("CheckUpdateURL", "http://updates.example.com/check"), "CheckUpdateURL",
       Severity::error},
      {"no update check", dropKey("CheckUpdateApp"), "CheckUpdateApp", Severity::error},
      {"signing key cut short", setKey("PackageSigningPublicKey", "2Qk4C4XjkPhxA4R2"), "PackageSigningPublicKey",
       Severity::error},
      {"install folder not normalised", setKey("InstallDirectoryOverride", "/Applications/../tmp"),
       "InstallDirectoryOverride", Severity::error},
      {"install folder relative", setKey("InstallDirectoryOverride", "Applications"), "InstallDirectoryOverride",
       Severity::error},
      {"version with a letter", setKey("InstallApplicationVersion", "v2.0"), "InstallApplicationVersion",
       Severity::error},
      {"flag as a word", setKey("CarouselEnabled", "yes"), "CarouselEnabled", Severity::error},
      {"size as text", setKey("DownloadPackageSize", "1814"), "DownloadPackageSize", Severity::error},
      {"size ties to one build", setKey("DownloadPackageSize", std::int64_t{187654321}), "DownloadPackageSize",
       Severity::warning},
      {"carousel over http", setKey("CarouselURL", "http://example.com/c"), "CarouselURL", Severity::error},
      {"executable not executable",
       [](const fs::path& b) { fs::permissions(b / "Contents/MacOS/installer", fs::perms::owner_read); },
       "CFBundleExecutable", Severity::error},
      {"2x background missing", [](const fs::path& b) { fs::remove(b / "Contents/Resources/Background@2x.webp"); },
       "Resources/Background@2x.webp", Severity::warning},
      {"2x icon at 1x size",
       [](const fs::path& b) {
         fs::copy_file(b / "Contents/Resources/AppIcon.png", b / "Contents/Resources/AppIcon@2x.png",
                       fs::copy_options::overwrite_existing);
       },
       "Resources/AppIcon@2x.png", Severity::error},
      {"picture not a picture", writeResource("Loading.webp", "GIF89a"), "Resources/Loading.webp", Severity::error},
      {"strings that do not parse", writeResource("fr.lproj/Extra.strings", "\"a\" = \"b\"\n\"c\" = ;\n"),
       "Resources/fr.lproj/Extra.strings", Severity::error},
      {"key missing in one language", writeResource("de.lproj/InfoPlist.strings", "\"CFBundleName\" = \"X\";\n"),
       "Resources/en.lproj/InfoPlist.strings", Severity::error},
  };
  for (const auto& c : cases) {
    testing::TempDir dir("lint");
    const fs::path bundle = writeCleanInstaller(dir.path());
    c.plant(bundle);
    auto findings = lintInstallerBundle(bundle);
    bool found = false;
    for (const auto& f : findings) found |= f.subject == c.subject && f.severity == c.severity && !f.fix.empty();
    EXPECT_TRUE(found) << c.mistake;
    EXPECT_EQ(hasErrors(findings), c.severity == Severity::error) << c.mistake;
  }
}

}  // namespace
}  // namespace installer::publish
