// Fuzzes the judgement of an update-check answer: the first two bytes are
// the HTTP status, the rest the body. Checks what the rest of the program
// relies on: a link is an https URL with a host and fields that are never
// empty; a server message is displayable text of at most 120 characters.
#include <cstddef>
#include <cstdint>
#include <cctype>
#include <cstdlib>
#include <string>

#include <unicode/utf8.h>

#include "network/check_update.h"

namespace {

void check(bool condition) {
  if (!condition) std::abort();
}

// Valid UTF-8 without control or directional formatting characters.
bool displayable(const std::string& text) {
  const auto* s = reinterpret_cast<const uint8_t*>(text.data());
  int32_t length = static_cast<int32_t>(text.size());
  for (int32_t i = 0; i < length;) {
    UChar32 c;
    U8_NEXT(s, i, length, c);
    if (c < 0x20 || (c >= 0x7F && c <= 0x9F) || c == 0x061C || c == 0x200E || c == 0x200F ||
        (c >= 0x202A && c <= 0x202E) || (c >= 0x2066 && c <= 0x2069)) {
      return false;
    }
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  int status = 100 + (data[0] | (data[1] << 8)) % 500;
  std::string body(reinterpret_cast<const char*>(data + 2), size - 2);

  auto result = installer::parsePackageLink(body, status);
  if (const auto* link = std::get_if<installer::PackageLink>(&result)) {
    std::string scheme = link->url.scheme();
    for (auto& c : scheme) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    check(scheme == "https");
    check(!link->url.host().empty());
    for (const auto* field : {&link->md5, &link->version, &link->sha256, &link->signature}) {
      check(!*field || !(*field)->empty());
    }
    if (link->version) check(displayable(*link->version));
    check(!link->size || *link->size <= static_cast<std::uint64_t>(INT64_MAX));
    return 0;
  }
  const auto& error = std::get<installer::CheckUpdateError>(result);
  check(!error.description().empty());
  if (const auto* server = error.as<installer::check_update_error::server>()) {
    check(displayable(server->message));
    check(installer::prefixCharacters(server->message, 120) == server->message);
  }
  return 0;
}
