// Prints what the application layer reads from the bundle it runs in, one
// "key=value" line each; app_config_test runs it from inside test bundles.
#include <cstdio>

#include "config/app_config.h"
#include "telemetry/launch_event.h"

int main() {
  using namespace installer;
  event::downloaderStart launch = launchEvent();
  std::printf("displayName=%s\n", displayName().c_str());
  std::printf("language=%s\n", currentLanguageCode().c_str());
  std::printf("version=%s\n", launch.version.c_str());
  std::printf("launchLanguage=%s\n", launch.language.c_str());
  return 0;
}
