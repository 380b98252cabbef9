// Stand-in for `pkgutil --expand PACKAGE DIR`: expands a flat installer
// package (a xar archive) into DIR, leaving payloads as they are stored.
// Exit status 0 on success, 1 when the package cannot be expanded, an entry
// would land outside DIR or the volume would be left with less than the
// free-space reserve (nothing written then stays in DIR), 2 for other
// arguments.
#include <cstdio>
#include <filesystem>
#include <string>

#include "extract/archive_extract.h"

int main(int argc, char** argv) {
  // Names marked as UTF-8 in the archive need a UTF-8 locale to come out.
  installer::helpers::useUTF8FileNames();
  if (argc != 4 || std::string(argv[1]) != "--expand") {
    std::fprintf(stderr, "usage: pkgutil --expand package directory\n");
    return 2;
  }
  std::error_code ec;
  std::filesystem::create_directories(argv[3], ec);
  if (ec) {
    std::fprintf(stderr, "pkgutil: %s: %s\n", argv[3], ec.message().c_str());
    return 1;
  }
  std::string error;
  if (!installer::helpers::extractArchive(argv[2], installer::helpers::ArchiveKind::xar, argv[3],
                                          &error)) {
    std::fprintf(stderr, "Could not open package for expansion: %s (%s)\n", argv[2], error.c_str());
    return 1;
  }
  return 0;
}
