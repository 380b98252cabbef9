#include "helpers/archive_extract.h"

#include <archive.h>
#include <archive_entry.h>
#include <unistd.h>

#include <memory>

namespace installer::helpers {

namespace fs = std::filesystem;

namespace {

struct Reader {
  archive* a = archive_read_new();
  ~Reader() { archive_read_free(a); }
};
struct Writer {
  archive* a = archive_write_disk_new();
  ~Writer() { archive_write_free(a); }
};

// Restores the working directory when the extraction is done.
class WorkingDirectory {
 public:
  explicit WorkingDirectory(const fs::path& dir) {
    std::error_code ec;
    saved_ = fs::current_path(ec);
    ok_ = !ec && chdir(dir.c_str()) == 0;
  }
  ~WorkingDirectory() {
    if (!saved_.empty()) {
      if (chdir(saved_.c_str()) != 0) {
      }
    }
  }
  bool ok() const { return ok_; }

 private:
  fs::path saved_;
  bool ok_ = false;
};

bool copyData(archive* in, archive* out, std::string* error) {
  const void* buffer;
  size_t size;
  la_int64_t offset;
  for (;;) {
    int r = archive_read_data_block(in, &buffer, &size, &offset);
    if (r == ARCHIVE_EOF) return true;
    if (r < ARCHIVE_OK) {
      *error = archive_error_string(in) ? archive_error_string(in) : "read error";
      return false;
    }
    if (archive_write_data_block(out, buffer, size, offset) < ARCHIVE_OK) {
      *error = archive_error_string(out) ? archive_error_string(out) : "write error";
      return false;
    }
  }
}

}  // namespace

bool isContainedName(const std::string& name) {
  if (name.empty() || name[0] == '/') return false;
  for (const auto& part : fs::path(name)) {
    if (part == "..") return false;
  }
  return true;
}

bool extractArchive(const fs::path& archivePath, ArchiveKind kind, const fs::path& destination,
                    std::string* error) {
  fs::path archiveAbs = fs::absolute(archivePath);
  Reader reader;
  if (kind == ArchiveKind::zip) {
    archive_read_support_format_zip(reader.a);
  } else {
    archive_read_support_format_xar(reader.a);
  }
  archive_read_support_filter_all(reader.a);
  if (archive_read_open_filename(reader.a, archiveAbs.c_str(), 1 << 20) != ARCHIVE_OK) {
    *error = archive_error_string(reader.a) ? archive_error_string(reader.a) : "cannot open archive";
    return false;
  }

  WorkingDirectory cwd(destination);
  if (!cwd.ok()) {
    *error = "cannot enter " + destination.string();
    return false;
  }
  Writer writer;
  archive_write_disk_set_options(
      writer.a, ARCHIVE_EXTRACT_PERM | ARCHIVE_EXTRACT_TIME | ARCHIVE_EXTRACT_SECURE_SYMLINKS |
                    ARCHIVE_EXTRACT_SECURE_NODOTDOT | ARCHIVE_EXTRACT_SECURE_NOABSOLUTEPATHS);
  archive_write_disk_set_standard_lookup(writer.a);

  archive_entry* entry = nullptr;
  for (;;) {
    int r = archive_read_next_header(reader.a, &entry);
    if (r == ARCHIVE_EOF) break;
    if (r < ARCHIVE_WARN) {
      *error = archive_error_string(reader.a) ? archive_error_string(reader.a) : "read error";
      return false;
    }
    const char* name = archive_entry_pathname(entry);
    if (!name || !isContainedName(name)) {
      *error = std::string("refusing entry outside the destination: ") + (name ? name : "");
      return false;
    }
    if (const char* target = archive_entry_hardlink(entry)) {
      if (!isContainedName(target)) {
        *error = std::string("refusing hard link outside the destination: ") + name;
        return false;
      }
    }
    // Never create devices, pipes or set-id bits from a downloaded archive.
    auto type = archive_entry_filetype(entry);
    if (type != AE_IFREG && type != AE_IFDIR && type != AE_IFLNK) continue;
    archive_entry_set_perm(entry, archive_entry_perm(entry) & 0777);

    r = archive_write_header(writer.a, entry);
    if (r < ARCHIVE_WARN) {
      *error = std::string(name) + ": " +
               (archive_error_string(writer.a) ? archive_error_string(writer.a) : "write error");
      return false;
    }
    if (archive_entry_size(entry) > 0 && !copyData(reader.a, writer.a, error)) return false;
    if (archive_write_finish_entry(writer.a) < ARCHIVE_WARN) {
      *error = std::string(name) + ": " +
               (archive_error_string(writer.a) ? archive_error_string(writer.a) : "write error");
      return false;
    }
  }
  if (archive_write_close(writer.a) != ARCHIVE_OK) {
    *error = archive_error_string(writer.a) ? archive_error_string(writer.a) : "close error";
    return false;
  }
  return true;
}

}  // namespace installer::helpers
