// The real installer program, started as a user starts it: a copy of the
// built bundle with the test's Info.plist (a product served by a loopback
// update service), under Xvfb, watched through the test build's standard
// output, driven by real clicks and keys (xdotool) on its window and, for
// the dialog's buttons, through its standard input (installer_under_test.cc).

#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <condition_variable>
#include <filesystem>
#include <functional>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "publish/demo_service.h"
#include "proof/integrity.h"
#include "platform/system_info.h"
#include "support/fake_log_service.h"
#include "support/package_fixtures.h"
#include "support/scoped_temp_home.h"

extern char** environ;

namespace installer {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// Identifiers of this test process only: the running-copy lookups scan the
// whole machine.
const std::string kSuffix = platform::makeUUID();
const std::string kProductID = "com.example.program." + kSuffix;
const std::string kInstallerID = "com.example.installer." + kSuffix;
constexpr auto kDeadline = 60s;
const char kQuitQuestion[] = "dialog Installation still in progress|Quit|Continue";

// A started installer: its standard input and output as pipes, its output
// collected line by line on a thread of its own. Killed and reaped on
// destruction if still running.
class InstallerProcess {
 public:
  explicit InstallerProcess(const fs::path& executable) {
    int in[2], out[2];
    EXPECT_EQ(::pipe2(in, O_CLOEXEC), 0);
    EXPECT_EQ(::pipe2(out, O_CLOEXEC), 0);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in[0], 0);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    std::string path = executable.string();
    char* argv[] = {path.data(), nullptr};
    EXPECT_EQ(::posix_spawn(&pid_, path.c_str(), &actions, nullptr, argv, environ), 0);
    posix_spawn_file_actions_destroy(&actions);
    ::close(in[0]);
    ::close(out[1]);
    input_ = in[1];
    reader_ = std::thread([this, fd = out[0]] { readLines(fd); });
  }

  ~InstallerProcess() {
    if (!status_) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
    ::close(input_);
    reader_.join();
  }

  pid_t pid() const { return pid_; }

  // Real input through the X server (xdotool), the way a user gives it:
  // a click on the window's close control, and Ctrl+Q.
  // Clicks and keys reach GTK only once its window is ready for input,
  // which can lag behind the window's mapping: each is sent again (at most
  // five times) until `answered` holds within a second.
  bool clickCloseControl(const std::function<bool()>& answered) {
    return untilAnswered("mousemove --window %s 25 22 click 1", answered);
  }
  bool pressControlQ(const std::function<bool()>& answered) {
    return untilAnswered("windowfocus --sync %s key ctrl+q", answered);
  }
  bool untilAnswered(const std::string& xdotoolArguments, const std::function<bool()>& answered) {
    std::string window = windowID();
    std::string command = "xdotool ";
    command.append(xdotoolArguments);
    command.replace(command.find("%s"), 2, window);
    for (int attempt = 0; attempt < 5 && !window.empty(); ++attempt) {
      // A window already gone took the last event: quitting can outlast
      // one wait on a busy machine.
      if (std::system(command.c_str()) != 0) return answered();
      if (answered()) return true;
    }
    return false;
  }

  void send(const std::string& command) {
    std::string line = command + "\n";
    ASSERT_EQ(::write(input_, line.data(), line.size()), static_cast<ssize_t>(line.size()));
  }

  // Waits for an output line starting with `prefix` after the first `from`
  // lines; returns its index.
  std::optional<std::size_t> waitForLine(const std::string& prefix, std::size_t from = 0,
                                         Clock::duration timeout = kDeadline) {
    std::unique_lock<std::mutex> lock(mu_);
    std::optional<std::size_t> found;
    changed_.wait_for(lock, timeout, [&] {
      for (std::size_t i = from; i < lines_.size(); ++i) {
        if (lines_[i].rfind(prefix, 0) == 0) {
          found = i;
          return true;
        }
      }
      return closed_;
    });
    return found;
  }

  std::size_t lineCount() {
    std::lock_guard<std::mutex> lock(mu_);
    return lines_.size();
  }

  std::string output() {
    std::lock_guard<std::mutex> lock(mu_);
    std::string text;
    for (const auto& line : lines_) text += line + "\n";
    return text;
  }

  // The exit status once the process has ended within `timeout`.
  std::optional<int> waitForExit(Clock::duration timeout = kDeadline) {
    if (status_) return status_;
    auto end = Clock::now() + timeout;
    while (true) {
      int status = 0;
      if (::waitpid(pid_, &status, WNOHANG) == pid_) {
        status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        return status_;
      }
      if (Clock::now() >= end) return std::nullopt;
      std::this_thread::sleep_for(10ms);
    }
  }

 private:
  void readLines(int fd) {
    std::string pending;
    char buffer[4096];
    ssize_t n;
    while ((n = ::read(fd, buffer, sizeof buffer)) > 0) {
      pending.append(buffer, static_cast<std::size_t>(n));
      std::size_t end;
      while ((end = pending.find('\n')) != std::string::npos) {
        std::lock_guard<std::mutex> lock(mu_);
        lines_.push_back(pending.substr(0, end));
        pending.erase(0, end + 1);
        changed_.notify_all();
      }
    }
    ::close(fd);
    std::lock_guard<std::mutex> lock(mu_);
    closed_ = true;
    changed_.notify_all();
  }

  // The installer's visible top-level window, waited for.
  std::string windowID() {
    std::string command = "xdotool search --sync --onlyvisible --pid " + std::to_string(pid_);
    std::string id;
    if (FILE* out = ::popen(command.c_str(), "r")) {
      char line[64];
      if (std::fgets(line, sizeof line, out)) id = line;
      ::pclose(out);
    }
    while (!id.empty() && (id.back() == '\n' || id.back() == '\r')) id.pop_back();
    return id;
  }

  pid_t pid_ = 0;
  int input_ = -1;
  std::optional<int> status_;
  std::thread reader_;
  std::mutex mu_;
  std::condition_variable changed_;
  std::vector<std::string> lines_;
  bool closed_ = false;
};

// A log service on 127.0.0.1 that never answers: its listening socket
// never accepts. `unreachable`: its backlog is also full, so the kernel
// drops every further connection attempt, as for an address no route
// reaches; otherwise connections complete and requests sit unanswered.
// All of it stays on this machine.
class SilentLogService {
 public:
  explicit SilentLogService(bool unreachable) {
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    EXPECT_EQ(::bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    EXPECT_EQ(::getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &length), 0);
    port_ = ntohs(address.sin_port);
    EXPECT_EQ(::listen(fd_, unreachable ? 0 : 64), 0);
    // Connections the kernel completes fill the queue; the first one it
    // leaves hanging shows it full.
    for (int i = 0; unreachable && i < 8; ++i) {
      int client = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
      fillers_.push_back(client);
      ::connect(client, reinterpret_cast<sockaddr*>(&address), sizeof address);
      pollfd wait{client, POLLOUT, 0};
      if (::poll(&wait, 1, 500) == 0) break;
    }
  }
  ~SilentLogService() {
    for (int client : fillers_) ::close(client);
    ::close(fd_);
  }
  std::string endpoint() const { return "localhost:" + std::to_string(port_); }

 private:
  int fd_ = -1;
  int port_ = 0;
  std::vector<int> fillers_;
};

// How long the confirmed quit took inside the program, from the "Quit"
// button to the end of the termination work: the bound the program keeps,
// without the start of a process a busy machine delays. Absent: a huge
// value, failing the comparison.
std::chrono::milliseconds quitDuration(InstallerProcess& installer) {
  const std::string prefix = "pressed Quit in ";
  auto line = installer.waitForLine(prefix);
  if (!line) return std::chrono::hours(1);
  std::string text = installer.output();
  std::size_t at = text.find(prefix);
  return std::chrono::milliseconds(std::stoll(text.substr(at + prefix.size())));
}

// How long the termination work took, as the program measured it: without
// the signal's delivery and the process's own end, which a busy machine
// (and a sanitizer's exit scan) stretches.
std::chrono::milliseconds terminationDuration(InstallerProcess& installer) {
  const std::string prefix = "terminated in ";
  if (!installer.waitForLine(prefix)) return std::chrono::hours(1);
  std::string text = installer.output();
  return std::chrono::milliseconds(std::stoll(text.substr(text.find(prefix) + prefix.size())));
}

class InstallerProgramTest : public ::testing::Test {
 protected:
  void SetUp() override {
    fs::create_directories(served());
    demo::DemoServiceOptions options;
    options.packageRoot = served();
    service_ = std::make_unique<demo::DemoService>(options);
    std::string error;
    ASSERT_TRUE(service_->start(&error)) << error;
    ::setenv("INSTALLER_TEST_CA_BUNDLE", service_->caBundlePath().c_str(), 1);
    ::setenv("INSTALLER_TEST_LOG_ENDPOINT", logService_.endpoint().c_str(), 1);
  }

  void TearDown() override {
    ::unsetenv("INSTALLER_TEST_CA_BUNDLE");
    ::unsetenv("INSTALLER_TEST_LOG_ENDPOINT");
    service_.reset();
  }

  // The events the log service accepted so far, by name.
  std::multiset<std::string> events() const {
    std::multiset<std::string> names;
    for (const auto& log : logService_.acceptedLogs()) {
      for (const auto& [key, value] : log.contents) {
        if (key == "Activity") names.insert(value);
      }
    }
    return names;
  }

  fs::path served() const { return home_.root() / "served"; }
  fs::path apps() const { return home_.root() / "Apps"; }
  fs::path launchedMarker() const { return home_.root() / "launched.txt"; }
  fs::path bundle() const { return home_.root() / "Installer.app"; }

  // Publishes the product (a script that writes its arguments to the
  // marker) as a ZIP of `padding` extra bytes.
  void publishProduct(std::size_t padding = 0) {
    fs::path source = home_.root() / "source";
    fs::remove_all(source);
    testing::AppBundleSpec layout;
    layout.identifier = kProductID;
    layout.script = "#!/bin/sh\nprintf '%s\\n' \"$@\" > '" + launchedMarker().string() + "'\n";
    fs::path app = testing::writeAppBundle(source, "Demo.app", layout);
    if (padding) testing::writeFile(app / "Contents/Resources/data.bin", testing::randomBytes(padding, 3));
    fs::path package = served() / "Demo.zip";
    testing::writeArchive(package, testing::ArchiveFormat::zip, testing::entriesFromTree(source));
    service_->setAnswer({200, R"({"status":0,"data":{"app_url":"{{base_url}}/packages/Demo.zip","md5":")" +
                                  md5Hex(package) + R"(","version":"1.0"}})"});
  }

  // The built bundle copied with the test build as its program and an
  // Info.plist naming the product.
  void makeBundle(bool startImmediately, const fs::path& at,
                  std::vector<std::pair<std::string, std::string>> extra = {}) {
    fs::remove_all(at);
    fs::create_directories(at.parent_path());
    fs::copy(INSTALLER_BUNDLE_DIR, at, fs::copy_options::recursive);
    fs::copy_file(INSTALLER_UNDER_TEST, at / "Contents/MacOS/installer",
                  fs::copy_options::overwrite_existing);
    std::vector<std::pair<std::string, std::string>> info =
                            {{"CFBundleIdentifier", kInstallerID},
                             {"CFBundleExecutable", "installer"},
                             {"CFBundleName", "Installer"},
                             {"CFBundleShortVersionString", "2.0"},
                             {"InstallApplicationID", kProductID},
                             {"InstallApplicationName", "Demo"},
                             {"InstallApplicationVersion", "1.0"},
                             {"AllowedDownloadImmediatelyWhenApplicationLaunch", startImmediately ? "1" : "0"},
                             {"StartUpArgs", "from-installer"},
                             {"InstallDirectoryOverride", apps().string()},
                             {"CheckUpdateURL", service_->checkUpdateURL()},
                             {"CheckUpdateApp", "demo"}};
    for (auto& [key, value] : extra) {  // replaces a key above or adds one
      auto same = std::find_if(info.begin(), info.end(), [&key = key](const auto& entry) { return entry.first == key; });
      if (same != info.end()) {
        same->second = value;
      } else {
        info.emplace_back(key, value);
      }
    }
    testing::writeInfoPlist(at / "Contents/Info.plist", info);
  }

  void makeBundle(bool startImmediately) { makeBundle(startImmediately, bundle()); }

  std::unique_ptr<InstallerProcess> start(const fs::path& at) {
    return std::make_unique<InstallerProcess>(at / "Contents/MacOS/installer");
  }
  std::unique_ptr<InstallerProcess> start() { return start(bundle()); }

  // The service now sends the product slowly (16 MiB at 256 KiB/s).
  void publishSlowly() {
    demo::DemoServiceOptions slow;
    slow.packageRoot = served();
    slow.throttleBytesPerSecond = 256 * 1024;
    service_ = std::make_unique<demo::DemoService>(slow);
    std::string error;
    EXPECT_TRUE(service_->start(&error)) << error;
    ::setenv("INSTALLER_TEST_CA_BUNDLE", service_->caBundlePath().c_str(), 1);
    publishProduct(/*padding=*/16 * 1024 * 1024);
  }

  // An installer that started by itself and is downloading slowly.
  std::unique_ptr<InstallerProcess> startDownloading() {
    publishSlowly();
    makeBundle(/*startImmediately=*/true);
    auto installer = start();
    EXPECT_TRUE(installer->waitForLine("stage 2")) << installer->output();  // downloading
    return installer;
  }

  testing::ScopedTempHome home_;
  std::unique_ptr<demo::DemoService> service_;
  installer_test::FakeLogService logService_{"test-key-id", "test-key-secret"};
};

TEST_F(InstallerProgramTest, AutomaticStartInstallsLaunchesTheProductAndExits) {
  publishProduct();
  makeBundle(/*startImmediately=*/true);
  auto installer = start();
  EXPECT_EQ(installer->waitForExit(), std::optional<int>(0)) << installer->output();
  EXPECT_TRUE(fs::exists(apps() / "Demo.app/Contents/MacOS/demo"));
  auto deadline = Clock::now() + kDeadline;
  while (!fs::exists(launchedMarker()) && Clock::now() < deadline) std::this_thread::sleep_for(20ms);
  EXPECT_EQ(testing::readFile(launchedMarker()), "--StartUpArgs\nfrom-installer\n");
  // The tracker's shutdown at quit flushed everything before the exit.
  auto names = events();
  EXPECT_EQ(names.count("DownloaderStart"), 1u);
  EXPECT_EQ(names.count("InstallSuccessInfo"), 1u);
  EXPECT_EQ(names.count("downloaderExitInfo"), 0u);
}

TEST_F(InstallerProgramTest, TwoInstallersWithCarouselsStartedTogetherBothInstall) {
  // Two products' installers at the same moment, each with its web
  // carousel (a page the engine refuses: the test's CA is not its own).
  publishProduct();
  std::vector<std::unique_ptr<InstallerProcess>> installers;
  for (const std::string name : {"first", "second"}) {
    makeBundle(/*startImmediately=*/true, home_.root() / name / "Installer.app",
               {{"CFBundleIdentifier", kInstallerID + "." + name},
                {"InstallDirectoryOverride", (apps() / name).string()},
                {"CarouselEnabled", "1"},
                {"CarouselURL", service_->url("/carousel")}});
  }
  for (const std::string name : {"first", "second"}) installers.push_back(start(home_.root() / name / "Installer.app"));
  for (auto& installer : installers) EXPECT_EQ(installer->waitForExit(), std::optional<int>(0)) << installer->output();
  for (const std::string name : {"first", "second"}) EXPECT_TRUE(fs::exists(apps() / name / "Demo.app/Contents/MacOS/demo"));
}

TEST_F(InstallerProgramTest, SecondCopyShowsTheNoticeAndBringsTheFirstForward) {
  // The second copy (same identifier, another place) starts installing by
  // itself; its "OK" still ends it, without the quit question.
  publishSlowly();
  makeBundle(/*startImmediately=*/false);
  fs::path elsewhere = home_.root() / "elsewhere/Installer.app";
  makeBundle(/*startImmediately=*/true, elsewhere);
  auto first = start();
  ASSERT_TRUE(first->waitForLine("launched")) << first->output();
  auto second = start(elsewhere);
  ASSERT_TRUE(second->waitForLine(
      "dialog Your installer is running now. Please click to start it.|OK"))
      << second->output();
  ASSERT_TRUE(second->waitForLine("stage 2")) << second->output();
  second->send("press OK");
  EXPECT_EQ(second->waitForExit(), std::optional<int>(0)) << second->output();
  EXPECT_TRUE(first->waitForLine("front-request")) << first->output();
  EXPECT_FALSE(first->waitForExit(0s));

  // Idle: no question.
  ASSERT_TRUE(first->pressControlQ([&] { return first->waitForExit(5s).has_value(); }));
  EXPECT_EQ(first->waitForExit(), std::optional<int>(0)) << first->output();
}

TEST_F(InstallerProgramTest, ClosingDuringADownloadAsksContinueKeepsRunningQuitEnds) {
  auto installer = startDownloading();
  std::size_t seen = installer->lineCount();
  ASSERT_TRUE(installer->clickCloseControl([&] { return installer->waitForLine(kQuitQuestion, seen, 1s).has_value(); }))
      << installer->output();
  seen = installer->lineCount();
  installer->send("press Continue");
  ASSERT_TRUE(installer->waitForLine("dialog none", seen)) << installer->output();
  EXPECT_FALSE(installer->waitForExit(200ms));

  seen = installer->lineCount();
  ASSERT_TRUE(installer->pressControlQ([&] { return installer->waitForLine(kQuitQuestion, seen, 1s).has_value(); }))
      << installer->output();
  installer->send("press Quit");
  EXPECT_EQ(installer->waitForExit(), std::optional<int>(0)) << installer->output();
  EXPECT_LT(quitDuration(*installer), 3s) << installer->output();
  EXPECT_FALSE(fs::exists(launchedMarker()));
  auto names = events();
  EXPECT_EQ(names.count("Quit_Continue"), 1u);
  EXPECT_EQ(names.count("Quit_Quit"), 1u);
  EXPECT_EQ(names.count("downloaderExitInfo"), 1u);
}

TEST_F(InstallerProgramTest, QuitStaysWithinThreeSecondsWhateverTheLogService) {
  struct Case {
    const char* name;
    std::function<std::string()> endpoint;
  };
  std::unique_ptr<SilentLogService> silent;
  const Case cases[] = {
      {"refused", [] { return "localhost:" + std::to_string(installer_test::unusedLoopbackPort()); }},
      {"accepts and never answers",
       [&] {
         silent = std::make_unique<SilentLogService>(/*unreachable=*/false);
         return silent->endpoint();
       }},
      {"unreachable",
       [&] {
         silent = std::make_unique<SilentLogService>(/*unreachable=*/true);
         return silent->endpoint();
       }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ::setenv("INSTALLER_TEST_LOG_ENDPOINT", c.endpoint().c_str(), 1);
    auto installer = startDownloading();
    ASSERT_TRUE(installer->pressControlQ([&] { return installer->waitForLine(kQuitQuestion, 0, 1s).has_value(); }))
        << installer->output();
    installer->send("press Quit");
    EXPECT_EQ(installer->waitForExit(), std::optional<int>(0)) << installer->output();
    EXPECT_LT(quitDuration(*installer), 3s) << installer->output();
  }
}

// The coordinator's working directories ("qx-installer-<UUID>") in the
// program's temporary directory.
std::size_t workingDirectories(const fs::path& tmp) {
  std::size_t count = 0;
  for (const auto& entry : fs::directory_iterator(tmp)) {
    if (entry.path().filename().string().rfind("qx-installer-", 0) == 0) ++count;
  }
  return count;
}

TEST_F(InstallerProgramTest, SignalsEndTheProgramAsQuitDoes) {
  struct Case {
    int signal;
    bool downloading;
  };
  // While downloading: no question, the run is cancelled and its working
  // directory left, as at a confirmed quit. Idle: it goes.
  for (Case c : {Case{SIGTERM, true}, Case{SIGHUP, false}, Case{SIGINT, false}}) {
    SCOPED_TRACE(c.signal);
    fs::remove_all(home_.tmp());
    fs::create_directories(home_.tmp());
    std::size_t exitEvents = events().count("downloaderExitInfo");
    std::unique_ptr<InstallerProcess> installer;
    if (c.downloading) {
      installer = startDownloading();
    } else {
      publishProduct();
      makeBundle(/*startImmediately=*/false);
      installer = start();
      ASSERT_TRUE(installer->waitForLine("launched")) << installer->output();
    }
    ASSERT_EQ(::kill(installer->pid(), c.signal), 0);
    EXPECT_EQ(installer->waitForExit(), std::optional<int>(0)) << installer->output();
    EXPECT_LT(terminationDuration(*installer), 3s) << installer->output();
    EXPECT_EQ(events().count("downloaderExitInfo"), exitEvents + 1) << "flushed before the end";
    EXPECT_EQ(workingDirectories(home_.tmp()), c.downloading ? 1u : 0u);
  }
  EXPECT_FALSE(fs::exists(launchedMarker()));
}

TEST_F(InstallerProgramTest, AQuitMidDownloadKeepsWhatTheNextRunResumesFrom) {
  ::unsetenv("INSTALLER_TEST_LOG_ENDPOINT");  // telemetry off: nothing else holds the quit up
  auto installer = startDownloading();
  ASSERT_TRUE(installer->pressControlQ([&] { return installer->waitForLine(kQuitQuestion, 0, 1s).has_value(); }))
      << installer->output();
  installer->send("press Quit");
  ASSERT_EQ(installer->waitForExit(), std::optional<int>(0)) << installer->output();
  const std::size_t before = service_->packageRequests().size();

  auto again = start();
  ASSERT_TRUE(again->waitForLine("stage 2")) << again->output();
  auto deadline = Clock::now() + kDeadline;
  while (service_->packageRequests().size() == before && Clock::now() < deadline) {
    std::this_thread::sleep_for(20ms);
  }
  auto requests = service_->packageRequests();
  ASSERT_GT(requests.size(), before);
  EXPECT_EQ(requests[before].header("Range").rfind("bytes=", 0), 0u) << "the relaunch starts over";
}

TEST_F(InstallerProgramTest, AnAutomaticInstallOpensTheSuccessPageInTheDefaultBrowser) {
  // The default https handler of this test's own desktop: a script that
  // writes the link it is given.
  const fs::path opened = home_.root() / "opened.txt";
  const fs::path browser = home_.root() / "record-url";
  testing::writeFile(browser, "#!/bin/sh\nprintf '%s\\n' \"$1\" > '" + opened.string() + "'\n", 0755);
  testing::writeFile(home_.dataHome() / "applications/recording-browser.desktop",
                     "[Desktop Entry]\nType=Application\nName=Recording Browser\nExec=" + browser.string() +
                         " %u\nMimeType=x-scheme-handler/https;\nNoDisplay=true\n");
  const fs::path config = home_.root() / "config";
  testing::writeFile(config / "mimeapps.list",
                     "[Default Applications]\nx-scheme-handler/https=recording-browser.desktop\n");
  std::optional<std::string> savedConfig;
  if (const char* old = std::getenv("XDG_CONFIG_HOME")) savedConfig = old;
  ::setenv("XDG_CONFIG_HOME", config.c_str(), 1);

  publishProduct();
  makeBundle(/*startImmediately=*/true, bundle(), {{"InstallSuccessURL", "https://example.com/thanks"}});
  auto installer = start();
  EXPECT_EQ(installer->waitForExit(), std::optional<int>(0)) << installer->output();
  savedConfig ? ::setenv("XDG_CONFIG_HOME", savedConfig->c_str(), 1) : ::unsetenv("XDG_CONFIG_HOME");
  auto deadline = Clock::now() + kDeadline;
  while (!fs::exists(opened) && Clock::now() < deadline) std::this_thread::sleep_for(20ms);
  EXPECT_EQ(testing::readFile(opened), "https://example.com/thanks\n");
}

TEST_F(InstallerProgramTest, AnExceptionNothingHandledIsReportedAndEndsTheProgram) {
  // No core file for the aborts below.
  rlimit noCore{0, 0};
  ::setrlimit(RLIMIT_CORE, &noCore);
  for (const std::string where : {"button handler", "queue task"}) {
    SCOPED_TRACE(where);
    std::size_t reported = events().count("InstallFailedInfo");
    publishProduct();
    makeBundle(/*startImmediately=*/false);
    auto installer = start();
    ASSERT_TRUE(installer->waitForLine("launched")) << installer->output();
    installer->send("throw in " + where);
    EXPECT_EQ(installer->waitForExit(), std::optional<int>(128 + SIGABRT)) << installer->output();
    ASSERT_EQ(events().count("InstallFailedInfo"), reported + 1);
    std::string attributes;
    for (const auto& log : logService_.acceptedLogs()) {
      if (log.contents.size() == 5 && log.contents[1].second == "InstallFailedInfo") attributes = log.contents[0].second;
    }
    EXPECT_EQ(attributes, R"({"msg":{"error":"std::runtime_error: thrown by a )" + where + R"(","path":")" +
                              apps().string() + R"("}})");
  }
}

}  // namespace
}  // namespace installer
