// Stand-in for `ditto -V -x -k --sequesterRsrc --rsrc ARCHIVE DIR`: expands
// a ZIP archive into DIR (created when missing). Like ditto, it folds the
// AppleDouble files that macOS sequesters under "__MACOSX/" into the
// extended attributes of the files they describe ("user." attributes, where
// the file system takes them) and leaves no "__MACOSX" in DIR.
// Exit status 0 on success, 1 when the archive cannot be expanded, an entry
// would land outside DIR or the volume would be left with less than the
// free-space reserve (nothing written then stays in DIR), 2 for other
// arguments.
#include <cstdio>
#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include "extract/apple_double.h"
#include "extract/archive_extract.h"

int main(int argc, char** argv) {
  // Names marked as UTF-8 in the archive need a UTF-8 locale to come out.
  installer::helpers::useUTF8FileNames();
  const std::set<std::string> flags = {"-V", "-x", "-k", "--sequesterRsrc", "--rsrc"};
  std::set<std::string> seen;
  std::vector<std::string> operands;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    if (flags.count(a)) {
      seen.insert(a);
    } else if (!a.empty() && a[0] == '-') {
      std::fprintf(stderr, "ditto: unsupported option %s\n", a.c_str());
      return 2;
    } else {
      operands.push_back(a);
    }
  }
  if (!seen.count("-x") || !seen.count("-k") || operands.size() != 2) {
    std::fprintf(stderr, "usage: ditto -x -k [-V] [--sequesterRsrc] [--rsrc] archive directory\n");
    return 2;
  }
  std::error_code ec;
  std::filesystem::create_directories(operands[1], ec);
  if (ec) {
    std::fprintf(stderr, "ditto: %s: %s\n", operands[1].c_str(), ec.message().c_str());
    return 1;
  }
  std::string error;
  if (!installer::helpers::extractArchive(operands[0], installer::helpers::ArchiveKind::zip,
                                          operands[1], &error)) {
    std::fprintf(stderr, "ditto: %s: %s\n", operands[0].c_str(), error.c_str());
    return 1;
  }
  installer::helpers::foldSequesteredMetadata(operands[1]);
  if (seen.count("-V")) std::printf(">>> Copied %s\n", operands[0].c_str());
  return 0;
}
