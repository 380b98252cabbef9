// One dialog of the view model drawn as the window's centred box: 430 x 160,
// white, radius 10, soft shadow; the application icon (when the dialog
// asks for it) beside the title and message, and the buttons right-aligned
// in the dialog's order, primary ones filled, secondary ones outlined.
// Texts wrap within the box's width; when they need more lines than 160
// px hold, the box grows taller instead of cutting them, and the texts
// always keep kTextToButtons clear above the buttons.
//
// Main thread only. The view keeps its own copy of the DialogSpec, so the
// handlers it calls stay valid even when the view model replaces its
// dialog meanwhile. A handler may make the owner drop this view: the owner
// must then free it later (from the main loop), never inside the handler.
// Accessible as a modal alert named by its title and described by its
// message; the icon is decoration.
#pragma once

#include <optional>
#include <vector>

#include <glibmm/extraclassinit.h>
#include <gtkmm/box.h>
#include <gtkmm/button.h>
#include <gtkmm/label.h>

#include "run_status/install_types.h"

namespace installer {

class DialogBoxClassInit : public Glib::ExtraClassInit {
 protected:
  DialogBoxClassInit();
};

class DialogBoxView : public DialogBoxClassInit, public Gtk::Box {
 public:
  explicit DialogBoxView(DialogSpec dialog);

  static constexpr int kPanelWidth = 430;
  static constexpr int kPanelHeight = 160;
  // The least room between the texts (or icon) and the button row: the
  // same as between the buttons and the box's bottom edge.
  static constexpr int kTextToButtons = 16;

  const DialogSpec& dialog() const { return dialog_; }

  // Enter: the first primary action. False when there is none.
  bool activatePrimary();
  // Escape: the first action that only closes the dialog (localized
  // "Close", "Later" or "Continue"), or the only action of a one-button
  // notice. False when there is none (Escape never quits or installs).
  bool activateCancel();
  // Puts the keyboard focus on the primary button (else the first one).
  void focusDefault();

  Gtk::Label& titleLabel() { return title_; }
  Gtk::Label& messageLabel() { return message_; }
  // In the order of the dialog's actions.
  const std::vector<Gtk::Button*>& buttons() const { return buttons_; }
  Gtk::Widget* icon() const { return icon_; }

 private:
  void run(std::size_t index);
  std::optional<std::size_t> primaryIndex() const;

  DialogSpec dialog_;
  Gtk::Box top_{Gtk::Orientation::HORIZONTAL, 14};
  Gtk::Box texts_{Gtk::Orientation::VERTICAL, 6};
  Gtk::Label title_;
  Gtk::Label message_;
  Gtk::Box spacer_;
  Gtk::Box buttonRow_{Gtk::Orientation::HORIZONTAL, 12};
  Gtk::Widget* icon_ = nullptr;
  std::vector<Gtk::Button*> buttons_;
};

// The application's icon, a managed widget: the bundle's "AppIcon.png"
// (on a screen of scale 2, "AppIcon@2x.png" where present) with its
// proportions kept, else the theme's software-installer icon.
Gtk::Widget* makeApplicationIcon();

}  // namespace installer
