// The agreement line: the view model's agreement sentence, grey, with its
// links in the link colour and underlined, on one centred line (cut with an
// ellipsis when a translation is too long). Activating a link hands its URL
// to `openURL` and counts as handled, so GTK never opens anything itself.
//
// Main thread only.
#pragma once

#include <functional>
#include <string>

#include <gtkmm/label.h>

#include "ui/installer_view_model.h"

namespace installer {

// Pango markup for `text`: plain runs escaped, link runs as <a href>.
std::string agreementMarkup(const StyledText& text);

class AgreementLabel : public Gtk::Label {
 public:
  AgreementLabel(const StyledText& text, std::function<void(const std::string& url)> openURL);

 private:
  std::function<void(const std::string&)> openURL_;
};

}  // namespace installer
