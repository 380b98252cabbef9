// Fuzzes the AppleDouble reader that ZIP archives from macOS feed through
// their "__MACOSX/" entries.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "extract/apple_double.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  auto attributes =
      installer::helpers::parseAppleDouble(std::string_view(reinterpret_cast<const char*>(data), size));
  if (attributes) {
    for (const auto& [name, value] : *attributes) {
      if (name.empty() || value.size() > size) __builtin_trap();
    }
  }
  return 0;
}
