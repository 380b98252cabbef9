// The desktop's own handlers: opening a link in the default browser and
// showing a file in the file manager. GIO only (no toolkit), so any part of
// the program may call them.
//
// Threads: any thread. Both calls return at once; the work runs on the
// shared background pool (dispatchGlobal), so a slow handler lookup, a
// missing session bus or an unresponsive file manager never holds up the
// caller. Failures are written to the system log and otherwise ignored:
// the user simply sees nothing open.
#pragma once

#include <chrono>
#include <filesystem>
#include <string>

namespace installer::platform {

// Opens `url` (absolute URL text) with the desktop's default handler for
// its scheme (the browser for http and https).
void openURL(const std::string& url);

// Shows `path` selected in the file manager through the session bus
// (org.freedesktop.FileManager1.ShowItems, answered within two seconds);
// without a session bus, or when nothing answers, opens the folder that
// contains `path` with its default handler.
void revealFile(const std::filesystem::path& path);

// Waits until every openURL and revealFile made so far has handed its link
// to the desktop's handler (or failed), at most `timeout`. True when none is
// left. For the program's exit: the hand-offs run on the pool, which ends
// with the process.
bool settleHandOffs(std::chrono::steady_clock::duration timeout);

// The synchronous work behind revealFile, for callers already off the main
// thread and for tests. True when the file manager accepted the request;
// false when the folder was opened instead (or nothing could be opened).
// Blocks at most `busTimeoutMs` waiting for the file manager, plus the
// folder's handler lookup.
bool revealFileNow(const std::filesystem::path& path, int busTimeoutMs = 2000);

}  // namespace installer::platform
