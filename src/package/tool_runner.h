// Running external command-line tools, and the table of the tools the
// package code uses.
//
// `runTool` starts an executable directly (no shell), joins its standard
// output and standard error into one pipe, reads that pipe to its end and
// then waits for the process. It blocks its caller for as long as the tool
// runs; there is no time limit. Any thread may call it.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace installer {

struct ToolResult {
  std::int32_t status = 0;  // exit status; 128 + signal number when killed
  std::string output;       // stdout and stderr joined; "" when not UTF-8
};

// Runs `executable` (an absolute path) with `arguments`. Standard input is
// /dev/null. Throws std::system_error when the process cannot be started
// (missing or non-executable file, no resources); its description names the
// executable.
ToolResult runTool(const std::filesystem::path& executable,
                   const std::vector<std::string>& arguments);

// Puts `text` between single quotes for /bin/sh, every "'" inside it
// written as '\'' so the shell reads the text back unchanged.
std::string shellQuote(const std::string& text);

// True when `bytes` is well-formed UTF-8.
bool isValidUTF8(const std::string& bytes);

// Where the external tools live. On macOS the system's own; elsewhere the
// stand-ins shipped in the program's bundle (Contents/Helpers) for hdiutil,
// ditto and pkgutil, while spctl and xattr point at paths that do not exist,
// so those steps find no tool and go on. Tests build one with their own
// paths (fakes, or the build tree's helpers directory).
struct PackageTools {
  std::filesystem::path spctl;
  std::filesystem::path hdiutil;
  std::filesystem::path ditto;
  std::filesystem::path pkgutil;
  std::filesystem::path shell;  // runs the payload unpack pipeline
  std::filesystem::path xattr;
  // Our own program for the administrator step (install_helper.h), in the
  // bundle's Contents/Helpers on every platform.
  std::filesystem::path installHelper;

  // The tools for this platform, the stand-ins taken from the running
  // program's bundle (the directory of the executable when it does not run
  // from a bundle).
  static PackageTools standard();
  // The platform's table with the stand-ins taken from `helpersDirectory`
  // (no effect on macOS, where the system's tools are used).
  static PackageTools withHelpers(const std::filesystem::path& helpersDirectory);
};

}  // namespace installer
