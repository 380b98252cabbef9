// The lower area once the install has started: a 1 px divider along the
// top, then either the progress column (status text, transfer detail,
// percentage, progress bar) or one action button ("Launch" / "Install").
// Changes between the two fade over 0.18 s.
//
// Main thread only. The owner pushes every change through `update`; the
// view keeps nothing else. `onAction` is called when the action button is
// pressed (it may replace or destroy nothing of this view synchronously
// other than through `update`).
#pragma once

#include <functional>
#include <optional>
#include <string>

#include <gtkmm/box.h>
#include <gtkmm/button.h>
#include <gtkmm/label.h>
#include <gtkmm/stack.h>

#include "run_status/install_types.h"
#include "ui/installer_view_model.h"
#include "ui/progress_bar.h"

namespace installer {

// "2.5 MB/s · 00:28": the speed when above 0 (and finite), truncated to
// whole bytes and written by formatByteCount with "/s"; the remaining time
// when present, finite and above 0, rounded to whole seconds (halves away
// from zero) as minutes and seconds ("62:05"; minutes are not limited).
// One alone when only one is known; "" when neither.
std::string transferDetailText(const TransferProgress& progress);

// received / expected clamped to 0…1; 0 when expected is below 1 or there
// is no progress.
double progressFraction(const std::optional<TransferProgress>& progress);

class ProgressPanelView : public Gtk::Box {
 public:
  struct Values {
    PanelMode mode = PanelMode::progress;
    std::string statusText;
    std::optional<TransferProgress> progress;
    std::string actionTitle;
  };

  ProgressPanelView(Rgba accent, std::function<void()> onAction);

  void update(const Values& values);

  // For tests and accessibility checks.
  Gtk::Label& statusLabel() { return status_; }
  Gtk::Label& detailLabel() { return detail_; }
  Gtk::Label& percentLabel() { return percent_; }
  ProgressBar& progressBar() { return bar_; }
  Gtk::Button& actionButton() { return action_; }
  Gtk::Stack& pages() { return pages_; }

  static constexpr unsigned kFadeMilliseconds = 180;

 private:
  std::function<void()> onAction_;
  Gtk::Box divider_;
  Gtk::Stack pages_;
  Gtk::Box progressPage_{Gtk::Orientation::VERTICAL};
  Gtk::Box frame_{Gtk::Orientation::VERTICAL};
  Gtk::Box column_{Gtk::Orientation::VERTICAL, 6};
  Gtk::Box row_{Gtk::Orientation::HORIZONTAL, 6};
  Gtk::Label status_;
  Gtk::Label detail_;
  Gtk::Label percent_;
  ProgressBar bar_;
  Gtk::Box actionPage_{Gtk::Orientation::VERTICAL};
  Gtk::Button action_;
};

}  // namespace installer
