// The launch event: the installer's version and the user's language,
// region, time zone and system, read from the main bundle and the platform.
#pragma once

#include "telemetry/report_event.h"

namespace installer {

// downloaderStart with: version = the main bundle's
// CFBundleShortVersionString ("" when missing); language =
// languageDisplayName(currentLanguageCode()); country = the English name of
// the current region ("" without one); timezone = the current time zone's
// English standard name (its identifier when unnamed); ostype "Mac";
// osversion = systemVersionString(); kernel "". Any thread.
event::downloaderStart launchEvent();

}  // namespace installer
