#include "package/desktop_entry.h"

#include <gdk-pixbuf/gdk-pixbuf.h>
#include <glib.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <fstream>
#include <sstream>

#include "package/tool_runner.h"
#include "platform/plist.h"

namespace installer {
namespace {

namespace fs = std::filesystem;
using platform::PlistDict;

std::string readText(const fs::path& file) {
  std::ifstream in(file, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

void writeText(const fs::path& file, const std::string& bytes) {
  fs::create_directories(file.parent_path());
  std::ofstream(file, std::ios::binary) << bytes;
}

// A real PNG of `size` square pixels.
std::string png(int size) {
  GdkPixbuf* pixbuf = gdk_pixbuf_new(GDK_COLORSPACE_RGB, TRUE, 8, size, size);
  gdk_pixbuf_fill(pixbuf, 0x3366ccff);
  gchar* buffer = nullptr;
  gsize length = 0;
  EXPECT_TRUE(gdk_pixbuf_save_to_buffer(pixbuf, &buffer, &length, "png", nullptr, nullptr));
  std::string bytes(buffer, length);
  g_free(buffer);
  g_object_unref(pixbuf);
  return bytes;
}

std::string be32(std::size_t v) {
  return {static_cast<char>(v >> 24), static_cast<char>(v >> 16), static_cast<char>(v >> 8), static_cast<char>(v)};
}

std::string icns(const std::vector<std::pair<std::string, std::string>>& members) {
  std::string body;
  for (const auto& [type, data] : members) body += type + be32(data.size() + 8) + data;
  return "icns" + be32(body.size() + 8) + body;
}

std::string utf16le(const std::string& utf8) {
  glong count = 0;
  gunichar2* units = g_utf8_to_utf16(utf8.c_str(), -1, nullptr, &count, nullptr);
  std::string bytes = "\xff\xfe";
  for (glong i = 0; i < count; ++i) {
    bytes += static_cast<char>(units[i] & 0xff);
    bytes += static_cast<char>(units[i] >> 8);
  }
  g_free(units);
  return bytes;
}

class DesktopEntryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (fs::temp_directory_path() / "desktop-entry-XXXXXX").string();
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    root_ = pattern;
    data_ = root_ / "share";
  }
  void TearDown() override { fs::remove_all(root_); }

  fs::path makeBundle(const std::string& bundleName, PlistDict info) {
    fs::path app = root_ / "Applications" / bundleName;
    fs::create_directories(app / "Contents/Resources");
    EXPECT_TRUE(platform::writeXmlPlist(app / "Contents/Info.plist", info));
    if (auto it = info.find("CFBundleExecutable"); it != info.end() && it->second.isString()) {
      writeText(app / "Contents/MacOS" / *it->second.string(), "#!/bin/sh\n");
    }
    return app;
  }

  // The validator's complaints; "" when it accepts the entry.
  static std::string validatorErrors(const fs::path& entry) {
    ToolResult result = runTool("/usr/bin/desktop-file-validate", {entry.string()});
    return result.status == 0 && result.output.find("error:") == std::string::npos ? std::string()
                                                                                     : result.output;
  }

  static GKeyFile* load(const fs::path& entry) {
    GKeyFile* file = g_key_file_new();
    EXPECT_TRUE(g_key_file_load_from_file(file, entry.c_str(), G_KEY_FILE_NONE, nullptr)) << entry;
    return file;
  }

  static std::string value(GKeyFile* file, const char* key, const char* locale = nullptr) {
    gchar* v = locale ? g_key_file_get_locale_string(file, "Desktop Entry", key, locale, nullptr)
                      : g_key_file_get_string(file, "Desktop Entry", key, nullptr);
    std::string s = v ? v : "<absent>";
    g_free(v);
    return s;
  }

  // Exec read back as a launcher does: string escapes, then "%%", then the
  // shell-style quoting.
  static std::vector<std::string> execArgv(GKeyFile* file) {
    std::string exec = value(file, "Exec");
    std::string expanded;
    for (std::size_t i = 0; i < exec.size(); ++i) {
      expanded += exec[i];
      if (exec[i] == '%' && i + 1 < exec.size() && exec[i + 1] == '%') ++i;
    }
    gchar** argv = nullptr;
    std::vector<std::string> args;
    if (g_shell_parse_argv(expanded.c_str(), nullptr, &argv, nullptr)) {
      for (gchar** a = argv; *a; ++a) args.emplace_back(*a);
      g_strfreev(argv);
    }
    return args;
  }

  fs::path root_;
  fs::path data_;
};

TEST_F(DesktopEntryTest, AwkwardNamesMakeValidEntriesThatLaunchTheBundle) {
  if (!fs::exists("/usr/bin/desktop-file-validate")) GTEST_SKIP() << "desktop-file-utils is not installed";
  struct Case {
    const char* bundle;
    const char* displayName;  // "" = none
    const char* name;
    const char* executable;
    const char* expectedName;
  };
  const Case cases[] = {
      {"Simple.app", "", "Simple", "Simple", "Simple"},
      {"My App 2.1.app", "My App", "MyApp", "My App", "My App"},
      {"Bob's \"Best\" App.app", "Bob's \"Best\"", "", "run'\"me", "Bob's \"Best\""},
      {"100% Sure.app", "100% Sure", "", "100%d", "100% Sure"},
      {"Ünïcødé 名前.app", "", "Ünïcødé 名前", "Ünï", "Ünïcødé 名前"},
      {"a\\b$c`d~e;f&g|h<i>j*k?l#m(n).app", "", "a\\b", "x\\y$z", "a\\b"},
      {"Lines.app", "Two\nLines\r\t", "", "Lines", "Two Lines"},
      {"Nameless.app", "", "", "bin", "Nameless"},
      {" Lead.app", "  ", "\t", "lead", "Lead"},
  };
  int n = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.bundle);
    std::string id = "com.example.app" + std::to_string(n++);
    PlistDict info{{"CFBundleIdentifier", id}, {"CFBundleExecutable", c.executable}};
    if (*c.displayName) info["CFBundleDisplayName"] = c.displayName;
    if (*c.name) info["CFBundleName"] = c.name;
    info["CFBundleIconFile"] = "Icon\r";  // Finder's junk name: no such resource
    fs::path app = makeBundle(c.bundle, info);

    auto files = writeDesktopEntry(app, data_);
    ASSERT_TRUE(files);
    EXPECT_EQ(files->entry, data_ / "applications" / (id + ".desktop"));
    EXPECT_EQ(validatorErrors(files->entry), "") << readText(files->entry);
    EXPECT_EQ(fs::status(files->entry).permissions() & fs::perms::all, fs::perms(0644));

    GKeyFile* file = load(files->entry);
    std::string executable = (app / "Contents/MacOS" / c.executable).string();
    EXPECT_EQ(execArgv(file), std::vector<std::string>{executable}) << value(file, "Exec");
    EXPECT_EQ(value(file, "TryExec"), executable);
    EXPECT_EQ(value(file, "Name"), c.expectedName);
    EXPECT_EQ(value(file, "Terminal"), "false");
    EXPECT_EQ(value(file, "Type"), "Application");
    EXPECT_EQ(value(file, "StartupWMClass"), c.executable);
    EXPECT_EQ(value(file, "Icon"), "<absent>");
    g_key_file_free(file);
  }
}

TEST_F(DesktopEntryTest, LocalizedNamesComeFromEachInfoPlistStrings) {
  fs::path app = makeBundle("Loc.app", {{"CFBundleIdentifier", "com.example.loc"},
                                        {"CFBundleExecutable", "loc"},
                                        {"CFBundleName", "Loc"}});
  fs::path res = app / "Contents/Resources";
  writeText(res / "zh-Hans.lproj/InfoPlist.strings", "CFBundleDisplayName = \"简体\";\nCFBundleName = \"x\";");
  writeText(res / "zh-Hant.lproj/InfoPlist.strings", utf16le("/* UTF-16 */ \"CFBundleName\" = \"繁體\";"));
  writeText(res / "pt-BR.lproj/InfoPlist.strings", "\"CFBundleName\" = \"Português\";");
  writeText(res / "English.lproj/InfoPlist.strings", "\"CFBundleName\" = \"Loc \\\\ [en]\";");
  writeText(res / "sr-Latn.lproj/InfoPlist.strings", "\"CFBundleName\" = \"Srpski\";");
  writeText(res / "Base.lproj/InfoPlist.strings", "\"CFBundleName\" = \"Base\";");
  writeText(res / "ko.lproj/InfoPlist.strings", "\"CFBundleName\" = \"\\n\";");  // nothing usable
  writeText(res / "bad_Name!.lproj/InfoPlist.strings", "\"CFBundleName\" = \"Bad\";");

  auto files = writeDesktopEntry(app, data_);
  ASSERT_TRUE(files);
  if (fs::exists("/usr/bin/desktop-file-validate")) {
    EXPECT_EQ(validatorErrors(files->entry), "") << readText(files->entry);
  }
  std::string text = readText(files->entry);
  EXPECT_NE(text.find("Name[zh_CN]=简体\n"), std::string::npos) << text;
  EXPECT_NE(text.find("Name[zh_TW]=繁體\n"), std::string::npos) << text;
  EXPECT_NE(text.find("Name[pt_BR]=Português\n"), std::string::npos) << text;
  EXPECT_NE(text.find("Name[en]=Loc \\\\ [en]\n"), std::string::npos) << text;
  EXPECT_NE(text.find("Name[sr@latin]=Srpski\n"), std::string::npos) << text;
  EXPECT_EQ(text.find("Base"), std::string::npos) << text;
  EXPECT_EQ(text.find("Name[ko]"), std::string::npos) << text;
  EXPECT_EQ(text.find("Bad"), std::string::npos) << text;
}

TEST_F(DesktopEntryTest, IconsGoIntoTheThemeAtTheBundlesSizes) {
  struct Case {
    const char* iconFile;  // "" = no key
    std::vector<std::pair<std::string, std::string>> resources;
    std::vector<int> expectedSizes;
  };
  const Case cases[] = {
      {"", {{"AppIcon.png", png(128)}, {"AppIcon@2x.png", png(256)}}, {128, 256}},
      {"Product",
       {{"Product.icns", icns({{"is32", "raw"}, {"ic11", png(32)}, {"ic07", png(128)}, {"ic10", png(1024)}})}},
       {32, 128, 512}},
      {"Product.png", {{"Product.png", png(100)}}, {96}},
      {"Odd", {{"Odd.png", png(20)}, {"Odd@2x.png", std::string("\x89PNG not really")}}, {16}},
      {"../../etc/passwd", {{"AppIcon.png", png(48)}}, {48}},
      {"Missing", {}, {}},
  };
  int n = 0;
  for (const auto& c : cases) {
    std::string id = "com.example.icon" + std::to_string(n++);
    SCOPED_TRACE(id);
    PlistDict info{{"CFBundleIdentifier", id}, {"CFBundleExecutable", "run"}};
    if (*c.iconFile) info["CFBundleIconFile"] = c.iconFile;
    fs::path app = makeBundle(id + ".app", info);
    for (const auto& [name, bytes] : c.resources) writeText(app / "Contents/Resources" / name, bytes);

    auto files = writeDesktopEntry(app, data_);
    ASSERT_TRUE(files);
    std::vector<fs::path> expected;
    for (int size : c.expectedSizes) {
      std::string dim = std::to_string(size) + "x" + std::to_string(size);
      expected.push_back(data_ / "icons/hicolor" / dim / "apps" / (id + ".png"));
      int width = 0, height = 0;
      ASSERT_NE(gdk_pixbuf_get_file_info(expected.back().c_str(), &width, &height), nullptr);
      EXPECT_EQ(width, size);
      EXPECT_EQ(height, size);
    }
    EXPECT_EQ(files->icons, expected);
    std::string text = readText(files->entry);
    EXPECT_EQ(text.find("Icon=" + id + "\n") != std::string::npos, !expected.empty()) << text;
  }
}

TEST_F(DesktopEntryTest, LinksInTheBundleAreNotFollowed) {
  // An endless file and a picture outside the bundle, reached by links.
  writeText(root_ / "outside.png", png(64));
  for (const char* target : {"/proc/self/pagemap", "../../../outside.png"}) {
    fs::path app = makeBundle("Linked.app", {{"CFBundleIdentifier", "com.example.linked"}, {"CFBundleExecutable", "run"}});
    fs::create_symlink(target, app / "Contents/Resources/AppIcon.png");
    auto files = writeDesktopEntry(app, data_);
    ASSERT_TRUE(files) << target;
    EXPECT_TRUE(files->icons.empty()) << target;
    fs::remove_all(app);
  }
}

TEST_F(DesktopEntryTest, ReinstallReplacesTheEntryAndDropsStaleIconSizes) {
  PlistDict info{{"CFBundleIdentifier", "com.example.re"}, {"CFBundleExecutable", "re"}, {"CFBundleName", "Old"}};
  fs::path app = makeBundle("Re.app", info);
  writeText(app / "Contents/Resources/AppIcon.png", png(64));
  writeText(app / "Contents/Resources/AppIcon@2x.png", png(128));
  ASSERT_TRUE(writeDesktopEntry(app, data_));

  info["CFBundleName"] = "New";
  fs::remove_all(app);
  app = makeBundle("Re.app", info);
  writeText(app / "Contents/Resources/AppIcon.png", png(64));
  auto files = writeDesktopEntry(app, data_);
  ASSERT_TRUE(files);
  EXPECT_NE(readText(files->entry).find("Name=New\n"), std::string::npos);
  EXPECT_TRUE(fs::exists(data_ / "icons/hicolor/64x64/apps/com.example.re.png"));
  EXPECT_FALSE(fs::exists(data_ / "icons/hicolor/128x128/apps/com.example.re.png"));
}

TEST_F(DesktopEntryTest, UnusableBundlesWriteNothing) {
  const PlistDict cases[] = {
      {{"CFBundleExecutable", "run"}},
      {{"CFBundleIdentifier", ""}, {"CFBundleExecutable", "run"}},
      {{"CFBundleIdentifier", "../evil"}, {"CFBundleExecutable", "run"}},
      {{"CFBundleIdentifier", "a/b"}, {"CFBundleExecutable", "run"}},
      {{"CFBundleIdentifier", "com.example.x\n[Other]"}, {"CFBundleExecutable", "run"}},
      {{"CFBundleIdentifier", "com example"}, {"CFBundleExecutable", "run"}},
      {{"CFBundleIdentifier", ".hidden"}, {"CFBundleExecutable", "run"}},
      {{"CFBundleIdentifier", "com.example.ok"}},
      {{"CFBundleIdentifier", "com.example.ok"}, {"CFBundleExecutable", 7}},
      {{"CFBundleIdentifier", "com.example.ok"}, {"CFBundleExecutable", "../../bin/sh"}},
      {{"CFBundleIdentifier", "com.example.ok"}, {"CFBundleExecutable", "new\nline"}},
  };
  int n = 0;
  for (const auto& info : cases) {
    fs::path app = makeBundle("Case" + std::to_string(n++) + ".app", info);
    writeText(app / "Contents/Resources/AppIcon.png", png(32));
    EXPECT_FALSE(writeDesktopEntry(app, data_)) << app;
  }
  EXPECT_FALSE(writeDesktopEntry(root_ / "Absent.app", data_));
  EXPECT_FALSE(fs::exists(data_));
}

TEST_F(DesktopEntryTest, RefreshRunsTheDatabaseToolWhenPresent) {
  fs::path app = makeBundle("Db.app", {{"CFBundleIdentifier", "com.example.db"}, {"CFBundleExecutable", "db"}});
  ASSERT_TRUE(writeDesktopEntry(app, data_));
  std::string savedPath = getenv("PATH") ? getenv("PATH") : "";
  fs::path bin = root_ / "bin";
  writeText(bin / "update-desktop-database", "#!/bin/sh\n[ \"$1\" = -q ] && touch \"$2/refreshed\"\nexit 3\n");
  fs::permissions(bin / "update-desktop-database", fs::perms(0755));

  setenv("PATH", (root_ / "nowhere").c_str(), 1);
  refreshDesktopDatabase(data_);  // no tool: nothing happens
  EXPECT_FALSE(fs::exists(data_ / "applications/refreshed"));
  setenv("PATH", ("relative:" + bin.string() + ":/usr/bin:/bin").c_str(), 1);
  refreshDesktopDatabase(data_);  // its failure is ignored
  setenv("PATH", savedPath.c_str(), 1);
  EXPECT_TRUE(fs::exists(data_ / "applications/refreshed"));
}

// A bundle as macOS tools make it: a compiled icon set and UTF-16 tables.
TEST_F(DesktopEntryTest, RealBundleFromASample) {
  const fs::path zip = fs::path(INSTALLER_SOURCE_DIR).parent_path() / "shared/samples/sparkle-ditto-app-framework-symlinks.zip";
  if (!fs::exists(zip)) GTEST_SKIP() << zip << " is absent";
  if (!fs::exists("/usr/bin/unzip")) GTEST_SKIP() << "unzip is not installed";
  ASSERT_EQ(runTool("/usr/bin/unzip", {"-q", zip.string(), "-d", (root_ / "x").string()}).status, 0);
  auto files = writeDesktopEntry(root_ / "x/SparkleTestCodeSignApp.app", data_);
  ASSERT_TRUE(files);
  if (fs::exists("/usr/bin/desktop-file-validate")) {
    EXPECT_EQ(validatorErrors(files->entry), "") << readText(files->entry);
  }
  EXPECT_GE(files->icons.size(), 3u);
  std::string text = readText(files->entry);
  EXPECT_NE(text.find("Icon=" + files->identifier + "\n"), std::string::npos) << text;
}

TEST(UserDataDirTest, FollowsXdgDataHomeElseHome) {
  std::string savedHome = getenv("HOME") ? getenv("HOME") : "";
  const char* savedData = getenv("XDG_DATA_HOME");
  std::string savedDataCopy = savedData ? savedData : "";
  setenv("HOME", "/home/u", 1);
  setenv("XDG_DATA_HOME", "/data", 1);
  EXPECT_EQ(userDataDir(), fs::path("/data"));
  setenv("XDG_DATA_HOME", "relative", 1);
  EXPECT_EQ(userDataDir(), fs::path("/home/u/.local/share"));
  setenv("HOME", savedHome.c_str(), 1);
  if (savedData) {
    setenv("XDG_DATA_HOME", savedDataCopy.c_str(), 1);
  } else {
    unsetenv("XDG_DATA_HOME");
  }
}

}  // namespace
}  // namespace installer
