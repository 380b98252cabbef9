// Fuzzes property-list reading (XML and binary, through libplist) and the
// conversion into PlistValue.
#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/plist.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string bytes(reinterpret_cast<const char*>(data), size);
  std::string error;
  auto dict = installer::platform::parsePlistDict(bytes, &error);
  if (dict) {
    for (const auto& [key, value] : *dict) {
      (void)value.integerValue();
      (void)value.numberValue();
    }
  }
  return 0;
}
