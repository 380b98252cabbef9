// Whether WebKitGTK can start a web content process here, asked before a
// web view is made.
//
// WebKitGTK starts each web process in a bubblewrap sandbox. When the
// environment names a D-Bus session bus or an accessibility bus, it first
// starts a filtering D-Bus proxy (xdg-dbus-proxy, itself under bubblewrap)
// with the directory of each bus socket mounted into its sandbox, and waits
// for it. When that proxy cannot start (a bus address whose directory does
// not exist, a missing proxy or bubblewrap program) WebKitGTK ends the whole
// process with g_error instead of failing the page. These functions predict
// that outcome from what WebKitGTK itself reads, the way it reads it.
//
// Threads: main thread (the accessibility bus is asked there, as WebKitGTK
// asks it). Nothing here throws.
#pragma once

#include <filesystem>
#include <optional>
#include <string>

namespace installer {

// What the engine's sandbox depends on.
struct WebSandboxFacts {
  // False inside Flatpak or Snap or with the sandbox switched off: no
  // bubblewrap, no proxy.
  bool sandboxed = true;
  // DBUS_SESSION_BUS_ADDRESS; set (even empty) means a proxy for it.
  std::optional<std::string> sessionBusAddress;
  // AT_SPI_BUS_ADDRESS, else the session bus's answer; empty: none.
  std::string accessibilityBusAddress;
  std::filesystem::path bubblewrap{"/usr/bin/bwrap"};
  std::filesystem::path busProxy{"/usr/bin/xdg-dbus-proxy"};
};

// Why a web process cannot start, in English; nullopt when it can.
std::optional<std::string> webProcessStartProblem(const WebSandboxFacts& facts);

// The facts of this process. The accessibility bus is looked up once per
// process, as WebKitGTK looks it up once and keeps the answer.
WebSandboxFacts currentWebSandboxFacts();

}  // namespace installer
