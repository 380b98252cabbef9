#include "ui/dialog_box_view.h"

#include <filesystem>
#include <map>

#include <gtkmm/image.h>

#include "platform/bundle.h"
#include "platform/localization.h"
#include "ui/accessible_roles.h"
#include "ui/bundle_pictures.h"
#include "ui/button_styles.h"
#include "ui/picture_area.h"

namespace installer {
namespace {

void classInit(void* klass, void*) {
  gtk_widget_class_set_accessible_role(GTK_WIDGET_CLASS(klass), GTK_ACCESSIBLE_ROLE_ALERT);
}

// Texts wrap without limit in practice: the box grows downwards rather than
// cut a line. The caps only keep an absurd text from growing the box past
// the window; such a text ends in an ellipsis.
constexpr int kTitleLines = 6;
constexpr int kMessageLines = 10;

void setUpWrapping(Gtk::Label& label, int lines) {
  label.set_wrap(true);
  label.set_wrap_mode(Pango::WrapMode::WORD_CHAR);
  label.set_ellipsize(Pango::EllipsizeMode::END);
  label.set_lines(lines);
  label.set_xalign(0);
  label.set_halign(Gtk::Align::FILL);
  label.set_hexpand(true);
  // Natural width from the box, not from the text: long texts wrap inside
  // the box instead of widening it.
  label.set_max_width_chars(1);
}

}  // namespace

DialogBoxClassInit::DialogBoxClassInit() : Glib::ExtraClassInit(classInit) {}

Gtk::Widget* makeApplicationIcon() {
  const auto resources = platform::Bundle::main().resourcesPath();
  std::error_code ec;
  if (!platform::Bundle::main().path().empty() &&
      std::filesystem::is_regular_file(resources / "AppIcon.png", ec)) {
    auto* picture = Gtk::make_managed<PictureArea>(Rgba{1, 1, 1, 0}, PictureArea::Fit::contain);
    picture->setSource([resources](int scale) {
      // Main thread only, like the widget; decoded once per file.
      static std::map<std::string, Glib::RefPtr<Gdk::Texture>> icons;
      const auto file = pictureFileForScale(resources, "AppIcon", "png", scale).string();
      auto [it, inserted] = icons.try_emplace(file);
      if (inserted) {
        GError* error = nullptr;
        if (GdkTexture* texture = gdk_texture_new_from_filename(file.c_str(), &error)) {
          it->second = Glib::wrap(texture);
        }
        g_clear_error(&error);
      }
      return it->second;
    });
    return picture;
  }
  auto* image = Gtk::make_managed<Gtk::Image>();
  image->set_from_icon_name("system-software-install");
  image->set_pixel_size(60);
  return image;
}

DialogBoxView::DialogBoxView(DialogSpec dialog)
    : Glib::ObjectBase("InstallerDialogBox"),
      DialogBoxClassInit(),
      Gtk::Box(Gtk::Orientation::VERTICAL),
      dialog_(std::move(dialog)) {
  add_css_class("dialog-box");
  set_size_request(kPanelWidth, kPanelHeight);
  set_halign(Gtk::Align::CENTER);
  set_valign(Gtk::Align::CENTER);
  set_overflow(Gtk::Overflow::HIDDEN);

  top_.set_margin_top(21);
  top_.set_margin_start(20);
  top_.set_margin_end(20);
  top_.set_valign(Gtk::Align::START);
  if (dialog_.showsIcon) {
    icon_ = makeApplicationIcon();
    icon_->set_size_request(60, 70);
    icon_->set_valign(Gtk::Align::START);
    markPresentation(*icon_);
    top_.append(*icon_);
  }
  const bool showsMessage = dialog_.message != dialog_.title;
  title_.add_css_class("dialog-title");
  title_.set_text(dialog_.title);
  setUpWrapping(title_, kTitleLines);
  texts_.append(title_);
  message_.add_css_class("dialog-message");
  message_.set_text(dialog_.message);
  setUpWrapping(message_, kMessageLines);
  message_.set_visible(showsMessage);
  texts_.append(message_);
  texts_.set_valign(Gtk::Align::START);
  texts_.set_hexpand(true);
  top_.append(texts_);
  top_.set_margin_bottom(kTextToButtons);
  append(top_);

  spacer_.set_vexpand(true);
  markPresentation(spacer_);
  append(spacer_);

  buttonRow_.set_halign(Gtk::Align::END);
  buttonRow_.set_margin_start(20);
  buttonRow_.set_margin_end(20);
  buttonRow_.set_margin_bottom(16);
  for (std::size_t i = 0; i < dialog_.actions.size(); ++i) {
    const auto& action = dialog_.actions[i];
    auto* button = Gtk::make_managed<Gtk::Button>(action.title);
    button->set_size_request(-1, 24);
    const AnyButtonStyle style =
        action.role == DialogAction::Role::primary
            ? AnyButtonStyle(PillButtonStyle{palette::accentBlue, palette::white, 12, 80})
            : AnyButtonStyle(OutlineButtonStyle{80});
    style.apply(*button);
    button->signal_clicked().connect([this, i] { run(i); });
    buttonRow_.append(*button);
    buttons_.push_back(button);
  }
  append(buttonRow_);

  gtk_accessible_update_property(GTK_ACCESSIBLE(gobj()), GTK_ACCESSIBLE_PROPERTY_LABEL,
                                 dialog_.title.c_str(), GTK_ACCESSIBLE_PROPERTY_DESCRIPTION,
                                 dialog_.message.c_str(), GTK_ACCESSIBLE_PROPERTY_MODAL, TRUE, -1);
}

void DialogBoxView::run(std::size_t index) {
  // A copy: the handler may clear the view model's dialog and with it the
  // owner's interest in this view.
  const auto handler = dialog_.actions[index].handler;
  if (handler) handler();
}

std::optional<std::size_t> DialogBoxView::primaryIndex() const {
  for (std::size_t i = 0; i < dialog_.actions.size(); ++i) {
    if (dialog_.actions[i].role == DialogAction::Role::primary) return i;
  }
  return std::nullopt;
}

bool DialogBoxView::activatePrimary() {
  const auto index = primaryIndex();
  if (!index) return false;
  run(*index);
  return true;
}

bool DialogBoxView::activateCancel() {
  // The dialogs' actions that do nothing but close them.
  const std::string closing[] = {platform::localized("Close"), platform::localized("Later"),
                                 platform::localized("Continue")};
  for (std::size_t i = 0; i < dialog_.actions.size(); ++i) {
    for (const auto& title : closing) {
      if (dialog_.actions[i].title == title) {
        run(i);
        return true;
      }
    }
  }
  if (dialog_.actions.size() == 1) {
    run(0);
    return true;
  }
  return false;
}

void DialogBoxView::focusDefault() {
  if (buttons_.empty()) return;
  buttons_[primaryIndex().value_or(0)]->grab_focus();
}

}  // namespace installer
