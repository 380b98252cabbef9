// Fuzzes the .strings table parser: any bytes must parse without crashing,
// and the entries found must survive being written out and read again.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "platform/strings_file.h"

namespace {

std::string quoted(const std::string& s) {
  std::string out = "\"";
  for (char c : s) {
    if (c == '"' || c == '\\') out += '\\';
    out += c;
  }
  return out + "\"";
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using installer::platform::parseStrings;
  std::string text(reinterpret_cast<const char*>(data), size);
  auto result = parseStrings(text);
  if (!result.entries.empty() && text.find('\0') != std::string::npos) std::abort();

  std::string written;
  for (const auto& [key, value] : result.entries) {
    written += quoted(key) + " = " + quoted(value) + ";\n";
  }
  auto again = parseStrings(written);
  // Entries holding NUL bytes (from "\U0000") cannot be written back as
  // UTF-8 text; everything else must round-trip exactly.
  if (written.find('\0') == std::string::npos &&
      (again.entries != result.entries || !again.problems.empty())) {
    std::abort();
  }
  return 0;
}
