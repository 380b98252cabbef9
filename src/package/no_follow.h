// Opening and reading files without following symbolic links on the way,
// and reading only as many bytes as a limit allows whatever the file's size
// claims (a link to /proc/self/pagemap reads without end).
//
// Plain functions over descriptors; any thread. Descriptors returned are
// owned by the caller and close on exec.
#pragma once

#include <cstddef>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace installer {

// Opens the directory at the absolute path `path`, following no link in any
// of its components. -1 with errno set (ELOOP for a link on the way).
int openDirectoryNoFollow(const std::filesystem::path& path);

// Opens `relative` (components separated by '/', none "." or "..") below
// the directory `dirFd`, following no link: a directory when `directory`,
// else anything but a link (opened non-blocking for reading). -1 with
// errno set.
int openBeneath(int dirFd, const std::string& relative, bool directory);

// The whole regular file `relative` below `dirFd`, or absent when it is
// missing, not a regular file, reached through a link, or longer than
// `limit` bytes as actually read.
std::optional<std::string> readBeneath(int dirFd, const std::string& relative, std::size_t limit);

// The names in the directory `relative` below `dirFd` ("" for `dirFd`
// itself) but "." and "..", sorted; empty when it cannot be listed.
std::vector<std::string> listBeneath(int dirFd, const std::string& relative);

// Reads at most `limit` bytes from `fd`; absent when there are more or a
// read fails.
std::optional<std::string> readAtMost(int fd, std::size_t limit);

// The file at `path` (its last component not a link), bounded like
// readBeneath.
std::optional<std::string> readFileBounded(const std::filesystem::path& path, std::size_t limit);

}  // namespace installer
