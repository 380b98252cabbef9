#include "platform/localization.h"

#include <mutex>
#include <optional>

#include "platform/bundle.h"

namespace installer::platform {

namespace {

std::mutex gOverrideMutex;
std::optional<std::map<std::string, std::string>> gOverride;

}  // namespace

std::string localized(const std::string& englishKey) {
  std::optional<std::string> text;
  {
    std::lock_guard<std::mutex> lock(gOverrideMutex);
    if (gOverride) {
      auto it = gOverride->find(englishKey);
      text = it == gOverride->end() ? englishKey : it->second;
    }
  }
  if (!text) text = Bundle::main().localizedString(englishKey);
  if (*text == englishKey) return englishKey.substr(0, englishKey.find('|'));
  return *text;
}

std::string formatLocalized(const std::string& format, const std::string& arg1,
                            const std::string& arg2) {
  const std::string* args[] = {&arg1, &arg2};
  std::string out;
  out.reserve(format.size() + arg1.size() + arg2.size());
  std::size_t next = 0;  // the argument the next plain "%@" takes
  std::size_t i = 0;
  while (i < format.size()) {
    char c = format[i];
    if (c != '%' || i + 1 >= format.size()) {
      out += c;
      ++i;
      continue;
    }
    if (format[i + 1] == '@') {
      if (next < 2) out += *args[next];
      ++next;
      i += 2;
    } else if (format[i + 1] == '%') {
      out += '%';
      i += 2;
    } else if (i + 3 < format.size() && (format[i + 1] == '1' || format[i + 1] == '2') &&
               format[i + 2] == '$' && format[i + 3] == '@') {
      out += *args[format[i + 1] - '1'];
      i += 4;
    } else {
      out += c;
      ++i;
    }
  }
  return out;
}

ScopedLocalizationOverride::ScopedLocalizationOverride(std::map<std::string, std::string> table) {
  std::lock_guard<std::mutex> lock(gOverrideMutex);
  gOverride = std::move(table);
}

ScopedLocalizationOverride::~ScopedLocalizationOverride() {
  std::lock_guard<std::mutex> lock(gOverrideMutex);
  gOverride.reset();
}

}  // namespace installer::platform
