#include "extract/stream_unpacker.h"

#include <gtest/gtest.h>
#include <libxml/parser.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>
#include <zlib.h>

#include <atomic>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <random>
#include <thread>

#include "extract/apple_double.h"
#include "extract/archive_extract.h"
#include "extract/space_reserve.h"
#include "extract/xml_parser_lifetime.h"
#include "support/package_fixtures.h"

namespace installer::helpers {
namespace {

namespace fs = std::filesystem;
using installer::testing::TempDir;
using installer::testing::readFile;
using installer::testing::writeFile;

// What a tree holds, one line per path: type, permissions, link target or
// contents, and user extended attributes.
std::map<std::string, std::string> describe(const fs::path& root) {
  std::map<std::string, std::string> out;
  for (auto it = fs::recursive_directory_iterator(root); it != fs::recursive_directory_iterator(); ++it) {
    struct stat st;
    lstat(it->path().c_str(), &st);
    std::string line = std::to_string(st.st_mode & S_IFMT) + " " + std::to_string(st.st_mode & 07777) + " ";
    if (S_ISLNK(st.st_mode)) line += fs::read_symlink(it->path()).string();
    if (S_ISREG(st.st_mode)) line += std::to_string(std::hash<std::string>{}(readFile(it->path())));
    char names[4096];
    ssize_t n = llistxattr(it->path().c_str(), names, sizeof names);
    for (ssize_t at = 0; at < n; at += static_cast<ssize_t>(std::strlen(names + at)) + 1) {
      char value[8192];
      ssize_t size = lgetxattr(it->path().c_str(), names + at, value, sizeof value);
      line += std::string(" ") + (names + at) + "=" + std::string(value, size > 0 ? size : 0);
    }
    out[it->path().lexically_relative(root).string()] = line;
  }
  return out;
}

// Feeds `bytes` in pieces of the sizes `next` gives.
template <typename Sizes>
bool stream(StreamUnpacker& unpacker, const std::string& bytes, Sizes next, std::string* error) {
  for (std::size_t at = 0; at < bytes.size();) {
    std::size_t size = std::min(next(), bytes.size() - at);
    if (!unpacker.feed(bytes.data() + at, size)) break;
    at += size;
  }
  return unpacker.finish(error);
}

void run(const std::string& command) { ASSERT_EQ(std::system(command.c_str()), 0) << command; }

class StreamUnpackerTest : public ::testing::Test {
 protected:
  void SetUp() override { useUTF8FileNames(); }

  // A tree with what packages hold: modes, links, empty and read-only
  // folders, compressible and incompressible data, AppleDouble metadata.
  fs::path makeTree() {
    fs::path root = dir_ / "tree";
    writeFile(root / "App.app/Contents/Info.plist", std::string(5000, 'p'));
    writeFile(root / "App.app/Contents/MacOS/app", installer::testing::randomBytes(3 << 20, 7), 0755);
    writeFile(root / "App.app/Contents/Resources/private", "secret", 0600);
    writeFile(root / "App.app/Contents/Resources/read-only/file", "r", 0444);
    fs::create_directories(root / "App.app/Contents/Empty");
    fs::create_symlink("MacOS/app", root / "App.app/Contents/current");
    fs::create_symlink("/Applications", root / "Applications");
    chmod((root / "App.app/Contents/Resources/read-only").c_str(), 0555);
    writeFile(root / "__MACOSX/App.app/Contents/._Info.plist",
              installer::testing::appleDouble(std::string(32, 'F'), "fork", {{"com.apple.quarantine", "q"}}));
    return root;
  }

  std::map<std::string, std::string> serial(const fs::path& archive) {
    fs::path out = dir_ / ("serial" + std::to_string(counter_++));
    fs::create_directories(out);
    std::string error;
    EXPECT_TRUE(extractArchive(archive, ArchiveKind::zip, out, &error)) << error;
    foldSequesteredMetadata(out);
    return describe(out);
  }

  // A package the serial way: expanded, then each payload unpacked where it
  // lies. The expanded tree without its payloads, and the payload trees.
  std::pair<std::map<std::string, std::string>, std::map<std::string, std::string>> serialPackage(
      const fs::path& pkg) {
    fs::path expanded = dir_ / ("expanded" + std::to_string(counter_++));
    fs::path payloads = dir_ / ("payloads" + std::to_string(counter_++));
    fs::create_directories(expanded);
    fs::create_directories(payloads);
    std::string error;
    EXPECT_TRUE(extractArchive(pkg, ArchiveKind::xar, expanded, &error)) << error;
    auto tree = describe(expanded);
    for (auto it = tree.begin(); it != tree.end();) {
      fs::path name(it->first);
      if (name.filename() != "Payload" && name.filename() != "Payload.gz") {
        ++it;
        continue;
      }
      fs::create_directories(payloads / name.parent_path());
      run("bsdtar -xpf " + (expanded / name).string() + " -C " + (payloads / name.parent_path()).string());
      it = tree.erase(it);
    }
    return {tree, describe(payloads)};
  }

  fs::path staging() { return dir_ / ("staging" + std::to_string(counter_++)); }

  TempDir dir_{"zipstream"};
  int counter_ = 0;
};

TEST_F(StreamUnpackerTest, StreamedTreeEqualsTheSerialOne) {
  fs::path root = makeTree();
  struct Row {
    const char* label;
    std::string command;
  };
  const Row rows[] = {
      {"zip", "zip -q -r -y"},
      {"zip stored", "zip -q -0 -r -y"},
      {"bsdtar", "bsdtar --format zip -cf"},
      {"bsdtar zip64", "bsdtar --format zip --options zip:zip64 -cf"},
  };
  std::mt19937 random(29);
  for (const Row& row : rows) {
    SCOPED_TRACE(row.label);
    fs::path archive = dir_ / (std::to_string(counter_++) + ".zip");
    run("cd " + root.string() + " && " + row.command + " " + archive.string() + " .");
    std::string bytes = readFile(archive);
    auto expected = serial(archive);
    ASSERT_TRUE(expected.count("App.app/Contents/current"));
    ASSERT_FALSE(expected.count("__MACOSX"));
    for (bool randomSizes : {false, true}) {
      fs::path out = staging();
      std::string error;
      StreamUnpacker unpacker(out);
      auto sizes = [&]() -> std::size_t { return randomSizes ? random() % 300000 + 1 : bytes.size(); };
      ASSERT_TRUE(stream(unpacker, bytes, sizes, &error)) << error;
      EXPECT_EQ(describe(out), expected);
      struct stat st;
      ASSERT_EQ(lstat(out.c_str(), &st), 0);
      EXPECT_EQ(st.st_mode & 0777, 0700u);
      removeTree(out);
    }
  }
}

TEST_F(StreamUnpackerTest, OneByteAtATime) {
  fs::path root = dir_ / "small";
  writeFile(root / "a/b.txt", "hello, streaming world", 0640);
  fs::create_symlink("a/b.txt", root / "link");
  fs::path archive = dir_ / "small.zip";
  run("cd " + root.string() + " && bsdtar --format zip -cf " + archive.string() + " .");
  fs::path out = staging();
  StreamUnpacker unpacker(out);
  std::string error;
  ASSERT_TRUE(stream(unpacker, readFile(archive), [] { return std::size_t{1}; }, &error)) << error;
  EXPECT_EQ(describe(out), serial(archive));
}

fs::path samplesDirectory() {
  for (fs::path at = fs::path(INSTALLER_SOURCE_DIR).parent_path(); !at.empty() && at != at.root_path();
       at = at.parent_path()) {
    if (fs::is_directory(at / "shared" / "samples")) return at / "shared" / "samples";
  }
  return {};
}

TEST_F(StreamUnpackerTest, SamplesMadeOnMacOS) {
  fs::path samples = samplesDirectory();
  if (samples.empty()) GTEST_SKIP() << "no shared/samples above " << INSTALLER_SOURCE_DIR;
  int seen = 0;
  for (const auto& entry : fs::directory_iterator(samples)) {
    bool zip = entry.path().extension() == ".zip";
    if (!zip && entry.path().extension() != ".pkg") continue;
    SCOPED_TRACE(entry.path().filename().string());
    ++seen;
    fs::path out = staging();
    StreamUnpacker unpacker(out, zip ? StreamFormat::zip : StreamFormat::flatPackage);
    std::string error;
    ASSERT_TRUE(stream(unpacker, readFile(entry.path()), [] { return std::size_t{65521}; }, &error)) << error;
    if (zip) {
      EXPECT_EQ(describe(out), serial(entry.path()));
    } else {
      auto [expanded, payloads] = serialPackage(entry.path());
      EXPECT_EQ(describe(out / "expanded"), expanded);
      EXPECT_EQ(describe(out / "payloads"), payloads);
    }
  }
  if (seen == 0) GTEST_SKIP() << "no ZIP or flat package sample in " << samples;
}

// --- A central directory that disagrees with the local headers ---------

std::uint32_t get32(const std::string& s, std::size_t at) {
  return static_cast<unsigned char>(s[at]) | (static_cast<unsigned char>(s[at + 1]) << 8) |
         (static_cast<unsigned char>(s[at + 2]) << 16) | (std::uint32_t{static_cast<unsigned char>(s[at + 3])} << 24);
}
void put32(std::string& s, std::size_t at, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) s[at + i] = static_cast<char>((v >> (8 * i)) & 0xff);
}
void put16(std::string& s, std::size_t at, std::uint16_t v) {
  s[at] = static_cast<char>(v & 0xff);
  s[at + 1] = static_cast<char>(v >> 8);
}

// A plain archive cut into its local part, central records and end record.
struct Parts {
  std::string local;
  std::vector<std::string> central;
  std::string end;

  explicit Parts(const std::string& zip) {
    std::size_t endAt = zip.size() - 22;
    std::size_t start = get32(zip, endAt + 16);
    local = zip.substr(0, start);
    for (std::size_t at = start; at < endAt;) {
      std::size_t length = 46 + (static_cast<unsigned char>(zip[at + 28]) | (zip[at + 29] << 8)) +
                           (static_cast<unsigned char>(zip[at + 30]) | (zip[at + 31] << 8)) +
                           (static_cast<unsigned char>(zip[at + 32]) | (zip[at + 33] << 8));
      central.push_back(zip.substr(at, length));
      at += length;
    }
    end = zip.substr(endAt);
  }
  std::string join() {
    std::string cd;
    for (const auto& c : central) cd += c;
    put16(end, 8, static_cast<std::uint16_t>(central.size()));
    put16(end, 10, static_cast<std::uint16_t>(central.size()));
    put32(end, 12, static_cast<std::uint32_t>(cd.size()));
    return local + cd + end;
  }
};

TEST_F(StreamUnpackerTest, CentralDirectoryMustAgreeWithTheStream) {
  fs::path root = dir_ / "pair";
  writeFile(root / "a.txt", "alpha");
  writeFile(root / "b.txt", "bravo");
  fs::path archive = dir_ / "pair.zip";
  run("cd " + root.string() + " && zip -q -X a.zip a.txt b.txt && mv a.zip " + archive.string());
  const std::string original = readFile(archive);
  struct Row {
    const char* label;
    void (*edit)(Parts&);
  };
  const Row rows[] = {
      {"renamed entry", [](Parts& p) { p.central[0][46] = 'c'; }},
      {"size", [](Parts& p) { put32(p.central[0], 24, get32(p.central[0], 24) + 1); }},
      {"CRC-32", [](Parts& p) { put32(p.central[1], 16, get32(p.central[1], 16) ^ 1); }},
      {"mode", [](Parts& p) { put32(p.central[0], 38, (040755u << 16)); }},
      {"extra entry in the central directory",
       [](Parts& p) {
         std::string extra = p.central[1];
         put32(extra, 42, 7);  // no local header there
         p.central.push_back(extra);
       }},
      {"extra entry in the stream", [](Parts& p) { p.central.pop_back(); }},
  };
  {
    fs::path out = staging();
    StreamUnpacker unpacker(out);
    std::string error;
    ASSERT_TRUE(stream(unpacker, Parts(original).join(), [] { return std::size_t{4096}; }, &error))
        << "the untouched archive: " << error;
  }
  for (const Row& row : rows) {
    SCOPED_TRACE(row.label);
    Parts parts(original);
    row.edit(parts);
    fs::path out = staging();
    StreamUnpacker unpacker(out);
    std::string error;
    EXPECT_FALSE(stream(unpacker, parts.join(), [] { return std::size_t{4096}; }, &error));
    EXPECT_FALSE(error.empty());
    EXPECT_FALSE(fs::exists(fs::symlink_status(out)));
  }
}

// A stored local entry, written by hand: the tools refuse hostile names.
std::string storedEntry(const std::string& name, const std::string& data) {
  std::string local = std::string("PK\3\4") + std::string(26, '\0') + name + data;
  put16(local, 4, 10);
  put32(local, 14, static_cast<std::uint32_t>(crc32(0, reinterpret_cast<const Bytef*>(data.data()),
                                                    static_cast<uInt>(data.size()))));
  put32(local, 18, static_cast<std::uint32_t>(data.size()));
  put32(local, 22, static_cast<std::uint32_t>(data.size()));
  put16(local, 26, static_cast<std::uint16_t>(name.size()));
  return local;
}

TEST_F(StreamUnpackerTest, HostileEntriesFailAndLeaveNothing) {
  fs::path outside = dir_ / "outside";
  fs::create_directories(outside);
  const std::pair<const char*, std::string> rows[] = {
      {"parent", storedEntry("../escape", "x")},
      {"absolute", storedEntry(outside.string() + "/abs", "x")},
      // "link" becomes a link to `outside` only at the end; a write below
      // it must not go through.
      {"through a link", storedEntry("link", outside.string()) + storedEntry("link/evil", "x")},
  };
  for (const auto& [label, archive] : rows) {
    SCOPED_TRACE(label);
    fs::path out = staging();
    StreamUnpacker unpacker(out);
    std::string error;
    EXPECT_FALSE(stream(unpacker, archive, [] { return std::size_t{3}; }, &error));
    EXPECT_FALSE(error.empty());
    EXPECT_FALSE(fs::exists(out));
    EXPECT_TRUE(fs::is_empty(outside));
    EXPECT_FALSE(fs::exists(dir_.path().parent_path() / "escape"));
  }
}

TEST_F(StreamUnpackerTest, KeepsTheFreeSpaceReserve) {
  // One deflated entry that declares 1 PiB, more than any volume holds.
  std::string local = std::string("PK\3\4") + std::string(26, '\0') + "bomb" + std::string(20, '\0');
  put16(local, 4, 45);
  put16(local, 8, 8);
  put32(local, 18, 0xffffffff);
  put32(local, 22, 0xffffffff);
  put16(local, 26, 4);
  put16(local, 28, 20);
  put16(local, 34, 1);
  put16(local, 36, 16);
  for (int i = 0; i < 8; ++i) local[38 + i] = static_cast<char>(((std::uint64_t{1} << 50) >> (8 * i)) & 0xff);
  put32(local, 46, 1000);
  local += std::string(1000, '\0');
  fs::path out = staging();
  StreamUnpacker unpacker(out);
  std::string error;
  EXPECT_FALSE(stream(unpacker, local, [] { return std::size_t{100}; }, &error));
  EXPECT_EQ(error, kNoSpaceMessage);
  EXPECT_FALSE(fs::exists(out));
}

TEST_F(StreamUnpackerTest, UncompressedTotalFromTheTail) {
  fs::path root = dir_ / "sized";
  writeFile(root / "a", std::string(100000, 'a'));
  writeFile(root / "d/b", installer::testing::randomBytes(70000, 9));
  for (const char* command : {"zip -q -r", "bsdtar --format zip --options zip:zip64 -cf"}) {
    SCOPED_TRACE(command);
    fs::path archive = dir_ / (std::to_string(counter_++) + ".zip");
    run("cd " + root.string() + " && " + command + " " + archive.string() + " .");
    const std::string bytes = readFile(archive);
    std::uint64_t needed = 1;
    EXPECT_FALSE(zipUncompressedTotal(std::string_view(bytes).substr(bytes.size() - 60), bytes.size(), &needed));
    ASSERT_GT(needed, 60u);
    ASSERT_LT(needed, 2000u) << "the central directory and end records only";
    auto total = zipUncompressedTotal(std::string_view(bytes).substr(bytes.size() - needed), bytes.size(), &needed);
    ASSERT_TRUE(total);
    EXPECT_EQ(*total, 170000u);
  }
  std::uint64_t needed = 1;
  EXPECT_FALSE(zipUncompressedTotal(std::string(4096, 'x'), 1 << 20, &needed));
  EXPECT_EQ(needed, 0u);
}

// --- Flat installer packages -----------------------------------------

TEST_F(StreamUnpackerTest, StreamedPackageEqualsTheExpandedOneWithItsPayloadsUnpacked) {
  using installer::testing::ArchiveEntry;
  fs::path root = makeTree();
  fs::remove_all(root / "__MACOSX");
  auto payload = installer::testing::entriesFromTree(root, "./");
  fs::path component = dir_ / "component.pkg";
  installer::testing::makeInstallerPackage(component, payload, installer::testing::PayloadNaming::gzippedAsPayload);
  fs::path product = dir_ / "product.pkg";
  installer::testing::makeProductArchive(
      product, {{"Tools", "/usr/local", {{"bin/tool", ArchiveEntry::Kind::file, "#!/bin/sh\n", "", 0755}}},
                {"App", "/Applications", payload}},
      {"App", "Tools"});
  std::mt19937 random(29);
  for (const fs::path& pkg : {component, product}) {
    SCOPED_TRACE(pkg.filename().string());
    auto [expected, payloads] = serialPackage(pkg);
    std::string error;
    fs::path out = staging();
    StreamUnpacker unpacker(out, StreamFormat::flatPackage);
    ASSERT_TRUE(stream(unpacker, readFile(pkg), [&]() -> std::size_t { return random() % 70000 + 1; }, &error))
        << error;
    EXPECT_EQ(describe(out / "expanded"), expected);
    EXPECT_EQ(describe(out / "payloads"), payloads);
    EXPECT_TRUE(fs::exists(out / "payloads" / (pkg == product ? "App.pkg/App.app/Contents/current" : "App.app/Contents/current")));
  }
}

// The xar reader tears libxml2 down when it is freed. Here the main thread
// parses before and after a package unpacks on the worker: the parser must
// stay whole, and the worker's parser state must not outlive it (the
// sanitized build reports that as a leak).
TEST_F(StreamUnpackerTest, TheParserOutlivesAPackageUnpackedOnTheWorker) {
  auto parses = [] {
    holdXmlParser();
    xmlDocPtr doc = xmlReadMemory("<pkg-info/>", 11, nullptr, nullptr, XML_PARSE_NONET);
    xmlFreeDoc(doc);
    return doc != nullptr;
  };
  fs::path pkg = dir_ / "tool.pkg";
  installer::testing::makeInstallerPackage(
      pkg, {{"bin/tool", installer::testing::ArchiveEntry::Kind::file, "#!/bin/sh\n", "", 0755}},
      installer::testing::PayloadNaming::gzippedAsPayload);
  ASSERT_TRUE(parses());
  StreamUnpacker unpacker(staging(), StreamFormat::flatPackage);
  std::string error;
  ASSERT_TRUE(stream(unpacker, readFile(pkg), [] { return std::size_t{4096}; }, &error)) << error;
  EXPECT_TRUE(parses());
}

TEST_F(StreamUnpackerTest, BadPackagesFailAndLeaveNothing) {
  using installer::testing::ArchiveEntry;
  using installer::testing::PayloadNaming;
  fs::path outside = dir_ / "outside";
  fs::create_directories(outside);
  struct Row {
    const char* label;
    std::vector<ArchiveEntry> payload;
    PayloadNaming naming;
  };
  const Row rows[] = {
      {"unreadable payload", {{"a.txt", ArchiveEntry::Kind::file, "a"}}, PayloadNaming::both},
      {"payload entry outside", {{"../escape", ArchiveEntry::Kind::file, "x"}}, PayloadNaming::gzippedAsPayload},
      {"payload writes through a link",
       {{"l", ArchiveEntry::Kind::symlink, "", outside.string()}, {"l/evil", ArchiveEntry::Kind::file, "x"}},
       PayloadNaming::gzippedAsPayload},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.label);
    fs::path pkg = dir_ / (std::to_string(counter_++) + ".pkg");
    installer::testing::makeInstallerPackage(pkg, row.payload, row.naming);
    fs::path out = staging();
    StreamUnpacker unpacker(out, StreamFormat::flatPackage);
    std::string error;
    EXPECT_FALSE(stream(unpacker, readFile(pkg), [] { return std::size_t{4096}; }, &error));
    EXPECT_NE(error.find("Payload"), std::string::npos) << error;
    EXPECT_FALSE(fs::exists(out));
    EXPECT_TRUE(fs::is_empty(outside));
    EXPECT_FALSE(fs::exists(dir_.path().parent_path() / "escape"));
  }
}

// --- Cancel from another thread -----------------------------------------

TEST_F(StreamUnpackerTest, CancelAtRandomPointsLeavesNothing) {
  fs::path root = makeTree();
  fs::path archive = dir_ / "cancel.zip";
  run("cd " + root.string() + " && zip -q -r -y " + archive.string() + " .");
  fs::remove_all(root / "__MACOSX");
  fs::path pkg = dir_ / "cancel.pkg";
  installer::testing::makeInstallerPackage(pkg, installer::testing::entriesFromTree(root, "./"),
                                           installer::testing::PayloadNaming::gzippedAsPayload);
  const std::string archives[] = {readFile(archive), readFile(pkg)};
  std::mt19937 random(2029);
  for (int round = 0; round < 12; ++round) {
    StreamFormat format = round % 2 ? StreamFormat::flatPackage : StreamFormat::zip;
    const std::string& bytes = archives[round % 2];
    std::size_t cancelAt = random() % bytes.size();
    SCOPED_TRACE("cancel after " + std::to_string(cancelAt) + " bytes of " + (round % 2 ? "a package" : "a ZIP"));
    fs::path out = staging();
    std::optional<StreamUnpacker> unpacker(std::in_place, out, format);
    std::mutex mu;
    std::condition_variable fed;
    std::size_t done = 0;
    bool cancelled = false;
    bool finished = false;
    std::thread producer([&] {
      std::mt19937 sizes(round);
      for (std::size_t at = 0; at < bytes.size();) {
        std::size_t size = std::min<std::size_t>(sizes() % 200000 + 1, bytes.size() - at);
        bool more = unpacker->feed(bytes.data() + at, size);
        at += size;
        {
          std::lock_guard lock(mu);
          done = at;
        }
        fed.notify_all();
        if (!more) break;
      }
      std::unique_lock lock(mu);
      fed.wait(lock, [&] { return cancelled || round % 3 == 2; });
      lock.unlock();
      std::string error;
      bool ok = unpacker->finish(&error);
      lock.lock();
      finished = ok;
    });
    {
      std::unique_lock lock(mu);
      fed.wait(lock, [&] { return done >= cancelAt; });
    }
    if (round % 3 == 2) {
      producer.join();
      EXPECT_TRUE(finished);
      unpacker.reset();  // destroyed after it finished: keeps the tree
      EXPECT_TRUE(fs::exists(out));
      removeTree(out);
      continue;
    }
    unpacker->cancel();
    EXPECT_FALSE(fs::exists(fs::symlink_status(out)));
    {
      std::lock_guard lock(mu);
      cancelled = true;
    }
    fed.notify_all();
    producer.join();
    EXPECT_FALSE(finished);
    EXPECT_FALSE(fs::exists(fs::symlink_status(out)));
  }
}

TEST_F(StreamUnpackerTest, DestroyedUnfinishedRemovesTheStaging) {
  fs::path out = staging();
  {
    StreamUnpacker unpacker(out);
    unpacker.feed("PK\3\4", 4);
  }
  EXPECT_FALSE(fs::exists(out));
}

}  // namespace
}  // namespace installer::helpers
