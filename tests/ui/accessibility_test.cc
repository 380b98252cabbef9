// The window as a screen reader meets it: a real AT-SPI client reads the
// installer window of another process over a private accessibility bus
// (its own dbus-daemon and registry), idle, downloading and with a dialog.
//
// The same program serves the window: run with "--serve-window STATE" it
// shows the main window in that state, writes "ready" to standard output
// and stays until standard input closes.
#include <atspi/atspi.h>

#include <gtest/gtest.h>
#include <gtkmm.h>
#include <gtkmm/init.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstdio>
#include <fstream>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "app/main_window.h"
#include "install/install_coordinator.h"
#include "support/package_fixtures.h"
#include "ui/window_harness.h"

namespace installer {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// ---- the window's side ----------------------------------------------------

int serveWindow(const std::string& state) {
  gtk_init();
  Gtk::init_gtkmm_internals();
  testing::setAnimations(false);
  testing::ViewModelFixture fixture;
  auto menu = Gio::Menu::create();
  menu->append("Quit", "app.quit");
  auto* window = new MainWindow(fixture.viewModel, {}, menu, [] { return true; });
  window->present();
  testing::pumpUntil([&] { return window->get_mapped(); });
  auto& coordinator = *fixture.viewModel->coordinator();
  if (state != "idle") {
    fixture.viewModel->startInstall(false);
    coordinator.onStage(InstallStage::downloading);
    coordinator.onProgress(TransferProgress{250, 1000, 0, std::nullopt});
  }
  if (state == "dialog") coordinator.onFailure(failure::installFailed{"disk full"});
  testing::settleFrame(*window);
  std::printf("ready\n");
  std::fflush(stdout);

  bool closed = false;
  auto channel = Glib::IOChannel::create_from_fd(STDIN_FILENO);
  Glib::signal_io().connect(
      [&](Glib::IOCondition) {
        closed = true;
        return false;
      },
      STDIN_FILENO, Glib::IOCondition::IO_IN | Glib::IOCondition::IO_HUP);
  while (!closed) g_main_context_iteration(nullptr, TRUE);
  delete window;
  return 0;
}


// ---- the client's side ----------------------------------------------------

// A child process; killed and reaped when dropped.
class Child {
 public:
  Child(const std::vector<std::string>& argv, bool pipes) {
    int out[2] = {-1, -1}, in[2] = {-1, -1};
    if (pipes && (pipe(out) != 0 || pipe(in) != 0)) return;
    pid_ = fork();
    if (pid_ == 0) {
      if (pipes) {
        dup2(in[0], STDIN_FILENO);
        dup2(out[1], STDOUT_FILENO);
      }
      std::vector<char*> args;
      for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
      args.push_back(nullptr);
      execv(args[0], args.data());
      _exit(127);
    }
    if (pipes) {
      ::close(in[0]);
      ::close(out[1]);
      stdin_ = in[1];
      stdout_ = out[0];
    }
  }
  ~Child() {
    if (stdin_ >= 0) ::close(stdin_);
    if (stdout_ >= 0) ::close(stdout_);
    if (pid_ > 0) {
      kill(pid_, SIGTERM);
      waitpid(pid_, nullptr, 0);
    }
  }
  pid_t pid() const { return pid_; }
  // The first line written to standard output, or "" at its end.
  std::string readLine() {
    std::string line;
    char c;
    while (stdout_ >= 0 && read(stdout_, &c, 1) == 1 && c != '\n') line += c;
    return line;
  }

 private:
  pid_t pid_ = -1;
  int stdin_ = -1, stdout_ = -1;
};

// One accessible object on screen, as a reader sees it.
struct Node {
  std::string role, name, description;
  double value = -1, minimum = -1, maximum = -1;
};

std::string take(gchar* text) {
  std::string out = text ? text : "";
  g_free(text);
  return out;
}

// The objects a reader can reach below `accessible` (GTK leaves out what
// is hidden or decoration).
void collect(AtspiAccessible* accessible, std::vector<Node>& out) {
  Node node{take(atspi_accessible_get_role_name(accessible, nullptr)),
            take(atspi_accessible_get_name(accessible, nullptr)),
            take(atspi_accessible_get_description(accessible, nullptr))};
  if (AtspiValue* value = atspi_accessible_get_value_iface(accessible)) {
    node.value = atspi_value_get_current_value(value, nullptr);
    node.minimum = atspi_value_get_minimum_value(value, nullptr);
    node.maximum = atspi_value_get_maximum_value(value, nullptr);
    g_object_unref(value);
  }
  out.push_back(node);
  const int count = atspi_accessible_get_child_count(accessible, nullptr);
  for (int i = 0; i < count; ++i) {
    if (AtspiAccessible* child = atspi_accessible_get_child_at_index(accessible, i, nullptr)) {
      collect(child, out);
      g_object_unref(child);
    }
  }
}

std::string selfPath() {
  char path[4096];
  const ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
  return n > 0 ? std::string(path, static_cast<std::size_t>(n)) : std::string();
}

// A private accessibility bus with its registry, for the whole program;
// the reason when there is none.
class AccessibilityBus {
 public:
  static AccessibilityBus& get() {
    static AccessibilityBus bus;  // its daemons end with the program
    return bus;
  }
  const std::string& unavailable() const { return unavailable_; }

 private:
  AccessibilityBus() {
    for (const char* tool : {"/usr/bin/dbus-daemon", "/usr/libexec/at-spi2-registryd"}) {
      if (access(tool, X_OK) != 0) {
        unavailable_ = std::string(tool) + " is missing (packages dbus-daemon, at-spi2-core)";
        return;
      }
    }
    const std::string config = dir_.path() / "bus.conf";
    std::ofstream(config) << "<busconfig><type>accessibility</type><listen>unix:dir="
                          << dir_.path().string()
                          << "</listen><auth>EXTERNAL</auth><policy context=\"default\">"
                             "<allow user=\"*\"/><allow send_destination=\"*\" eavesdrop=\"true\"/>"
                             "<allow eavesdrop=\"true\"/><allow own=\"*\"/></policy></busconfig>";
    daemon_ = std::make_unique<Child>(
        std::vector<std::string>{"/usr/bin/dbus-daemon", "--nofork", "--config-file=" + config,
                                 "--print-address=1"},
        true);
    const std::string address = daemon_->readLine();
    if (address.empty()) {
      unavailable_ = "the accessibility bus did not start";
      return;
    }
    // For this client, the registry and the window processes.
    g_setenv("AT_SPI_BUS_ADDRESS", address.c_str(), TRUE);
    g_unsetenv("NO_AT_BRIDGE");
    g_unsetenv("GTK_A11Y");
    registry_ = std::make_unique<Child>(std::vector<std::string>{"/usr/libexec/at-spi2-registryd"}, false);
    if (atspi_init() > 1) {
      unavailable_ = "the AT-SPI client cannot reach the bus";
      return;
    }
    atspi_set_timeout(10000, 30000);
  }

  testing::TempDir dir_{"a11y-bus"};
  std::unique_ptr<Child> daemon_, registry_;
  std::string unavailable_;
};

// The installer window in another process, read through the bus.
class ServedWindow {
 public:
  explicit ServedWindow(const std::string& state) : process_({selfPath(), "--serve-window", state}, true) {
    ready_ = process_.readLine() == "ready";
    const auto deadline = Clock::now() + 30s;
    while (ready_ && !app_ && Clock::now() < deadline) {
      AtspiAccessible* desktop = atspi_get_desktop(0);
      const int count = atspi_accessible_get_child_count(desktop, nullptr);
      for (int i = 0; i < count && !app_; ++i) {
        AtspiAccessible* app = atspi_accessible_get_child_at_index(desktop, i, nullptr);
        if (app && static_cast<pid_t>(atspi_accessible_get_process_id(app, nullptr)) == process_.pid()) {
          app_ = app;
        } else if (app) {
          g_object_unref(app);
        }
      }
      g_object_unref(desktop);
      if (!app_) std::this_thread::sleep_for(20ms);  // the registration is not announced to us
    }
  }
  ~ServedWindow() {
    if (app_) g_object_unref(app_);
  }
  bool found() const { return app_ != nullptr; }

  std::vector<Node> nodes() const {
    std::vector<Node> out;
    if (app_) collect(app_, out);
    return out;
  }
  std::vector<Node> withRole(const std::string& role) const {
    std::vector<Node> out;
    for (const auto& n : nodes())
      if (n.role == role) out.push_back(n);
    return out;
  }

  // A key pressed on the window through the X server, sent again until
  // `answered` holds (the window takes input a moment after it maps).
  bool pressKey(const std::string& key, const std::function<bool()>& answered) const {
    std::string id;
    const std::string search = "xdotool search --sync --onlyvisible --pid " + std::to_string(process_.pid());
    if (FILE* out = ::popen(search.c_str(), "r")) {
      char line[64];
      if (std::fgets(line, sizeof line, out)) id = line;
      ::pclose(out);
    }
    while (!id.empty() && (id.back() == '\n' || id.back() == '\r')) id.pop_back();
    if (id.empty()) return false;
    const std::string press = "xdotool windowfocus --sync " + id + " key " + key;
    for (int attempt = 0; attempt < 10; ++attempt) {
      if (std::system(press.c_str()) != 0) return false;
      const auto deadline = Clock::now() + 1s;
      while (Clock::now() < deadline) {
        if (answered()) return true;
        std::this_thread::sleep_for(20ms);
      }
    }
    return false;
  }

 private:
  Child process_;
  bool ready_ = false;
  AtspiAccessible* app_ = nullptr;
};

// Every object a reader reaches is either named by us or silent: no type
// names, and no control without a name.
void expectEverythingReadable(const std::vector<Node>& nodes) {
  for (const auto& n : nodes) {
    SCOPED_TRACE(n.role + " '" + n.name + "'");
    EXPECT_EQ(n.name.find("Gtk"), std::string::npos);
    EXPECT_EQ(n.name.find("gtkmm"), std::string::npos);
    EXPECT_EQ(n.name.find("CustomObject"), std::string::npos);
    if (n.role == "push button" || n.role == "toggle button" || n.role == "progress bar") {
      EXPECT_FALSE(n.name.empty());
    }
    EXPECT_NE(n.role, "image");  // pictures are decoration
  }
}

std::vector<std::string> names(const std::vector<Node>& nodes) {
  std::vector<std::string> out;
  for (const auto& n : nodes) out.push_back(n.name);
  return out;
}

class AccessibilityTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!AccessibilityBus::get().unavailable().empty()) GTEST_SKIP() << AccessibilityBus::get().unavailable();
  }
};

TEST_F(AccessibilityTest, IdleWindowNamesEveryControlAndF10OpensTheMenu) {
  ServedWindow window("idle");
  ASSERT_TRUE(window.found());
  const auto nodes = window.nodes();
  expectEverythingReadable(nodes);
  EXPECT_EQ(names(window.withRole("push button")),
            (std::vector<std::string>{"Install", "Close", "Minimize", "Main Menu", "Main Menu"}));
  EXPECT_TRUE(window.withRole("progress bar").empty());

  if (system("command -v xdotool >/dev/null") != 0) GTEST_SKIP() << "xdotool is missing: F10 not tried";
  EXPECT_TRUE(window.pressKey("F10", [&] {
    const auto items = names(window.withRole("menu item"));
    return std::find(items.begin(), items.end(), "Quit") != items.end();
  }));
}

TEST_F(AccessibilityTest, DownloadingWindowReadsTheProgressBarWithItsValue) {
  ServedWindow window("downloading");
  ASSERT_TRUE(window.found());
  expectEverythingReadable(window.nodes());
  const auto bars = window.withRole("progress bar");
  ASSERT_EQ(bars.size(), 1u);
  EXPECT_EQ(bars[0].name, "Downloading");
  EXPECT_DOUBLE_EQ(bars[0].value, 0.25);
  EXPECT_DOUBLE_EQ(bars[0].minimum, 0);
  EXPECT_DOUBLE_EQ(bars[0].maximum, 1);
  // The action button waits on a hidden page and is not read.
  EXPECT_EQ(names(window.withRole("push button")),
            (std::vector<std::string>{"Close", "Minimize", "Main Menu", "Main Menu"}));
}

TEST_F(AccessibilityTest, DialogIsAnnouncedAsAnAlertWithItsTitleAndMessage) {
  ServedWindow window("dialog");
  ASSERT_TRUE(window.found());
  expectEverythingReadable(window.nodes());
  const auto alerts = window.withRole("alert");
  ASSERT_EQ(alerts.size(), 1u);
  EXPECT_EQ(alerts[0].name, "An error occurred during installation.");
  EXPECT_NE(alerts[0].description.find("disk full"), std::string::npos);
  const auto buttons = names(window.withRole("push button"));
  for (const char* title : {"Close", "Direct Download", "Try Again", "Install"}) {
    EXPECT_NE(std::find(buttons.begin(), buttons.end(), title), buttons.end()) << title;
  }
}

}  // namespace
}  // namespace installer

int main(int argc, char** argv) {
  if (argc == 3 && std::string(argv[1]) == "--serve-window") return installer::serveWindow(argv[2]);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
