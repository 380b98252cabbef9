// demo_package: makes the demo product's bundle and its three packages.
//
//   demo_package --product EXE --out DIR [--name DemoProduct]
//                [--identifier com.example.demoproduct] [--version 1.0]
//                [--pad-mib N] [--formats dmg,zip,pkg]
//
// Writes DIR/<name>.app (Contents/Info.plist, Contents/MacOS/demo_product, a
// copy of EXE) and, holding that bundle, DIR/<name>.dmg (an HFS+ volume as a
// flat UDIF image), DIR/<name>.zip and DIR/<name>.pkg (a flat installer
// package installing into Applications/). --pad-mib adds N MiB of
// incompressible data under Contents/Resources (for timing large packages);
// --formats makes only the listed packages.
// Prints each package's path, size and MD5 (md5sum's format).
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <stdexcept>
#include <string>

#include "support/package_fixtures.h"

namespace fs = std::filesystem;
using namespace installer::testing;

namespace {

int usage() {
  std::fprintf(stderr,
               "usage: demo_package --product EXE --out DIR [--name NAME] [--identifier ID]\n"
               "                    [--version V] [--pad-mib N] [--formats dmg,zip,pkg]\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  std::map<std::string, std::string> options = {{"--name", "DemoProduct"},
                                                {"--identifier", "com.example.demoproduct"},
                                                {"--version", "1.0"},
                                                {"--pad-mib", "0"},
                                                {"--formats", "dmg,zip,pkg"}};
  for (int i = 1; i + 1 < argc; i += 2) options[argv[i]] = argv[i + 1];
  if (argc % 2 == 0 || !options.count("--product") || !options.count("--out") || options.size() != 7) {
    return usage();
  }
  try {
    const fs::path out = options["--out"];
    const std::string name = options["--name"];
    fs::remove_all(out / "stage");
    fs::create_directories(out / "stage");

    AppBundleSpec layout;
    layout.identifier = options["--identifier"];
    layout.shortVersion = options["--version"];
    layout.executable = "demo_product";
    fs::path bundle = writeAppBundle(out / "stage", name + ".app", layout);
    fs::copy_file(options["--product"], bundle / "Contents" / "MacOS" / layout.executable,
                  fs::copy_options::overwrite_existing);
    size_t padMiB = std::stoul(options["--pad-mib"]);
    if (padMiB > 0) {
      writeFile(bundle / "Contents" / "Resources" / "padding.bin", randomBytes(padMiB << 20, 7));
    }

    const fs::path stage = out / "stage";
    const std::string formats = "," + options["--formats"] + ",";
    auto wanted = [&](const char* format) { return formats.find(std::string(",") + format + ",") != std::string::npos; };
    if (wanted("dmg")) makeDiskImage(stage, name, out / (name + ".dmg"));
    if (wanted("zip")) writeArchive(out / (name + ".zip"), ArchiveFormat::zip, entriesFromTree(stage));
    if (wanted("pkg")) makeInstallerPackage(out / (name + ".pkg"), entriesFromTree(stage, "Applications/"));
    fs::remove_all(out / (name + ".app"));
    fs::rename(bundle, out / (name + ".app"));
    fs::remove_all(stage);
    for (const char* format : {"dmg", "zip", "pkg"}) {
      if (!wanted(format)) continue;
      fs::path package = out / (name + "." + format);
      std::string md5 = "md5sum '" + package.string() + "'";
      std::printf("%s %ju bytes\n", package.c_str(), static_cast<uintmax_t>(fs::file_size(package)));
      std::fflush(stdout);
      if (std::system(md5.c_str()) != 0) return 1;
    }
  } catch (const std::exception& e) {
    std::fprintf(stderr, "demo_package: %s\n", e.what());
    return 1;
  }
  return 0;
}
