// The window's whole content: the upper picture area (background picture,
// carousel or loading picture), the lower area (install button and
// agreement line, or the progress panel), and the dialog box over all.
//
// Ownership and threads: a GTK widget, main thread only. It holds the view
// model strongly (the view model never holds a view) and observes it; every
// change re-renders from the view model's published values. It installs
// the GTK folder chooser into the view model (the chooser outlives nothing:
// once the view is gone it runs without a parent window).
//
// Layout (640 x 440 by default): the lower area is 144 high before the
// install starts and 80 after it; the upper area takes the rest. The
// carousel is built once, the first time it is due (install started,
// carousel shown, a carousel link for the language), and kept.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <gtkmm/box.h>
#include <gtkmm/button.h>
#include <gtkmm/overlay.h>
#include <gtkmm/revealer.h>
#include <gtkmm/stack.h>

#include "platform/url.h"
#include "telemetry/reporter.h"
#include "ui/installer_view_model.h"

namespace installer {

class AgreementLabel;
class DialogBoxView;
class PictureArea;
class ProgressPanelView;

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
    // Receives `installClick`; must outlive the view. Null: Reporter::shared()
    // (give the view model's reporter).
    Reporter* reporter = nullptr;
    // Opens an agreement link. Unset: platform::openURL.
    std::function<void(const std::string& url)> openURL;
  };

  InstallerView(std::shared_ptr<InstallerViewModel> viewModel, Options options);
  ~InstallerView() override;

  // The parts, for tests and the benchmark.
  Gtk::Widget& upperArea();
  Gtk::Widget& lowerArea();
  Gtk::Button& installButton();
  AgreementLabel& agreementLabel();
  ProgressPanelView& progressPanel();
  PictureArea& pictureArea();
  // The dialog box on screen (or fading out); null when none was shown.
  DialogBoxView* dialogBox() const;
  // The carousel once built; null before.
  Gtk::Widget* carousel() const { return carousel_; }

  static constexpr unsigned kPanelFadeMilliseconds = 180;
  static constexpr unsigned kDialogFadeMilliseconds = 200;

 private:
  struct Anchor {
    InstallerView* view;
  };

  void render();
  void renderUpperArea();
  void renderLowerArea();
  void renderDialog();
  void onInstallClicked();
  void onPanelAction();
  bool onKeyPressed(guint keyval, guint keycode, Gdk::ModifierType state);
  void retireDialogBox();
  static void showPage(Gtk::Stack& stack, const Glib::ustring& name);

  std::shared_ptr<InstallerViewModel> viewModel_;
  Options options_;
  std::string languageCode_;
  std::shared_ptr<Anchor> anchor_;
  InstallerViewModel::Observation observation_;

  // Children are declared before their containers, so the containers go
  // first and each child is destroyed already detached.
  std::unique_ptr<PictureArea> picture_;
  Gtk::Widget* carousel_ = nullptr;  // managed by upper_
  Gtk::Button installButton_;
  std::unique_ptr<AgreementLabel> agreement_;
  Gtk::Box idleBackground_;
  std::unique_ptr<ProgressPanelView> panel_;
  std::unique_ptr<DialogBoxView> dialogBox_;
  // Boxes replaced while one of their own buttons was being handled; freed
  // from the main loop.
  std::vector<std::unique_ptr<DialogBoxView>> retired_;

  Gtk::Box agreementFrame_;
  Gtk::Overlay idle_;
  Gtk::Stack lower_;
  Gtk::Stack upper_;
  Gtk::Box dimming_;
  Gtk::Revealer dialogLayer_;
  Gtk::Box base_{Gtk::Orientation::VERTICAL};
  sigc::connection retiredCleanup_;
};

}  // namespace installer
