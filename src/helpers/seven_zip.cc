#include "helpers/seven_zip.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <sstream>

extern char** environ;

namespace installer::helpers {

namespace {

// A symbolic link shows as "Mode = lrwxr-xr-x"; 7-Zip versions that print
// no mode show the Unix bits among the "Attributes".
bool looksLikeLink(const std::string& line) {
  auto value = line.substr(line.find('=') + 1);
  std::istringstream words(value);
  std::string word;
  while (words >> word) {
    if (word.size() == 10 && word[0] == 'l' && (word[1] == 'r' || word[1] == '-')) return true;
  }
  return false;
}

}  // namespace

const char* sevenZipTool() {
  for (const char* p : {"/usr/bin/7z", "/usr/bin/7za", "/usr/bin/7zz", "/usr/local/bin/7z"}) {
    if (access(p, X_OK) == 0) return p;
  }
  return nullptr;
}

SevenZipRun runSevenZip(const std::vector<std::string>& args, const SevenZipRunOptions& options) {
  SevenZipRun result;
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
  if (options.withErrors) {
    posix_spawn_file_actions_adddup2(&actions, fds[1], 2);
  } else {
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  }
  pid_t pid;
  int rc = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  close(fds[1]);
  if (rc != 0) {
    close(fds[0]);
    return result;
  }
  char buffer[65536];
  for (;;) {
    pollfd p{fds[0], POLLIN, 0};
    int ready = poll(&p, 1, 100);
    if (ready > 0) {
      ssize_t n = read(fds[0], buffer, sizeof buffer);
      if (n <= 0) break;
      result.output.append(buffer, static_cast<size_t>(n));
    }
    if (options.keepGoing && !options.keepGoing()) {
      kill(pid, SIGKILL);
      result.stopped = true;
      break;
    }
  }
  close(fds[0]);
  int st = 0;
  waitpid(pid, &st, 0);
  result.status = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
  return result;
}

bool listWithSevenZip(const char* tool, const std::string& archive, SevenZipListing* listing,
                      std::string* error) {
  SevenZipRun r = runSevenZip({tool, "l", "-slt", "-scsUTF-8", archive});
  if (r.status != 0) {
    *error = r.output;
    return false;
  }
  std::istringstream in(r.output);
  std::string line;
  bool entries = false;
  SevenZipItem* item = nullptr;
  while (std::getline(in, line)) {
    if (line.rfind("----------", 0) == 0) {
      entries = true;
      continue;
    }
    if (!entries) {
      if (line.rfind("Type = ", 0) == 0) listing->type = line.substr(7);
      continue;
    }
    if (line.rfind("Path = ", 0) == 0) {
      listing->items.emplace_back();
      listing->items.back().path = line.substr(7);
      item = &listing->items.back();
    } else if (!item) {
      continue;
    } else if (line == "Folder = +") {
      item->folder = true;
    } else if (line.rfind("Size = ", 0) == 0) {
      item->size = std::strtoull(line.c_str() + 7, nullptr, 10);
    } else if (line.rfind("Mode = ", 0) == 0 || line.rfind("Attributes = ", 0) == 0) {
      if (looksLikeLink(line)) item->link = true;
      if (line.rfind("Mode = d", 0) == 0) item->folder = true;
    } else if (line.rfind("Symbolic Link = ", 0) == 0 && line.size() > 16) {
      item->linkTarget = line.substr(16);
    }
  }
  return true;
}

}  // namespace installer::helpers
