#include "telemetry/launch_event.h"

#include "config/app_config.h"
#include "platform/bundle.h"
#include "platform/locale_info.h"

namespace installer {

event::downloaderStart launchEvent() {
  event::downloaderStart e;
  auto version = platform::Bundle::main().lookup("CFBundleShortVersionString");
  e.version = version && version->string() ? *version->string() : std::string();
  e.language = languageDisplayName(currentLanguageCode());
  e.country = platform::regionDisplayNameEnglish(platform::currentRegionCode());
  e.timezone = platform::timeZoneStandardNameEnglish();
  e.ostype = "Mac";
  e.osversion = systemVersionString();
  e.kernel = "";
  return e;
}

}  // namespace installer
