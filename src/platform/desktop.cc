#include "platform/desktop.h"

#include <gio/gio.h>
#include <sys/stat.h>

#include <condition_variable>
#include <cstdlib>
#include <mutex>
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

// The session bus address, when a bus is already there. Without an address
// GIO would try to autolaunch one, which may start a daemon or wait on X11.
std::string sessionBusAddress() {
  const char* address = std::getenv("DBUS_SESSION_BUS_ADDRESS");
  if (address && *address) return address;
  const char* runtime = std::getenv("XDG_RUNTIME_DIR");
  if (!runtime || !*runtime) return {};
  struct stat info {};
  std::string socket = std::string(runtime) + "/bus";
  if (::stat(socket.c_str(), &info) != 0 || !S_ISSOCK(info.st_mode)) return {};
  gchar* escaped = g_dbus_address_escape_value(socket.c_str());
  std::string text = std::string("unix:path=") + escaped;
  g_free(escaped);
  return text;
}

bool showItemsOnBus(const std::string& uri, int timeoutMs) {
  std::string address = sessionBusAddress();
  if (address.empty()) return false;
  // A private connection: the shared one would end the process if the bus
  // went away later.
  GError* error = nullptr;
  GDBusConnection* bus = g_dbus_connection_new_for_address_sync(
      address.c_str(),
      static_cast<GDBusConnectionFlags>(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                                        G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
      nullptr, nullptr, &error);
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
  g_dbus_connection_close_sync(bus, nullptr, nullptr);
  g_object_unref(bus);
  if (!reply) {
    log().debug(std::string("file manager did not answer: ") + (error ? error->message : ""));
    g_clear_error(&error);
    return false;
  }
  g_variant_unref(reply);
  return true;
}

// Hand-offs queued on the pool and not yet done. Never destroyed: the pool
// may still run one while the process exits.
struct HandOffs {
  std::mutex mu;
  std::condition_variable done;
  int pending = 0;
};

HandOffs& handOffs() {
  static auto* handOffs = new HandOffs;
  return *handOffs;
}

void handOff(Task work) {
  HandOffs& h = handOffs();
  {
    std::lock_guard<std::mutex> lock(h.mu);
    ++h.pending;
  }
  dispatchGlobal(QueuePriority::userInitiated, [work = std::move(work)] {
    struct Done {
      ~Done() {
        HandOffs& h = handOffs();
        std::lock_guard<std::mutex> lock(h.mu);
        --h.pending;
        h.done.notify_all();
      }
    } done;
    work();
  });
}

}  // namespace

bool settleHandOffs(std::chrono::steady_clock::duration timeout) {
  HandOffs& h = handOffs();
  std::unique_lock<std::mutex> lock(h.mu);
  return h.done.wait_for(lock, timeout, [&h] { return h.pending == 0; });
}

void openURL(const std::string& url) {
  handOff([url] { launchDefault(url); });
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
  handOff([absolute] { revealFileNow(absolute); });
}

}  // namespace installer::platform
