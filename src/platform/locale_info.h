// Locale data through ICU. Any thread.
#pragma once

#include <string>

namespace installer::platform {

// The current locale's identifier ("en_US", "zh_Hans_CN"), from the
// user's first preferred language, else ICU's default; never empty ("en").
std::string currentLocaleIdentifier();
// The current locale's region code ("US"); "" when it has none.
std::string currentRegionCode();
// The English ("en_US") display name of a region code ("US" -> "United
// States"); "" for an empty code or one ICU does not name.
std::string regionDisplayNameEnglish(const std::string& regionCode);
// The current time zone's standard long name in "en_US" (e.g. "Central
// European Standard Time"); its identifier when ICU has no name.
std::string timeZoneStandardNameEnglish();
// The English display name of a language code ("sv" -> "Swedish"); "" when
// ICU has no name for it (ICU echoing the code back counts as no name).
std::string languageDisplayNameEnglish(const std::string& languageCode);

}  // namespace installer::platform
