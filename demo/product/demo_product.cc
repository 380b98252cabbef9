// demo_product: the application the demo installs. It shows who started it
// (the parent process, the user) and with which arguments, and writes the
// same to a report file so that a run without a display can be checked:
// $DEMO_PRODUCT_REPORT, else ~/demo-product-launch.txt. One "key=value" per
// line; "arg=" lines in order. Ends on closing the window or SIGTERM.
#include <gtkmm.h>
#include <pwd.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace {

std::string readProc(pid_t pid, const char* what) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/" + what, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

std::string linkTarget(const std::string& path) {
  std::vector<char> buffer(4096);
  ssize_t n = readlink(path.c_str(), buffer.data(), buffer.size() - 1);
  return n > 0 ? std::string(buffer.data(), static_cast<size_t>(n)) : "?";
}

struct Launch {
  pid_t pid = getpid();
  pid_t parentPid = getppid();
  std::string parent;          // executable path
  std::string parentCommand;   // its command line, spaces between arguments
  std::string user;
  std::string executable;
  std::vector<std::string> arguments;
};

Launch describeLaunch(int argc, char** argv) {
  Launch launch;
  launch.parent = linkTarget("/proc/" + std::to_string(launch.parentPid) + "/exe");
  if (launch.parent == "?") {
    // Not readable (another user's process): its name at least.
    launch.parent = readProc(launch.parentPid, "comm");
    if (!launch.parent.empty() && launch.parent.back() == '\n') launch.parent.pop_back();
  }
  launch.parentCommand = readProc(launch.parentPid, "cmdline");
  for (char& c : launch.parentCommand) {
    if (c == '\0') c = ' ';
  }
  if (!launch.parentCommand.empty() && launch.parentCommand.back() == ' ') launch.parentCommand.pop_back();
  const passwd* entry = getpwuid(getuid());
  launch.user = entry != nullptr ? entry->pw_name : std::to_string(getuid());
  launch.executable = linkTarget("/proc/self/exe");
  for (int i = 1; i < argc; ++i) launch.arguments.emplace_back(argv[i]);
  return launch;
}

void writeReport(const Launch& launch) {
  std::string file;
  if (const char* path = std::getenv("DEMO_PRODUCT_REPORT"); path != nullptr && *path != '\0') {
    file = path;
  } else if (const char* home = std::getenv("HOME"); home != nullptr && *home != '\0') {
    file = std::string(home) + "/demo-product-launch.txt";
  } else {
    return;
  }
  std::ofstream out(file, std::ios::trunc);
  out << "pid=" << launch.pid << "\nparent_pid=" << launch.parentPid << "\nparent=" << launch.parent
      << "\nparent_command=" << launch.parentCommand << "\nuser=" << launch.user
      << "\nexecutable=" << launch.executable << "\n";
  for (const auto& argument : launch.arguments) out << "arg=" << argument << "\n";
}

class LaunchWindow : public Gtk::Window {
 public:
  explicit LaunchWindow(const Launch& launch) {
    set_title("Demo Product");
    set_default_size(480, 260);
    box_.set_margin(24);
    box_.set_spacing(12);
    add("<span size='x-large' weight='bold'>Demo Product is running</span>");
    add("<b>Started by</b>  " + escaped(launch.parent) + " (pid " + std::to_string(launch.parentPid) +
        ")\n<b>As user</b>  " + escaped(launch.user));
    std::string arguments;
    for (const auto& argument : launch.arguments) arguments += "\n  “" + escaped(argument) + "”";
    add("<b>Arguments</b>" + (arguments.empty() ? std::string("  none") : arguments));
    set_child(box_);
  }

 private:
  static std::string escaped(const std::string& text) { return Glib::Markup::escape_text(text); }
  void add(const std::string& markup) {
    auto* label = Gtk::make_managed<Gtk::Label>();
    label->set_markup(markup);
    label->set_xalign(0);
    label->set_wrap(true);
    box_.append(*label);
  }
  Gtk::Box box_{Gtk::Orientation::VERTICAL};
};

}  // namespace

int main(int argc, char** argv) {
  Launch launch = describeLaunch(argc, argv);
  writeReport(launch);
  // The arguments are the installer's, not GTK options: keep them from GTK.
  auto app = Gtk::Application::create("com.example.demoproduct", Gio::Application::Flags::NON_UNIQUE);
  return app->make_window_and_run<LaunchWindow>(0, nullptr, launch);
}
