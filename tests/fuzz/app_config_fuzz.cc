// Fuzzes the configuration loader over property lists (XML or binary) and
// checks the record's invariants; every string in the list also goes
// through the URL parser, whose components must read back unchanged.
#include <cstddef>
#include <cstdint>
#include <cctype>
#include <cstdlib>
#include <string>

#include "config/app_config.h"
#include "platform/plist.h"
#include "platform/url.h"

namespace {

using installer::AppConfig;
using installer::platform::PlistDict;
using installer::platform::PlistValue;
using installer::platform::URL;

void check(bool condition) {
  if (!condition) std::abort();
}

void checkURLRoundTrip(const std::string& text) {
  auto url = URL::parse(text);
  if (!url) return;
  // Components of a valid URL always form one again (the same components;
  // the text may differ where it held an empty port).
  auto rebuilt = url->components().string();
  check(rebuilt.has_value());
  check(URL::parse(*rebuilt)->components() == url->components());
  auto items = url->components().queryItems();
  if (items) {
    auto parts = url->components();
    parts.setQueryItems(*items);
    auto again = parts.string();
    check(again.has_value());
    check(URL::parse(*again)->components().queryItems() == items);
  }
}

void visitStrings(const PlistValue& value, int depth) {
  if (depth > 8) return;
  if (const std::string* s = value.string()) {
    checkURLRoundTrip(*s);
  } else if (const auto* array = value.array()) {
    for (const auto& v : *array) visitStrings(v, depth + 1);
  } else if (const auto* dict = value.dict()) {
    for (const auto& [key, v] : *dict) visitStrings(v, depth + 1);
  }
}

void checkSecure(const std::optional<URL>& url) {
  if (!url) return;
  check(!url->host().empty());
  std::string scheme = url->scheme();
  for (char& c : scheme) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  check(scheme == "https");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string bytes(reinterpret_cast<const char*>(data), size);
  auto dict = installer::platform::parsePlistDict(bytes);
  if (!dict) return 0;
  visitStrings(PlistValue(*dict), 0);

  static const char* const kLanguages[] = {"en", "ja", "zh-Hant", "fr", ""};
  const char* language = kLanguages[size % 5];
  installer::platform::DictKeyValueSource source(*dict);
  AppConfig config = AppConfig::load(source, language);

  check(!config.productVersion.empty());
  check(!config.installJumpCode.empty());
  for (const auto* field : {&config.minimumSystemVersion, &config.packageMD5,
                            &config.checkUpdateApp, &config.checkUpdateUID}) {
    check(!field->has_value() || !(*field)->empty());
  }
  check(!config.checkUpdateApp || config.checkUpdateUID);
  checkSecure(config.carouselURL);
  checkSecure(config.installSuccessURL);

  auto carousel = config.localizedCarouselURL(language);
  check(carousel.has_value() == config.carouselURL.has_value());
  (void)config.supportsCurrentSystem({10, 15, 7});
  return 0;
}
