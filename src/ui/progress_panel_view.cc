#include "ui/progress_panel_view.h"

#include <cmath>
#include <cstdio>
#include <limits>

#include "ui/accessible_roles.h"
#include "ui/button_styles.h"

namespace installer {

std::string transferDetailText(const TransferProgress& progress) {
  std::string speed, time;
  const double bps = progress.bytesPerSecond;
  // Beyond int64 the count cannot be written; such a speed is as unknown as NaN.
  if (std::isfinite(bps) && bps > 0 && bps < 9.0e18) {
    speed = formatByteCount(static_cast<std::int64_t>(std::trunc(bps))) + "/s";
  }
  if (progress.remaining && std::isfinite(*progress.remaining) && *progress.remaining > 0 &&
      *progress.remaining < 1.0e15) {
    const long long seconds = std::llround(*progress.remaining);
    char text[48];
    std::snprintf(text, sizeof text, "%02lld:%02lld", seconds / 60, seconds % 60);
    time = text;
  }
  if (!speed.empty() && !time.empty()) return speed + " \u00B7 " + time;
  return speed.empty() ? time : speed;
}

double progressFraction(const std::optional<TransferProgress>& progress) {
  if (!progress || progress->expected < 1) return 0;
  if (progress->received <= 0) return 0;
  if (progress->received >= progress->expected) return 1;
  return static_cast<double>(progress->received) / static_cast<double>(progress->expected);
}

ProgressPanelView::ProgressPanelView(Rgba accent, std::function<void()> onAction)
    : Gtk::Box(Gtk::Orientation::VERTICAL), onAction_(std::move(onAction)), bar_(accent) {
  add_css_class("progress-panel");
  divider_.add_css_class("divider");
  divider_.set_size_request(-1, 1);
  markPresentation(divider_);
  append(divider_);

  pages_.set_transition_type(Gtk::StackTransitionType::CROSSFADE);
  pages_.set_transition_duration(kFadeMilliseconds);
  pages_.set_vexpand(true);
  append(pages_);

  for (auto* label : {&status_, &detail_, &percent_}) {
    label->set_valign(Gtk::Align::BASELINE);
    label->set_single_line_mode(true);
  }
  status_.add_css_class("status");
  status_.set_hexpand(true);
  status_.set_xalign(0);
  status_.set_ellipsize(Pango::EllipsizeMode::END);
  detail_.add_css_class("detail");
  detail_.set_visible(false);
  percent_.add_css_class("percent");
  percent_.set_visible(false);
  row_.append(status_);
  row_.append(detail_);
  row_.append(percent_);
  column_.append(row_);
  bar_.set_size_request(-1, 8);
  column_.append(bar_);
  column_.set_valign(Gtk::Align::CENTER);
  column_.set_vexpand(true);
  frame_.append(column_);
  frame_.set_size_request(592, 40);
  frame_.set_halign(Gtk::Align::CENTER);
  frame_.set_valign(Gtk::Align::END);
  frame_.set_margin_start(4);
  frame_.set_margin_end(4);
  frame_.set_margin_bottom(16);
  frame_.set_vexpand(true);
  progressPage_.append(frame_);
  pages_.add(progressPage_, "progress");

  applyButtonStyle(action_, PillButtonStyle{accent, palette::white, 16, 0});
  action_.set_size_request(120, 40);
  action_.set_halign(Gtk::Align::END);
  action_.set_valign(Gtk::Align::END);
  action_.set_margin_end(24);
  action_.set_margin_bottom(20);
  action_.set_vexpand(true);
  action_.signal_clicked().connect([this] {
    if (onAction_) onAction_();
  });
  actionPage_.append(action_);
  pages_.add(actionPage_, "action");
  markPagesAsGroups(pages_);
  hideInactivePages(pages_);
}

void ProgressPanelView::update(const Values& values) {
  status_.set_text(values.statusText);
  const std::string detail = values.progress ? transferDetailText(*values.progress) : "";
  detail_.set_text(detail);
  detail_.set_visible(!detail.empty());
  percent_.set_text(values.progress ? percentText(*values.progress) : "");
  percent_.set_visible(values.progress.has_value());
  bar_.setFraction(progressFraction(values.progress));
  gtk_accessible_update_property(GTK_ACCESSIBLE(bar_.gobj()), GTK_ACCESSIBLE_PROPERTY_LABEL,
                                 values.statusText.c_str(), GTK_ACCESSIBLE_PROPERTY_VALUE_TEXT,
                                 percent_.get_text().c_str(), -1);
  action_.set_label(values.actionTitle);
  setAccessibleLabel(action_, values.actionTitle);
  pages_.set_visible_child(values.mode == PanelMode::action ? "action" : "progress");
  hideInactivePages(pages_);
}

}  // namespace installer
