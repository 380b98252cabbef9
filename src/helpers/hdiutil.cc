// Stand-in for hdiutil:
//   hdiutil attach IMAGE -nobrowse -noautoopen -noverify -mountpoint DIR
//     extracts the volume of a disk image into DIR with 7-Zip;
//   hdiutil detach DIR -force
//     empties and removes DIR.
// Exit status 0 on success, 1 on failure, 2 for other arguments.
//
// Attach accepts UDIF images (a "koly" trailer) and ISO 9660 images
// (hybrid ISO/HFS+ ones included); an encrypted image fails as such, since
// an installer cannot ask for its password. Of an image with several
// partitions it takes the first volume that holds an application (a
// "*.app" entry), else the first readable volume; an empty volume attaches
// as an empty directory. Nothing may be written outside DIR: every name is
// checked against 7-Zip's listing before anything is written. A volume with
// little data comes out of one `7z e -so` run, started beside the listing,
// whose stream this process writes into new files itself (volume_writer.h);
// a larger one through `7z x` with the links left out, after which the
// result is compared with the listing. Either way symbolic links are made
// here last, verbatim (7-Zip refuses or rewrites those that climb or are
// absolute), so nothing is ever written through one. Extended attributes
// and resource forks, which 7-Zip would write as files of their own
// ("name:attribute"), stay out. The volume comes out in a staging
// directory beside DIR and is moved in only when complete; it must leave
// the free-space reserve of space_reserve.h on the volume (checked against
// the listed sizes before, and watched during the extraction). After a
// failure DIR is left as it was.
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include <unicode/normalizer2.h>
#include <unicode/unistr.h>

#include "extract/archive_extract.h"
#include "extract/space_reserve.h"
#include "helpers/disk_image_format.h"
#include "helpers/seven_zip.h"
#include "helpers/volume_writer.h"

namespace fs = std::filesystem;
using installer::helpers::DiskImageFormat;
using installer::helpers::isContainedName;
using installer::helpers::removeTree;
using installer::helpers::SpaceBudget;
using Item = installer::helpers::SevenZipItem;
using Listing = installer::helpers::SevenZipListing;
using Run = installer::helpers::SevenZipRun;

namespace {

const std::set<std::string> kVolumeTypes = {"HFS", "APFS", "FAT", "NTFS", "Ext", "Iso", "Udf"};

// Volumes with at most this much file data come out of the data stream.
constexpr std::uint64_t kStreamAtMost = 8 << 20;

Run run(const std::vector<std::string>& args, const installer::helpers::SevenZipRunOptions& options = {}) {
  return installer::helpers::runSevenZip(args, options);
}

bool list(const char* tool, const std::string& archive, Listing* listing, std::string* error) {
  if (installer::helpers::listWithSevenZip(tool, archive, listing, error)) return true;
  *error = "image not recognized\n" + *error;
  return false;
}

std::string lowercased(std::string s) {
  std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return std::tolower(c); });
  return s;
}

bool holdsApplication(const Listing& listing) {
  for (const auto& item : listing.items) {
    for (const auto& part : fs::path(item.path)) {
      if (lowercased(part.extension().string()) == ".app") return true;
    }
  }
  return false;
}

// HFS+ stores every name decomposed (NFD). Linux file systems tell
// composed and decomposed names apart, so an application's own references
// to its files, and the targets of its links, written composed as usual,
// would miss. Names come out composed (NFC); a name already taken, or one
// that is not UTF-8, stays as it is.
void composeNames(const fs::path& root) {
  UErrorCode status = U_ZERO_ERROR;
  const icu::Normalizer2* nfc = icu::Normalizer2::getNFCInstance(status);
  if (U_FAILURE(status)) return;
  std::error_code ec;
  std::vector<fs::path> paths;  // parents before children
  for (auto it = fs::recursive_directory_iterator(root, ec); !ec && it != fs::recursive_directory_iterator();
       it.increment(ec)) {
    paths.push_back(it->path());
  }
  for (auto it = paths.rbegin(); it != paths.rend(); ++it) {
    std::string name = it->filename().string();
    if (std::all_of(name.begin(), name.end(), [](unsigned char c) { return c < 0x80; })) continue;
    icu::UnicodeString text = icu::UnicodeString::fromUTF8(name);
    std::string roundTrip;
    if (text.toUTF8String(roundTrip) != name || nfc->isNormalized(text, status)) continue;
    std::string composed;
    nfc->normalize(text, status).toUTF8String(composed);
    if (U_FAILURE(status)) return;
    fs::path to = it->parent_path() / composed;
    struct stat st;
    if (lstat(to.c_str(), &st) == 0) continue;
    fs::rename(*it, to, ec);
  }
}

class Attach {
 public:
  Attach(const char* tool, std::string image, fs::path staging)
      : tool_(tool), image_(std::move(image)), staging_(std::move(staging)), budget_(staging_) {}

  // Extracts the volume into staging/volume; returns the volume's root.
  std::optional<fs::path> extract(std::string* error) {
    // The data of a lone volume (the usual image) starts to flow while the
    // listing is read, so the two 7-Zip runs overlap.
    installer::helpers::SevenZipStream stream({tool_, "e", "-so", "-sns-", "-spd", "-scsUTF-8", image_});
    Listing top;
    if (!list(tool_, image_, &top, error)) return std::nullopt;
    std::string source = image_;
    Listing volume = top;
    if (top.type == "Dmg") {
      // 7-Zip opens a lone volume by itself; of several it shows the raw
      // partitions, and the volume has to be taken out first.
      stream.abandon();
      if (!choosePartition(top, &source, &volume, error)) return std::nullopt;
    }
    if (!kVolumeTypes.count(volume.type)) {
      *error = "image not recognized: no volume inside";
      return std::nullopt;
    }
    fs::path out = staging_ / "volume";
    if (!extractVolume(source, volume, out, stream.started() ? &stream : nullptr, error)) return std::nullopt;
    if (volume.type == "HFS") composeNames(out);
    // 7-Zip shows an HFS volume's root as a folder named after the volume.
    // APFS items come without one: a volume holding nothing but one
    // folder (a lone bundle) keeps it.
    std::error_code ec;
    std::vector<fs::path> topLevel;
    for (const auto& e : fs::directory_iterator(out, ec)) topLevel.push_back(e.path());
    if (volume.type == "HFS" && topLevel.size() == 1 && fs::is_directory(fs::symlink_status(topLevel[0], ec))) {
      return topLevel[0];
    }
    return out;
  }

 private:
  bool choosePartition(const Listing& image, std::string* source, Listing* volume, std::string* error) {
    std::optional<std::pair<std::string, Listing>> firstVolume;
    int n = 0;
    for (const auto& item : image.items) {
      if (item.folder || item.link || item.path.find('/') != std::string::npos || !isContainedName(item.path)) {
        continue;
      }
      if (!budget_.charge(item.size)) {
        *error = installer::helpers::kNoSpaceMessage;
        return false;
      }
      fs::path dir = staging_ / ("partition-" + std::to_string(n++));
      Run r = run({tool_, "e", "-y", "-spd", "-scsUTF-8", "-o" + dir.native(), image_, item.path},
                  {true, [this] { return budget_.volumeStillAboveReserve(); }});
      fs::path blob = dir / item.path;
      Listing candidate;
      std::string ignored;
      if (r.status == 0 && list(tool_, blob.string(), &candidate, &ignored) &&
          kVolumeTypes.count(candidate.type)) {
        if (holdsApplication(candidate)) {
          *source = blob.string();
          *volume = std::move(candidate);
          return true;
        }
        if (!firstVolume) {
          firstVolume.emplace(blob.string(), std::move(candidate));
          continue;
        }
      }
      if (r.stopped) {
        *error = installer::helpers::kNoSpaceMessage;
        return false;
      }
      removeTree(dir);
    }
    if (!firstVolume) {
      *error = "image not recognized: no volume inside";
      return false;
    }
    *source = firstVolume->first;
    *volume = std::move(firstVolume->second);
    return true;
  }

  bool extractVolume(const std::string& source, const Listing& volume, const fs::path& out,
                     installer::helpers::SevenZipStream* stream, std::string* error) {
    // Before: every name stays inside, nothing lies below a link, and the
    // listed sizes fit.
    std::set<std::string> links;
    for (const auto& item : volume.items) {
      if (!isContainedName(item.path)) {
        *error = "unsafe entry " + item.path;
        return false;
      }
      fs::path prefix;
      for (const auto& part : fs::path(item.path)) {
        if (links.count(prefix.string())) {
          *error = "unsafe entry below a link " + item.path;
          return false;
        }
        prefix /= part;
      }
      if (item.link) links.insert(item.path);
      if (!budget_.charge(item.folder || item.link ? 0 : item.size)) {
        *error = installer::helpers::kNoSpaceMessage;
        return false;
      }
    }
    std::vector<std::pair<std::string, std::string>> targets;
    std::error_code ec;
    fs::create_directories(out, ec);
    auto written = installer::helpers::StreamWrite::mismatch;
    std::uint64_t dataBytes = 0;
    for (const auto& item : volume.items) dataBytes += item.folder || item.link ? 0 : item.size;
    // The stream saves a 7-Zip start, but moving its data through a pipe
    // costs more than 7-Zip writing the files itself: large volumes go the
    // other way.
    if (stream && dataBytes > kStreamAtMost) stream->abandon();
    if (stream && dataBytes <= kStreamAtMost) {
      written = installer::helpers::writeVolumeFromStream(*stream, volume, out, budget_, &targets, error);
      if (written == installer::helpers::StreamWrite::failed) return false;
      if (written == installer::helpers::StreamWrite::mismatch) {
        stream->abandon();
        removeTree(out);
        targets.clear();
      }
    }
    if (written != installer::helpers::StreamWrite::written &&
        !extractWithSevenZip(source, volume, links, out, &targets, error)) {
      return false;
    }
    // Then the links, whose parents are real folders by the check before.
    for (const auto& [path, target] : targets) {
      if (target.empty() || target.size() > 4095 || target.find('\0') != std::string::npos) {
        *error = "cannot read the symbolic link " + path;
        return false;
      }
      fs::path p = out / path;
      removeTree(p);
      fs::create_directories(p.parent_path(), ec);
      if (symlink(target.c_str(), p.c_str()) != 0) {
        *error = "cannot make the link " + path;
        return false;
      }
    }
    return true;
  }

  // `7z x` with the links left out, then a look that everything listed came
  // out, a folder as a folder.
  bool extractWithSevenZip(const std::string& source, const Listing& volume, const std::set<std::string>& links,
                           const fs::path& out, std::vector<std::pair<std::string, std::string>>* targets,
                           std::string* error) {
    // The links' targets, verbatim. APFS and Rock Ridge list them; for the
    // others (HFS+) `7z e -so` writes each link's target as its data, in
    // listing order, one after the other, which the listed sizes split. It
    // runs beside the extraction.
    std::vector<const Item*> unlisted;
    for (const auto& item : volume.items) {
      if (!item.link) continue;
      if (item.linkTarget) {
        targets->emplace_back(item.path, *item.linkTarget);
      } else {
        unlisted.push_back(&item);
      }
    }
    std::optional<installer::helpers::SevenZipStream> linkData;
    fs::path names = staging_ / "link-names.txt";
    if (!unlisted.empty()) {
      writeNames(names, unlisted);
      linkData.emplace(std::vector<std::string>{tool_, "e", "-so", "-spd", "-scsUTF-8", source, "@" + names.native()});
    }

    std::vector<std::string> args = {tool_, "x", "-y", "-spd", "-sns-", "-scsUTF-8", "-o" + out.native()};
    fs::path exclusions = staging_ / "links.txt";
    if (!links.empty()) {
      std::ofstream list(exclusions);
      for (const auto& path : links) list << path << '\n';
      args.push_back("-x@" + exclusions.native());
    }
    args.push_back(source);
    Run r = run(args, {true, [this] { return budget_.volumeStillAboveReserve(); }});
    if (r.stopped) {
      *error = installer::helpers::kNoSpaceMessage;
      return false;
    }
    if (r.status != 0) {
      *error = "7z exited with status " + std::to_string(r.status) + "\n" + r.output;
      return false;
    }
    std::error_code ec;
    fs::remove(exclusions, ec);
    for (const auto& item : volume.items) {
      if (links.count(item.path)) continue;
      struct stat st;
      fs::path p = out / item.path;
      if (lstat(p.c_str(), &st) != 0 || (item.folder && !S_ISDIR(st.st_mode))) {
        *error = "the volume did not come out: " + item.path;
        return false;
      }
    }
    if (linkData) {
      std::string data;
      char buffer[65536];
      for (std::size_t n; (n = linkData->read(buffer, sizeof buffer)) > 0;) data.append(buffer, n);
      if (!linkData->finish()) data.clear();
      fs::remove(names, ec);
      std::vector<std::pair<std::string, std::string>> read;
      std::size_t offset = 0;
      for (const auto* link : unlisted) {
        if (link->size == 0 || data.size() - offset < link->size) break;
        read.emplace_back(link->path, data.substr(offset, link->size));
        offset += link->size;
      }
      // A 7-Zip that lists no sizes for links is asked link by link.
      if (read.size() != unlisted.size() || offset != data.size()) {
        read.clear();
        for (const auto* link : unlisted) read.emplace_back(link->path, targetData(source, {link}));
      }
      targets->insert(targets->end(), read.begin(), read.end());
    }
    return true;
  }

  static void writeNames(const fs::path& file, const std::vector<const Item*>& items) {
    std::ofstream list(file);
    for (const auto* item : items) list << item->path << '\n';
  }

  std::string targetData(const std::string& source, const std::vector<const Item*>& links) {
    fs::path names = staging_ / "link-names.txt";
    writeNames(names, links);
    Run r = run({tool_, "e", "-so", "-spd", "-scsUTF-8", source, "@" + names.native()}, {false, {}});
    std::error_code ec;
    fs::remove(names, ec);
    return r.status == 0 ? r.output : std::string();
  }

  const char* tool_;
  std::string image_;
  fs::path staging_;
  SpaceBudget budget_;
};

int fail(const std::string& message) {
  std::fprintf(stderr, "hdiutil: %s\n", message.c_str());
  return 1;
}

int attach(const std::string& image, const fs::path& mountPoint) {
  const char* tool = installer::helpers::sevenZipTool();
  if (!tool) return fail("attach failed: 7-Zip (7z) is not installed");
  std::error_code ec;
  if (!fs::is_directory(mountPoint, ec)) return fail("attach failed: no mount point " + mountPoint.native());
  switch (installer::helpers::diskImageFormat(image)) {
    case DiskImageFormat::udif:
    case DiskImageFormat::iso9660:
      break;
    case DiskImageFormat::encrypted:
      return fail("attach failed: the disk image is encrypted; an installer cannot ask for its password");
    case DiskImageFormat::unknown:
      return fail("attach failed: image not recognized: neither a UDIF image (no \"koly\" trailer) nor an ISO 9660 image");
  }

  std::string pattern = mountPoint.string() + ".attach-XXXXXX";
  if (!mkdtemp(pattern.data())) return fail("attach failed: cannot create a staging directory");
  fs::path staging = pattern;
  std::string error;
  std::optional<fs::path> root = Attach(tool, image, staging).extract(&error);
  if (!root) {
    removeTree(staging);
    return fail("attach failed: " + error);
  }
  std::vector<fs::path> moved;
  for (const auto& e : fs::directory_iterator(*root, ec)) {
    fs::path to = mountPoint / e.path().filename();
    fs::rename(e.path(), to, ec);
    if (ec) {
      for (const auto& m : moved) removeTree(m);
      removeTree(staging);
      return fail("attach failed: cannot move the volume into place");
    }
    moved.push_back(to);
  }
  removeTree(staging);
  std::printf("/dev/disk-standin\tApple_HFS\t%s\n", mountPoint.c_str());
  return 0;
}

int detach(const fs::path& mountPoint) {
  std::error_code ec;
  if (!fs::exists(fs::symlink_status(mountPoint, ec))) {
    return fail("detach failed: no such mount point " + mountPoint.native());
  }
  removeTree(mountPoint);
  if (fs::exists(fs::symlink_status(mountPoint, ec))) {
    return fail("detach failed: cannot remove " + mountPoint.native());
  }
  std::printf("\"%s\" ejected.\n", mountPoint.c_str());
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  // 7-Zip converts names through the locale; list files and listings are
  // UTF-8. Listed times are local: UTC makes them plain.
  setenv("LC_ALL", "C.UTF-8", 1);
  setenv("TZ", "UTC", 1);
  std::vector<std::string> a(argv + 1, argv + argc);
  if (a.size() == 7 && a[0] == "attach" && a[2] == "-nobrowse" && a[3] == "-noautoopen" &&
      a[4] == "-noverify" && a[5] == "-mountpoint") {
    return attach(a[1], a[6]);
  }
  if (a.size() == 3 && a[0] == "detach" && a[2] == "-force") return detach(a[1]);
  std::fprintf(stderr,
               "usage: hdiutil attach image -nobrowse -noautoopen -noverify -mountpoint dir\n"
               "       hdiutil detach dir -force\n");
  return 2;
}
