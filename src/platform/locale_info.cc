#include "platform/locale_info.h"

#include <unicode/locid.h>
#include <unicode/timezone.h>
#include <unicode/unistr.h>

#include <algorithm>
#include <cctype>
#include <memory>

#include "platform/bundle.h"

namespace installer::platform {

namespace {

std::string utf8(const icu::UnicodeString& text) {
  std::string out;
  text.toUTF8String(out);
  return out;
}

bool isCode(const std::string& code, std::size_t minLength, std::size_t maxLength) {
  return code.size() >= minLength && code.size() <= maxLength &&
         std::all_of(code.begin(), code.end(), [](unsigned char c) {
           return std::isalnum(c) || c == '-' || c == '_';
         });
}

bool equalsIgnoringCase(const std::string& a, const std::string& b) {
  return a.size() == b.size() &&
         std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::tolower(static_cast<unsigned char>(x)) ==
                  std::tolower(static_cast<unsigned char>(y));
         });
}

const icu::Locale& englishUS() {
  static const icu::Locale locale("en_US");
  return locale;
}

}  // namespace

std::string currentLocaleIdentifier() {
  std::vector<std::string> languages = userPreferredLanguages();
  if (!languages.empty()) {
    UErrorCode status = U_ZERO_ERROR;
    icu::Locale locale = icu::Locale::forLanguageTag(languages.front(), status);
    if (U_SUCCESS(status) && !locale.isBogus() && locale.getName()[0] != '\0') {
      return locale.getName();
    }
  }
  const icu::Locale& fallback = icu::Locale::getDefault();
  std::string name = fallback.getName();
  // ICU answers the POSIX "C" locale with en_US_POSIX.
  if (name == "en_US_POSIX") return "en_US";
  return name.empty() ? "en" : name;
}

std::string currentRegionCode() {
  icu::Locale locale(currentLocaleIdentifier().c_str());
  return locale.getCountry();
}

std::string regionDisplayNameEnglish(const std::string& regionCode) {
  if (!isCode(regionCode, 2, 3)) return std::string();
  icu::Locale locale(("und_" + regionCode).c_str());
  if (locale.isBogus() || locale.getCountry()[0] == '\0') return std::string();
  icu::UnicodeString name;
  locale.getDisplayCountry(englishUS(), name);
  std::string result = utf8(name);
  if (result.empty() || equalsIgnoringCase(result, regionCode)) return std::string();
  return result;
}

std::string timeZoneStandardNameEnglish() {
  std::unique_ptr<icu::TimeZone> zone(icu::TimeZone::createDefault());
  if (!zone) return std::string();
  icu::UnicodeString name;
  zone->getDisplayName(false, icu::TimeZone::LONG, englishUS(), name);
  std::string result = utf8(name);
  if (result.empty()) {
    icu::UnicodeString id;
    zone->getID(id);
    result = utf8(id);
  }
  return result;
}

std::string languageDisplayNameEnglish(const std::string& languageCode) {
  if (!isCode(languageCode, 2, 16)) return std::string();
  icu::Locale locale(languageCode.c_str());
  if (locale.isBogus() || locale.getLanguage()[0] == '\0') return std::string();
  icu::UnicodeString name;
  locale.getDisplayLanguage(englishUS(), name);
  std::string result = utf8(name);
  if (result.empty() || equalsIgnoringCase(result, languageCode) ||
      equalsIgnoringCase(result, locale.getLanguage())) {
    return std::string();
  }
  return result;
}

}  // namespace installer::platform
