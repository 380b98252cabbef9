#include "ui/web_process_check.h"

#include <gio/gio.h>
#include <unistd.h>

#include <cstring>

namespace installer {
namespace {

bool executable(const std::filesystem::path& path) { return ::access(path.c_str(), X_OK) == 0; }

// The directory the engine mounts for a bus: the parent of the first
// "path=" value of a "unix:" address, cut at the first comma, without
// unescaping. Read exactly as the engine reads it, since its reading is what
// bubblewrap is given.
std::optional<std::string> socketDirectory(const std::string& address) {
  if (address.rfind("unix:", 0) != 0) return std::nullopt;
  const char* start = std::strstr(address.c_str(), "path=");
  if (start == nullptr) return std::nullopt;
  start += std::strlen("path=");
  const std::string path(start, std::strcspn(start, ","));
  GFile* file = g_file_new_for_path(path.c_str());
  GFile* parent = g_file_get_parent(file);
  std::optional<std::string> directory;
  if (parent != nullptr) {
    directory = g_file_peek_path(parent);
    g_object_unref(parent);
  }
  g_object_unref(file);
  return directory;
}

std::optional<std::string> missingBusDirectory(const std::string& address) {
  auto directory = socketDirectory(address);
  if (!directory || g_file_test(directory->c_str(), G_FILE_TEST_EXISTS)) return std::nullopt;
  return "the D-Bus address " + address + " names a directory that does not exist";
}

bool sandboxSwitchedOff() {
  if (g_file_test("/.flatpak-info", G_FILE_TEST_EXISTS)) return true;
  if (g_getenv("SNAP") && g_getenv("SNAP_NAME") && g_getenv("SNAP_REVISION")) return true;
  const char* off = g_getenv("WEBKIT_DISABLE_SANDBOX_THIS_IS_DANGEROUS");
  return off != nullptr && std::strcmp(off, "0") != 0;
}

std::string askSessionBusForAccessibilityBus() {
  GDBusConnection* bus = g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, nullptr);
  if (bus == nullptr) return {};
  std::string address;
  // The engine's own wait for this answer.
  GVariant* reply = g_dbus_connection_call_sync(bus, "org.a11y.Bus", "/org/a11y/bus", "org.a11y.Bus", "GetAddress",
                                                g_variant_new("()"), G_VARIANT_TYPE("(s)"), G_DBUS_CALL_FLAGS_NONE,
                                                30000, nullptr, nullptr);
  if (reply != nullptr) {
    const char* text = nullptr;
    g_variant_get(reply, "(&s)", &text);
    address = text;
    g_variant_unref(reply);
  }
  g_object_unref(bus);
  return address;
}

}  // namespace

std::optional<std::string> webProcessStartProblem(const WebSandboxFacts& facts) {
  if (!facts.sandboxed) return std::nullopt;
  if (!executable(facts.bubblewrap)) return "the sandbox program " + facts.bubblewrap.string() + " is missing";
  if (!facts.sessionBusAddress && facts.accessibilityBusAddress.empty()) return std::nullopt;
  if (!executable(facts.busProxy)) return "the D-Bus proxy " + facts.busProxy.string() + " is missing";
  if (facts.sessionBusAddress) {
    if (auto problem = missingBusDirectory(*facts.sessionBusAddress)) return problem;
  }
  return missingBusDirectory(facts.accessibilityBusAddress);
}

WebSandboxFacts currentWebSandboxFacts() {
  WebSandboxFacts facts;
  facts.sandboxed = !sandboxSwitchedOff();
  if (const char* session = g_getenv("DBUS_SESSION_BUS_ADDRESS")) facts.sessionBusAddress = session;
  static const std::string accessibilityBus = [] {
    const char* address = g_getenv("AT_SPI_BUS_ADDRESS");
    return address != nullptr && *address != '\0' ? std::string(address) : askSessionBusForAccessibilityBus();
  }();
  facts.accessibilityBusAddress = accessibilityBus;
  return facts;
}

}  // namespace installer
