// Helpers for the window tests: GTK start-up, pumping the main loop until
// a condition holds, widget rectangles from real allocations, pixels of a
// PNG rendered in-process, and a view model whose coordinator runs the fake
// steps with nothing configured (a started run ends on its own; its
// callbacks wait in a hand-pumped executor that the tests never pump, and
// the tests call the coordinator's callbacks themselves instead).
#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <gtk/gtk.h>
#include <gtkmm/widget.h>

#include "support/package_fixtures.h"
#include "telemetry/reporter.h"
#include "ui/installer_view_model.h"

namespace installer::testing {

// gtk_init once per process, gtkmm wrappers, animations off (tests that
// need them turn them on).
void initGtk();
void setAnimations(bool enabled);

// Iterates the default main context until `done()` or the timeout.
bool pumpUntil(const std::function<bool()>& done,
               std::chrono::milliseconds timeout = std::chrono::seconds(5));
// Iterates until nothing is pending.
void settle();
// Settles, then draws one more frame of `widget`'s window (layout
// included) and waits for it.
void settleFrame(Gtk::Widget& widget);

struct Rect {
  double x = 0, y = 0, width = 0, height = 0;
  double centerX() const { return x + width / 2; }
  double centerY() const { return y + height / 2; }
};
// `widget`'s allocation in `relativeTo`'s coordinates.
Rect boundsIn(Gtk::Widget& widget, Gtk::Widget& relativeTo);

struct Pixel {
  int red = 0, green = 0, blue = 0, alpha = 0;
};
// `widget` drawn by its window's renderer, saved as a PNG in `directory`
// and read back; at `scale` device pixels per point (the PNG is `scale`
// times the widget's size).
class RenderedImage {
 public:
  RenderedImage(Gtk::Widget& widget, const std::filesystem::path& directory, int scale = 1);
  Pixel at(int x, int y) const;
  int width() const { return width_; }
  int height() const { return height_; }

 private:
  int width_ = 0, height_ = 0;
  std::vector<std::uint8_t> rgba_;
};
// True when each channel is within `tolerance` of the colour's 0…255 value.
bool near(const Pixel& pixel, const Rgba& colour, int tolerance = 2);

// Events the reporter received, by name, with their JSON attributes.
struct ReportLog {
  std::vector<std::pair<std::string, std::string>> events;
  Reporter reporter{[this](const std::string& name, const std::string& attributes) {
    events.emplace_back(name, attributes);
  }};
};

struct ViewModelFixture {
  explicit ViewModelFixture(AppConfig config = defaultConfig());
  ~ViewModelFixture();
  static AppConfig defaultConfig();

  TempDir temp{"uitest"};
  platform::ManualMainExecutor executor;
  ReportLog reports;
  std::vector<std::string> openedURLs;
  // What the view model finds running as the target (none: nothing runs).
  std::optional<RunningApplication> runningTarget;
  std::shared_ptr<InstallerViewModel> viewModel;
};

}  // namespace installer::testing
