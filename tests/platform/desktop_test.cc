#include "platform/desktop.h"

#include <gio/gio.h>
#include <gtest/gtest.h>

#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <thread>

#include "support/scoped_temp_home.h"

namespace installer::platform {
namespace {

// Sets (or, with nullptr, removes) an environment variable while alive.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, const char* value) : name_(name) {
    if (const char* old = std::getenv(name)) saved_ = old;
    value ? ::setenv(name, value, 1) : ::unsetenv(name);
  }
  ~ScopedEnv() { saved_ ? ::setenv(name_, saved_->c_str(), 1) : ::unsetenv(name_); }

 private:
  const char* name_;
  std::optional<std::string> saved_;
};

// A private session bus listening on `socket`; service activation finds
// nothing, so only names owned by the test answer.
class PrivateBus {
 public:
  explicit PrivateBus(const std::filesystem::path& socket, const std::filesystem::path& emptyDataDir) {
    std::string listen = "--address=unix:path=" + socket.string();
    std::string dataDirs = "XDG_DATA_DIRS=" + emptyDataDir.string();
    const gchar* argv[] = {"dbus-daemon", "--session", "--nofork", "--print-address=1",
                           listen.c_str(), nullptr};
    const gchar* envp[] = {dataDirs.c_str(), nullptr};
    int out = -1;
    GError* error = nullptr;
    if (!g_spawn_async_with_pipes(nullptr, const_cast<gchar**>(argv), const_cast<gchar**>(envp),
                                  G_SPAWN_SEARCH_PATH, nullptr, nullptr, &pid_, nullptr, &out,
                                  nullptr, &error)) {
      ADD_FAILURE() << error->message;
      g_clear_error(&error);
      return;
    }
    char c = 0;
    while (::read(out, &c, 1) == 1 && c != '\n') address_ += c;
    ::close(out);
  }
  ~PrivateBus() {
    if (pid_ > 0) {
      ::kill(pid_, SIGTERM);
      g_spawn_close_pid(pid_);
    }
  }
  const std::string& address() const { return address_; }

 private:
  GPid pid_ = 0;
  std::string address_;
};

// Owns org.freedesktop.FileManager1 on the bus and records ShowItems calls,
// answering from a thread of its own.
class FakeFileManager {
 public:
  explicit FakeFileManager(const std::string& address) {
    thread_ = std::thread([this, address] { serve(address); });
    std::unique_lock lock(mu_);
    cv_.wait(lock, [this] { return ready_; });
  }
  ~FakeFileManager() {
    g_main_loop_quit(loop_);
    thread_.join();
    g_main_loop_unref(loop_);
  }
  std::vector<std::string> shown() {
    std::lock_guard lock(mu_);
    return shown_;
  }
  bool owned() const { return owned_; }

 private:
  void serve(const std::string& address) {
    GMainContext* context = g_main_context_new();
    g_main_context_push_thread_default(context);
    loop_ = g_main_loop_new(context, false);
    GDBusConnection* bus = g_dbus_connection_new_for_address_sync(
        address.c_str(),
        static_cast<GDBusConnectionFlags>(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                                          G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
        nullptr, nullptr, nullptr);
    GDBusNodeInfo* node = g_dbus_node_info_new_for_xml(
        "<node><interface name='org.freedesktop.FileManager1'><method name='ShowItems'>"
        "<arg type='as' direction='in'/><arg type='s' direction='in'/></method></interface></node>",
        nullptr);
    static const GDBusInterfaceVTable vtable = {&FakeFileManager::call, nullptr, nullptr, {}};
    if (bus) {
      g_dbus_connection_register_object(bus, "/org/freedesktop/FileManager1", node->interfaces[0],
                                        &vtable, this, nullptr, nullptr);
      GVariant* reply = g_dbus_connection_call_sync(
          bus, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
          "RequestName", g_variant_new("(su)", "org.freedesktop.FileManager1", 4u), nullptr,
          G_DBUS_CALL_FLAGS_NONE, 5000, nullptr, nullptr);
      owned_ = reply != nullptr;
      if (reply) g_variant_unref(reply);
    }
    {
      std::lock_guard lock(mu_);
      ready_ = true;
    }
    cv_.notify_all();
    g_main_loop_run(loop_);
    if (bus) {
      g_dbus_connection_close_sync(bus, nullptr, nullptr);
      g_object_unref(bus);
    }
    g_dbus_node_info_unref(node);
    g_main_context_pop_thread_default(context);
    g_main_context_unref(context);
  }

  static void call(GDBusConnection*, const gchar*, const gchar*, const gchar*, const gchar*,
                   GVariant* parameters, GDBusMethodInvocation* invocation, gpointer self) {
    auto* manager = static_cast<FakeFileManager*>(self);
    GVariantIter* uris = nullptr;
    const gchar* startup = nullptr;
    g_variant_get(parameters, "(as&s)", &uris, &startup);
    const gchar* uri = nullptr;
    {
      std::lock_guard lock(manager->mu_);
      while (g_variant_iter_loop(uris, "&s", &uri)) manager->shown_.emplace_back(uri);
    }
    g_variant_iter_free(uris);
    g_dbus_method_invocation_return_value(invocation, nullptr);
  }

  std::thread thread_;
  GMainLoop* loop_ = nullptr;
  std::mutex mu_;
  std::condition_variable cv_;
  bool ready_ = false;
  bool owned_ = false;
  std::vector<std::string> shown_;
};

class DesktopTest : public ::testing::Test {
 protected:
  DesktopTest() {
    std::filesystem::create_directories(runtime_);
    std::filesystem::create_directories(emptyData_);
  }
  testing::ScopedTempHome home_;
  std::filesystem::path runtime_ = home_.root() / "run";
  std::filesystem::path emptyData_ = home_.root() / "empty";
  // No handler for any folder, so the fall-back launches nothing.
  ScopedEnv dataDirs_{"XDG_DATA_DIRS", emptyData_.c_str()};
  ScopedEnv runtimeDir_{"XDG_RUNTIME_DIR", runtime_.c_str()};
  ScopedEnv busAddress_{"DBUS_SESSION_BUS_ADDRESS", nullptr};
  std::filesystem::path file_ = home_.root() / "Example.app";
};

TEST_F(DesktopTest, WithoutASessionBusTheFolderIsOpenedInstead) {
  EXPECT_FALSE(revealFileNow(file_));
}

TEST_F(DesktopTest, TheFileManagerOnTheSessionBusShowsTheItem) {
  PrivateBus bus(runtime_ / "bus", emptyData_);
  ASSERT_FALSE(bus.address().empty());
  EXPECT_FALSE(revealFileNow(file_));  // nobody owns the name yet
  FakeFileManager manager(bus.address());
  ASSERT_TRUE(manager.owned());

  // Found through XDG_RUNTIME_DIR/bus, then through the explicit address.
  EXPECT_TRUE(revealFileNow(file_));
  {
    ScopedEnv address("DBUS_SESSION_BUS_ADDRESS", bus.address().c_str());
    ScopedEnv runtime("XDG_RUNTIME_DIR", nullptr);
    EXPECT_TRUE(revealFileNow(file_));
  }
  std::string uri = "file://" + file_.string();
  EXPECT_EQ(manager.shown(), (std::vector<std::string>{uri, uri}));
}

}  // namespace
}  // namespace installer::platform
