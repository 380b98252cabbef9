#include "helpers/volume_writer.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <vector>

namespace fs = std::filesystem;

namespace installer::helpers {

namespace {

constexpr std::size_t kBuffer = 1 << 20;
// How much may be written between two looks at the volume's free space.
constexpr std::uint64_t kWatchEvery = 16 << 20;

// Reads exactly `length` bytes; false when the stream ends first.
bool readExactly(SevenZipStream& stream, char* into, std::size_t length) {
  while (length > 0) {
    std::size_t n = stream.read(into, length);
    if (n == 0) return false;
    into += n;
    length -= n;
  }
  return true;
}

bool writeAll(int fd, const char* data, std::size_t length) {
  while (length > 0) {
    ssize_t n = ::write(fd, data, length);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    data += n;
    length -= static_cast<std::size_t>(n);
  }
  return true;
}

void applyTimes(int fd, const SevenZipItem& item) {
  if (!item.modified) return;
  timespec times[2] = {*item.modified, *item.modified};
  futimens(fd, times);
}

}  // namespace

StreamWrite writeVolumeFromStream(SevenZipStream& stream, const SevenZipListing& volume, const fs::path& out,
                                  SpaceBudget& budget, std::vector<std::pair<std::string, std::string>>* links,
                                  std::string* error) {
  std::vector<char> buffer(kBuffer);
  std::uint64_t sinceWatch = 0;
  bool splices = true;
  std::vector<const SevenZipItem*> folders;
  std::error_code ec;
  for (const auto& item : volume.items) {
    fs::path p = out / item.path;
    if (item.folder) {
      fs::create_directories(p, ec);
      if (ec || !fs::is_directory(fs::symlink_status(p, ec))) {
        *error = "cannot create the folder " + item.path;
        return StreamWrite::failed;
      }
      folders.push_back(&item);
      continue;
    }
    fs::create_directories(p.parent_path(), ec);
    if (ec) {
      *error = "cannot create the folder of " + item.path;
      return StreamWrite::failed;
    }
    if (item.link) {
      if (item.size > 4096) return StreamWrite::mismatch;
      std::string data(item.size, '\0');
      if (!readExactly(stream, data.data(), data.size())) return StreamWrite::mismatch;
      links->emplace_back(item.path, item.linkTarget ? *item.linkTarget : data);
      continue;
    }
    int fd = open(p.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) {
      *error = "cannot create the file " + item.path;
      return StreamWrite::failed;
    }
    std::uint64_t left = item.size;
    bool ok = true;
    while (ok && left > 0) {
      std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(left, buffer.size()));
      long moved = splices ? stream.moveTo(fd, n) : -1;
      if (moved > 0) {
        n = static_cast<std::size_t>(moved);
      } else {
        // The end of the data, or a file system that takes no splice.
        if (moved < 0) splices = false;
        if (!readExactly(stream, buffer.data(), n)) {
          close(fd);
          return StreamWrite::mismatch;
        }
        ok = writeAll(fd, buffer.data(), n);
      }
      left -= n;
      sinceWatch += n;
      if (sinceWatch >= kWatchEvery) {
        sinceWatch = 0;
        if (!budget.volumeStillAboveReserve()) {
          close(fd);
          *error = kNoSpaceMessage;
          return StreamWrite::failed;
        }
      }
    }
    if (ok) {
      fchmod(fd, item.permissions ? *item.permissions & 01777 : 0644);
      applyTimes(fd, item);
    }
    if (close(fd) != 0 || !ok) {
      *error = budget.volumeStillAboveReserve() ? "cannot write the file " + item.path : kNoSpaceMessage;
      return StreamWrite::failed;
    }
  }
  if (!stream.finish()) return StreamWrite::mismatch;
  // Folders last, the deepest first: their times would otherwise be
  // undone. They stay open to their owner, as 7-Zip leaves them, so that
  // the tree can be moved into place and detach can remove it.
  std::sort(folders.begin(), folders.end(),
            [](const SevenZipItem* a, const SevenZipItem* b) { return a->path.size() > b->path.size(); });
  for (const auto* item : folders) {
    fs::path p = out / item->path;
    int fd = open(p.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) continue;
    applyTimes(fd, *item);
    fchmod(fd, item->permissions ? (*item->permissions & 01777) | 0700 : 0755);
    close(fd);
  }
  return StreamWrite::written;
}

}  // namespace installer::helpers
