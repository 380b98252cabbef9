#include "ui/folder_chooser.h"

#include <giomm/file.h>
#include <glibmm/main.h>
#include <gtkmm/box.h>
#include <gtkmm/filechooserdialog.h>
#include <gtkmm/label.h>

#include "platform/localization.h"

namespace installer {

std::optional<std::filesystem::path> chooseFolder(
    Gtk::Window* parent, const FolderRequest& request,
    const std::function<void(Gtk::FileChooserDialog&)>& onShown) {
  Gtk::FileChooserDialog dialog(
      request.title.empty() ? platform::localized("Choose a Folder") : request.title,
      Gtk::FileChooser::Action::SELECT_FOLDER, true);
  if (parent) dialog.set_transient_for(*parent);
  dialog.set_modal(true);
  dialog.set_select_multiple(false);
  dialog.set_create_folders(true);
  dialog.add_button(platform::localized("Cancel"), Gtk::ResponseType::CANCEL);
  dialog.add_button(request.confirmTitle.empty() ? platform::localized("OK") : request.confirmTitle,
                    Gtk::ResponseType::ACCEPT);
  dialog.set_default_response(Gtk::ResponseType::ACCEPT);
  if (!request.message.empty()) {
    auto* message = Gtk::make_managed<Gtk::Label>(request.message);
    message->set_wrap(true);
    message->set_xalign(0);
    message->set_margin(12);
    dialog.get_content_area()->prepend(*message);
  }
  if (!request.initialFolder.empty()) {
    dialog.set_current_folder(Gio::File::create_for_path(request.initialFolder.string()));
  }

  std::optional<std::filesystem::path> chosen;
  bool answered = false;
  auto loop = Glib::MainLoop::create();
  dialog.signal_response().connect([&](int response) {
    if (response == Gtk::ResponseType::ACCEPT) {
      if (auto file = dialog.get_file()) {
        const std::string path = file->get_path();
        if (!path.empty()) chosen = std::filesystem::path(path);
      }
    }
    answered = true;
    loop->quit();
  });
  dialog.show();
  if (onShown) onShown(dialog);
  if (!answered) loop->run();
  dialog.hide();
  return chosen;
}

}  // namespace installer
