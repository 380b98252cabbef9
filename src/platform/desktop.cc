#include "platform/desktop.h"

#include <gio/gio.h>
#include <sys/stat.h>

#include <cstdlib>
#include <system_error>

#include "platform/dispatch.h"
#include "platform/system_log.h"

namespace installer::platform {

namespace {

const SystemLog& log() {
  static const SystemLog logger("installer", "desktop");
  return logger;
}

bool launchDefault(const std::string& uri) {
  GError* error = nullptr;
  if (g_app_info_launch_default_for_uri(uri.c_str(), nullptr, &error)) return true;
  log().error("cannot open " + uri + ": " + (error ? error->message : "unknown error"));
  g_clear_error(&error);
  return false;
}

std::string fileURI(const std::filesystem::path& path) {
  gchar* uri = g_filename_to_uri(path.c_str(), nullptr, nullptr);
  if (!uri) return {};
  std::string text(uri);
  g_free(uri);
  return text;
}

// Only a bus that is already there counts: without an address GIO would try
// to autolaunch one, which may start a daemon or wait on X11.
bool sessionBusAvailable() {
  const char* address = std::getenv("DBUS_SESSION_BUS_ADDRESS");
  if (address && *address) return true;
  const char* runtime = std::getenv("XDG_RUNTIME_DIR");
  if (!runtime || !*runtime) return false;
  struct stat info {};
  std::string socket = std::string(runtime) + "/bus";
  return ::stat(socket.c_str(), &info) == 0 && S_ISSOCK(info.st_mode);
}

bool showItemsOnBus(const std::string& uri, int timeoutMs) {
  if (!sessionBusAvailable()) return false;
  GError* error = nullptr;
  GDBusConnection* bus = g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, &error);
  if (!bus) {
    log().debug(std::string("no session bus: ") + (error ? error->message : ""));
    g_clear_error(&error);
    return false;
  }
  const gchar* uris[] = {uri.c_str(), nullptr};
  GVariant* reply = g_dbus_connection_call_sync(
      bus, "org.freedesktop.FileManager1", "/org/freedesktop/FileManager1",
      "org.freedesktop.FileManager1", "ShowItems", g_variant_new("(^ass)", uris, ""), nullptr,
      G_DBUS_CALL_FLAGS_NONE, timeoutMs, nullptr, &error);
  g_object_unref(bus);
  if (!reply) {
    log().debug(std::string("file manager did not answer: ") + (error ? error->message : ""));
    g_clear_error(&error);
    return false;
  }
  g_variant_unref(reply);
  return true;
}

}  // namespace

void openURL(const std::string& url) {
  dispatchGlobal(QueuePriority::userInitiated, [url] { launchDefault(url); });
}

bool revealFileNow(const std::filesystem::path& path, int busTimeoutMs) {
  std::string uri = fileURI(path);
  if (!uri.empty() && showItemsOnBus(uri, busTimeoutMs)) return true;
  std::string folder = fileURI(path.parent_path().empty() ? path : path.parent_path());
  if (!folder.empty()) launchDefault(folder);
  return false;
}

void revealFile(const std::filesystem::path& path) {
  std::error_code ignored;
  std::filesystem::path absolute = std::filesystem::absolute(path, ignored);
  if (absolute.empty()) absolute = path;
  // "X.app/" names the bundle itself, not an entry inside it.
  if (!absolute.has_filename()) absolute = absolute.parent_path();
  dispatchGlobal(QueuePriority::userInitiated, [absolute] { revealFileNow(absolute); });
}

}  // namespace installer::platform
