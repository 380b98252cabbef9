#include "ui/agreement_label.h"

#include <glibmm/markup.h>

namespace installer {

std::string agreementMarkup(const StyledText& text) {
  std::string markup;
  for (const auto& run : text.runs) {
    const std::string escaped = Glib::Markup::escape_text(run.text);
    if (run.link) {
      markup += "<a href=\"" + std::string(Glib::Markup::escape_text(*run.link)) + "\">" + escaped + "</a>";
    } else {
      markup += escaped;
    }
  }
  return markup;
}

AgreementLabel::AgreementLabel(const StyledText& text,
                               std::function<void(const std::string& url)> openURL)
    : openURL_(std::move(openURL)) {
  add_css_class("agreement");
  set_markup(agreementMarkup(text));
  set_single_line_mode(true);
  set_ellipsize(Pango::EllipsizeMode::END);
  // Width comes from the frame the owner gives, never from the text.
  set_max_width_chars(1);
  set_justify(Gtk::Justification::CENTER);
  set_xalign(0.5);
  signal_activate_link().connect(
      [this](const Glib::ustring& uri) {
        if (openURL_) openURL_(uri);
        return true;
      },
      false);
}

}  // namespace installer
