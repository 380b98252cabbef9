// The window's whole content: the upper picture area (background picture,
// carousel or loading picture), the lower area (install button and
// agreement line, or the progress panel), and the dialog box over all.
//
// Ownership and threads: a GTK widget, main thread only. It holds the view
// model strongly (the view model never holds a view) and observes it; every
// change re-renders the parts that depend on the changed field.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include <gtkmm.h>

#include "platform/url.h"
#include "ui/installer_view_model.h"

namespace installer {

class InstallerView : public Gtk::Overlay {
 public:
  struct Metrics {
    int windowWidth = 640;
    int windowHeight = 440;
    int idleBottomHeight = 144;
    int panelHeight = 80;
  };
  struct Options {
    Metrics metrics;
    // Builds the carousel for a page (a managed widget). Unset: the upper
    // area shows the "Loading" picture once the install has started.
    std::function<Gtk::Widget*(const platform::URL&)> makeCarousel;
    // The language code used for the carousel link and the install click's
    // language name. Empty: currentLanguageCode().
    std::string languageCode;
  };

  InstallerView(std::shared_ptr<InstallerViewModel> viewModel, Options options);
  ~InstallerView() override;
};

}  // namespace installer
