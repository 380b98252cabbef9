#include "extract/archive_extract.h"

#include <archive.h>
#include <archive_entry.h>
#include <langinfo.h>
#include <sys/stat.h>
#include <unistd.h>

#include <clocale>
#include <cstring>
#include <vector>

#include "extract/space_reserve.h"
#include "extract/xml_parser_lifetime.h"

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

std::string errorOf(archive* a, const char* fallback) {
  const char* text = archive_error_string(a);
  return text ? text : fallback;
}

// The outermost directory or file on the way to `relative` that does not
// exist yet ("" when all do): what writing `relative` will create.
std::string firstMissing(const fs::path& base, const std::string& relative) {
  fs::path prefix = base;
  for (const auto& part : fs::path(relative)) {
    prefix /= part;
    struct stat st;
    if (lstat(prefix.c_str(), &st) != 0) {
      return base.empty() ? prefix.string() : prefix.lexically_relative(base).string();
    }
  }
  return "";
}

// True when no directory on the way to `relative` is a symbolic link (what
// is missing cannot be one yet).
bool hasNoLinkedParents(const fs::path& base, const std::string& relative) {
  fs::path prefix = base;
  fs::path name(relative);
  for (auto it = name.begin(); it != name.end(); ++it) {
    if (std::next(it) == name.end()) break;
    prefix /= *it;
    struct stat st;
    if (lstat(prefix.c_str(), &st) != 0) return true;
    if (S_ISLNK(st.st_mode)) return false;
  }
  return true;
}

class Extraction {
 public:
  // Names are written as they are, relative to the working directory, when
  // `base` is empty; otherwise below `base` (absolute, no link on its way).
  Extraction(archive* in, SpaceBudget& budget, fs::path base = {}, EntryDivert divert = {})
      : in_(in), budget_(budget), base_(std::move(base)), divert_(std::move(divert)) {
    // Names below `base` are absolute once prefixed; they were checked first.
    archive_write_disk_set_options(
        out_.a, ARCHIVE_EXTRACT_PERM | ARCHIVE_EXTRACT_TIME | ARCHIVE_EXTRACT_SECURE_SYMLINKS |
                    ARCHIVE_EXTRACT_SECURE_NODOTDOT |
                    (base_.empty() ? ARCHIVE_EXTRACT_SECURE_NOABSOLUTEPATHS : 0));
    archive_write_disk_set_standard_lookup(out_.a);
  }

  bool run(std::string* error) {
    archive_entry* entry = nullptr;
    for (;;) {
      int r = archive_read_next_header(in_, &entry);
      if (r == ARCHIVE_EOF) break;
      if (r < ARCHIVE_WARN) return fail(error, errorOf(in_, "read error"));
      if (!writeEntry(entry, error)) return false;
    }
    if (archive_write_close(out_.a) != ARCHIVE_OK) return fail(error, errorOf(out_.a, "close error"));
    return true;
  }

  // Everything this extraction created, newest first.
  const std::vector<std::string>& created() const { return created_; }

 private:
  bool fail(std::string* error, std::string message) {
    *error = std::move(message);
    return false;
  }

  bool writeEntry(archive_entry* entry, std::string* error) {
    const char* rawName = archive_entry_pathname(entry);
    std::string name = rawName ? rawName : "";
    if (!isContainedName(name)) return fail(error, "refusing entry outside the destination: " + name);
    if (const char* target = archive_entry_hardlink(entry)) {
      if (!isContainedName(target) || !hasNoLinkedParents(base_, target)) {
        return fail(error, "refusing hard link outside the destination: " + name);
      }
      if (!base_.empty()) archive_entry_copy_hardlink(entry, (base_ / target).c_str());
    }
    // Never create devices, pipes or set-id bits from a downloaded archive.
    auto type = archive_entry_filetype(entry);
    if (type != AE_IFREG && type != AE_IFDIR && type != AE_IFLNK) return true;
    if (divert_) {
      if (auto diverted = divert_(entry, name, error)) return *diverted;
    }
    archive_entry_set_perm(entry, archive_entry_perm(entry) & 0777);

    std::int64_t declared = archive_entry_size_is_set(entry) ? archive_entry_size(entry) : 0;
    if (!budget_.charge(declared > 0 ? static_cast<std::uint64_t>(declared) : 0)) {
      return fail(error, kNoSpaceMessage);
    }
    if (std::string missing = firstMissing(base_, name); !missing.empty()) created_.push_back(missing);
    if (!base_.empty()) archive_entry_copy_pathname(entry, (base_ / name).c_str());
    if (archive_write_header(out_.a, entry) < ARCHIVE_WARN) {
      return fail(error, name + ": " + errorOf(out_.a, "write error"));
    }
    if (type == AE_IFREG && !copyData(declared, error)) return false;
    if (archive_write_finish_entry(out_.a) < ARCHIVE_WARN) {
      return fail(error, name + ": " + errorOf(out_.a, "write error"));
    }
    return true;
  }

  // Charges what comes beyond the declared size (a ZIP entry may not know
  // its size up front), so a lying header cannot get past the budget.
  bool copyData(std::int64_t declared, std::string* error) {
    const void* buffer;
    size_t size;
    la_int64_t offset;
    std::uint64_t written = 0;
    for (;;) {
      int r = archive_read_data_block(in_, &buffer, &size, &offset);
      if (r == ARCHIVE_EOF) return true;
      if (r < ARCHIVE_OK) return fail(error, errorOf(in_, "read error"));
      written += size;
      if (written > static_cast<std::uint64_t>(std::max<std::int64_t>(declared, 0)) &&
          !budget_.chargeBytes(size)) {
        return fail(error, kNoSpaceMessage);
      }
      if (archive_write_data_block(out_.a, buffer, size, offset) < ARCHIVE_OK) {
        return fail(error, errorOf(out_.a, "write error"));
      }
    }
  }

  archive* in_;
  Writer out_;
  SpaceBudget& budget_;
  fs::path base_;
  EntryDivert divert_;
  std::vector<std::string> created_;
};

}  // namespace

bool extractEntries(archive* reader, const fs::path& destination, std::string* error, EntryDivert divert) {
  SpaceBudget budget(destination);
  std::vector<std::string> created;
  bool ok;
  {
    Extraction extraction(reader, budget, destination, std::move(divert));
    ok = extraction.run(error);
    created = extraction.created();
  }
  if (!ok) {
    for (auto it = created.rbegin(); it != created.rend(); ++it) removeTree(destination / *it);
  }
  return ok;
}

bool useUTF8FileNames() {
  auto isUTF8 = [] {
    const char* codeset = nl_langinfo(CODESET);
    return codeset && std::strcmp(codeset, "UTF-8") == 0;
  };
  if (std::setlocale(LC_ALL, "C.UTF-8") && isUTF8()) return true;
  return std::setlocale(LC_ALL, "") && isUTF8();
}

bool isContainedName(const std::string& name) {
  if (name.empty() || name[0] == '/') return false;
  for (const auto& part : fs::path(name)) {
    if (part == "..") return false;
  }
  return true;
}

void removeTree(const fs::path& path) {
  struct stat st;
  if (lstat(path.c_str(), &st) != 0) return;
  if (S_ISDIR(st.st_mode)) {
    chmod(path.c_str(), (st.st_mode & 07777) | S_IRWXU);
    std::error_code ec;
    std::vector<fs::path> children;
    for (const auto& e : fs::directory_iterator(path, ec)) children.push_back(e.path());
    for (const auto& child : children) removeTree(child);
  }
  std::error_code ec;
  fs::remove(path, ec);
}

bool extractArchive(const fs::path& archivePath, ArchiveKind kind, const fs::path& destination,
                    std::string* error) {
  fs::path archiveAbs = fs::absolute(archivePath);
  fs::path destinationAbs = fs::absolute(destination);
  Reader reader;
  if (kind == ArchiveKind::zip) {
    archive_read_support_format_zip(reader.a);
  } else {
    holdXmlParser();
    archive_read_support_format_xar(reader.a);
  }
  archive_read_support_filter_all(reader.a);
  if (archive_read_open_filename(reader.a, archiveAbs.c_str(), 1 << 20) != ARCHIVE_OK) {
    *error = errorOf(reader.a, "cannot open archive");
    return false;
  }

  SpaceBudget budget(destinationAbs);
  std::vector<std::string> created;
  bool ok;
  {
    WorkingDirectory cwd(destinationAbs);
    if (!cwd.ok()) {
      *error = "cannot enter " + destination.native();
      return false;
    }
    Extraction extraction(reader.a, budget);
    ok = extraction.run(error);
    created = extraction.created();
  }  // the writer is closed here: it sets directory modes that removal must undo
  if (!ok) {
    for (auto it = created.rbegin(); it != created.rend(); ++it) removeTree(destinationAbs / *it);
  }
  return ok;
}

}  // namespace installer::helpers
