// Stand-in for hdiutil:
//   hdiutil attach IMAGE -nobrowse -noautoopen -noverify -mountpoint DIR
//     extracts the image's volume into DIR with 7-Zip (`7z x`), refusing
//     images whose entries would land outside DIR;
//   hdiutil detach DIR -force
//     empties and removes DIR.
// Exit status 0 on success, 1 on failure, 2 for other arguments.
#include <fcntl.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "helpers/archive_extract.h"

extern char** environ;

namespace fs = std::filesystem;

namespace {

struct Run {
  int status = -1;
  std::string output;
};

const char* sevenZip() {
  for (const char* p : {"/usr/bin/7z", "/usr/bin/7za", "/usr/bin/7zz", "/usr/local/bin/7z"}) {
    if (access(p, X_OK) == 0) return p;
  }
  return nullptr;
}

Run run(const std::vector<std::string>& args) {
  Run result;
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) return result;
  std::vector<std::string> storage = args;
  std::vector<char*> argv;
  for (auto& s : storage) argv.push_back(s.data());
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, fds[1], 1);
  posix_spawn_file_actions_adddup2(&actions, fds[1], 2);
  pid_t pid;
  int rc = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  close(fds[1]);
  if (rc != 0) {
    close(fds[0]);
    return result;
  }
  char buffer[65536];
  ssize_t n;
  while ((n = read(fds[0], buffer, sizeof buffer)) > 0) result.output.append(buffer, n);
  close(fds[0]);
  int st = 0;
  waitpid(pid, &st, 0);
  result.status = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
  return result;
}

int fail(const std::string& message) {
  std::fprintf(stderr, "hdiutil: %s\n", message.c_str());
  return 1;
}

// Reads `7z l -slt`: the innermost archive type and every entry's path.
bool listImage(const char* tool, const std::string& image, std::string* type,
               std::vector<std::string>* paths, std::string* error) {
  Run listing = run({tool, "l", "-slt", image});
  if (listing.status != 0) {
    *error = "attach failed: image not recognized\n" + listing.output;
    return false;
  }
  std::istringstream in(listing.output);
  std::string line;
  bool entries = false;
  while (std::getline(in, line)) {
    if (line.rfind("----------", 0) == 0) {
      entries = true;
      continue;
    }
    if (!entries && line.rfind("Type = ", 0) == 0) *type = line.substr(7);
    if (entries && line.rfind("Path = ", 0) == 0) paths->push_back(line.substr(7));
  }
  return true;
}

int attach(const std::string& image, const fs::path& mountPoint) {
  const char* tool = sevenZip();
  if (!tool) return fail("attach failed: 7-Zip (7z) is not installed");
  std::error_code ec;
  if (!fs::is_directory(mountPoint, ec)) return fail("attach failed: no mount point " + mountPoint.string());

  std::string type, error;
  std::vector<std::string> paths;
  if (!listImage(tool, image, &type, &paths, &error)) return fail(error);
  for (const auto& p : paths) {
    if (!installer::helpers::isContainedName(p)) return fail("attach failed: unsafe entry " + p);
  }

  // Extract beside the mount point first: only a complete volume is moved in.
  std::string pattern = mountPoint.string() + ".attach-XXXXXX";
  if (!mkdtemp(pattern.data())) return fail("attach failed: cannot create a staging directory");
  fs::path staging = pattern;
  Run extract = run({tool, "x", "-y", "-snl", "-o" + staging.string(), image});
  if (extract.status != 0) {
    fs::remove_all(staging, ec);
    return fail("attach failed: 7z exited with status " + std::to_string(extract.status) + "\n" +
                extract.output);
  }
  // 7-Zip shows an HFS volume's root as a folder named after the volume.
  fs::path root = staging;
  std::vector<fs::path> top;
  for (const auto& e : fs::directory_iterator(staging, ec)) top.push_back(e.path());
  if (type == "HFS" && top.size() == 1 && fs::is_directory(fs::symlink_status(top[0], ec))) {
    root = top[0];
  }
  bool any = false;
  for (const auto& e : fs::directory_iterator(root, ec)) {
    fs::rename(e.path(), mountPoint / e.path().filename(), ec);
    if (ec) {
      fs::remove_all(staging, ec);
      return fail("attach failed: cannot move the volume into place");
    }
    any = true;
  }
  fs::remove_all(staging, ec);
  if (!any) return fail("attach failed: no volume came out of " + image);
  std::printf("/dev/disk-standin\tApple_HFS\t%s\n", mountPoint.c_str());
  return 0;
}

int detach(const fs::path& mountPoint) {
  std::error_code ec;
  if (!fs::exists(fs::symlink_status(mountPoint, ec))) {
    return fail("detach failed: no such mount point " + mountPoint.string());
  }
  fs::remove_all(mountPoint, ec);
  if (ec) return fail("detach failed: " + ec.message());
  std::printf("\"%s\" ejected.\n", mountPoint.c_str());
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
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
