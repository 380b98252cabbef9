// User-visible texts: every text is looked up with its English wording as
// the key. The table is the main bundle's, or one installed by a test.
#pragma once

#include <map>
#include <string>

namespace installer::platform {

// The localized text for `englishKey`, or the key itself when there is no
// translation. A key may carry a note after '|' ("Quit|running app") when
// one English word needs different translations; tables list the whole
// key, and without a translation only the text before the note shows.
// Any thread.
std::string localized(const std::string& englishKey);

// Replaces "%@" (each in turn), "%1$@" and "%2$@" with the arguments.
std::string formatLocalized(const std::string& format, const std::string& arg1,
                            const std::string& arg2 = std::string());

// Test support: while alive, `localized` reads from `table` instead of the
// main bundle. Not nestable across threads; create on the test's thread.
class ScopedLocalizationOverride {
 public:
  explicit ScopedLocalizationOverride(std::map<std::string, std::string> table);
  ~ScopedLocalizationOverride();
  ScopedLocalizationOverride(const ScopedLocalizationOverride&) = delete;
  ScopedLocalizationOverride& operator=(const ScopedLocalizationOverride&) = delete;
};

}  // namespace installer::platform
