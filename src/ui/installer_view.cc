#include "ui/installer_view.h"

#include <gdk/gdkkeysyms.h>
#include <glibmm/main.h>
#include <gtkmm/eventcontrollerkey.h>
#include <gtkmm/window.h>

#include "config/app_config.h"
#include "platform/desktop.h"
#include "platform/localization.h"
#include "telemetry/report_event.h"
#include "ui/accessible_roles.h"
#include "ui/agreement_label.h"
#include "ui/bundle_pictures.h"
#include "ui/button_styles.h"
#include "ui/dialog_box_view.h"
#include "ui/folder_chooser.h"
#include "ui/installer_palette.h"
#include "ui/picture_area.h"
#include "ui/progress_panel_view.h"

namespace installer {

InstallerView::InstallerView(std::shared_ptr<InstallerViewModel> viewModel, Options options)
    : viewModel_(std::move(viewModel)),
      options_(std::move(options)),
      languageCode_(options_.languageCode.empty() ? currentLanguageCode() : options_.languageCode),
      anchor_(std::make_shared<Anchor>(Anchor{this})) {
  palette::installStyleSheet(get_display());
  const auto& m = options_.metrics;
  add_css_class("installer-view");
  set_size_request(m.windowWidth, m.windowHeight);

  picture_ = std::make_unique<PictureArea>(palette::pictureFallback);
  upper_.add(*picture_, "picture");
  upper_.set_vexpand(true);
  upper_.set_hhomogeneous(false);
  upper_.set_vhomogeneous(false);
  base_.append(upper_);

  installButton_.set_label(platform::localized("Install"));
  installButton_.set_name("installButton");
  applyButtonStyle(installButton_, PillButtonStyle{palette::accentBlue, palette::white, 16, 0});
  installButton_.set_size_request(320, 40);
  installButton_.set_halign(Gtk::Align::CENTER);
  installButton_.set_valign(Gtk::Align::END);
  installButton_.set_margin_bottom(72);
  setAccessibleLabel(installButton_, platform::localized("Install"));
  installButton_.signal_clicked().connect(sigc::mem_fun(*this, &InstallerView::onInstallClicked));

  agreement_ = std::make_unique<AgreementLabel>(
      viewModel_->agreementText(), [this](const std::string& url) {
        if (options_.openURL) {
          options_.openURL(url);
        } else {
          platform::openURL(url);
        }
      });
  agreement_->set_hexpand(true);
  agreementFrame_.append(*agreement_);
  agreementFrame_.set_size_request(m.windowWidth - 40, 25);
  agreementFrame_.set_halign(Gtk::Align::CENTER);
  agreementFrame_.set_valign(Gtk::Align::END);
  agreementFrame_.set_margin_bottom(23);

  idleBackground_.add_css_class("lower-area");
  markPresentation(idleBackground_);
  idle_.set_child(idleBackground_);
  idle_.add_overlay(installButton_);
  idle_.add_overlay(agreementFrame_);
  lower_.add(idle_, "idle");

  panel_ = std::make_unique<ProgressPanelView>(palette::accentBlue,
                                               [this] { onPanelAction(); });
  lower_.add(*panel_, "panel");
  lower_.add_css_class("lower-area");
  lower_.set_transition_type(Gtk::StackTransitionType::CROSSFADE);
  lower_.set_transition_duration(kPanelFadeMilliseconds);
  lower_.set_vexpand(false);
  base_.append(lower_);
  set_child(base_);
  markGroup(*this);
  markGroup(idle_);
  markPresentation(upper_);  // pictures and the carousel only
  markPagesAsGroups(lower_);

  dimming_.add_css_class("dimming");
  dialogLayer_.set_child(dimming_);
  dialogLayer_.set_transition_type(Gtk::RevealerTransitionType::CROSSFADE);
  dialogLayer_.set_transition_duration(kDialogFadeMilliseconds);
  dialogLayer_.set_reveal_child(false);
  dialogLayer_.set_can_target(false);
  add_overlay(dialogLayer_);

  auto keys = Gtk::EventControllerKey::create();
  keys->set_propagation_phase(Gtk::PropagationPhase::CAPTURE);
  keys->signal_key_pressed().connect(sigc::mem_fun(*this, &InstallerView::onKeyPressed), false);
  add_controller(keys);

  viewModel_->setChooseFolder([anchor = std::weak_ptr<Anchor>(anchor_)](const FolderRequest& request) {
    Gtk::Window* parent = nullptr;
    if (auto a = anchor.lock()) parent = dynamic_cast<Gtk::Window*>(a->view->get_root());
    return chooseFolder(parent, request);
  });
  observation_ = viewModel_->observe([this](InstallerViewModel::Field) { render(); });
  render();
}

InstallerView::~InstallerView() {
  observation_ = {};
  retiredCleanup_.disconnect();
  anchor_->view = nullptr;
}

void InstallerView::showPage(Gtk::Stack& stack, const Glib::ustring& name) {
  stack.set_visible_child(name);
  hideInactivePages(stack);
}

Gtk::Widget& InstallerView::upperArea() { return upper_; }
Gtk::Widget& InstallerView::lowerArea() { return lower_; }
Gtk::Button& InstallerView::installButton() { return installButton_; }
AgreementLabel& InstallerView::agreementLabel() { return *agreement_; }
ProgressPanelView& InstallerView::progressPanel() { return *panel_; }
PictureArea& InstallerView::pictureArea() { return *picture_; }
DialogBoxView* InstallerView::dialogBox() const { return dialogBox_.get(); }

void InstallerView::render() {
  renderUpperArea();
  renderLowerArea();
  renderDialog();
}

void InstallerView::renderUpperArea() {
  const auto& vm = *viewModel_;
  if (!vm.hasStarted()) {
    picture_->setBundlePicture("Background");
    upper_.set_visible_child("picture");
    return;
  }
  if (vm.showsCarousel() && options_.makeCarousel) {
    if (!carousel_) {
      if (auto url = vm.config().localizedCarouselURL(languageCode_)) {
        carousel_ = options_.makeCarousel(*url);
        if (carousel_) upper_.add(*carousel_, "carousel");
      }
    }
    if (carousel_) {
      upper_.set_visible_child("carousel");
      return;
    }
  }
  picture_->setBundlePicture("Loading");
  upper_.set_visible_child("picture");
}

void InstallerView::renderLowerArea() {
  const auto& vm = *viewModel_;
  const auto& m = options_.metrics;
  lower_.set_size_request(-1, vm.hasStarted() ? m.panelHeight : m.idleBottomHeight);
  if (vm.panelMode() == PanelMode::hidden) {
    showPage(lower_, "idle");
    return;
  }
  ProgressPanelView::Values values;
  values.mode = vm.panelMode();
  values.statusText = statusText(vm.stage());
  if (values.statusText.empty()) values.statusText = platform::localized("Downloading");
  if (vm.stage() != InstallStage::checking) values.progress = vm.progress();
  values.actionTitle = vm.actionTitle();
  panel_->update(values);
  showPage(lower_, "panel");
}

void InstallerView::renderDialog() {
  const auto& dialog = viewModel_->dialog();
  base_.set_can_focus(!dialog);
  if (!dialog) {
    dialogLayer_.set_reveal_child(false);
    dialogLayer_.set_can_target(false);
    return;
  }
  const bool isNew = !dialogBox_ || dialogBox_->dialog().id != dialog->id;
  if (isNew) {
    retireDialogBox();
    dialogBox_ = std::make_unique<DialogBoxView>(*dialog);
    dimming_.append(*dialogBox_);
    dialogBox_->set_hexpand(true);
    dialogBox_->set_vexpand(true);
  }
  dialogLayer_.set_can_target(true);
  dialogLayer_.set_reveal_child(true);
  if (isNew) dialogBox_->focusDefault();
}

void InstallerView::retireDialogBox() {
  if (!dialogBox_) return;
  dimming_.remove(*dialogBox_);
  retired_.push_back(std::move(dialogBox_));
  if (!retiredCleanup_.connected()) {
    retiredCleanup_ = Glib::signal_idle().connect([this] {
      retired_.clear();
      return false;
    });
  }
}

bool InstallerView::onKeyPressed(guint keyval, guint, Gdk::ModifierType) {
  if (!viewModel_->dialog() || !dialogBox_) return false;
  switch (keyval) {
    case GDK_KEY_Return:
    case GDK_KEY_KP_Enter:
    case GDK_KEY_ISO_Enter:
      return dialogBox_->activatePrimary();
    case GDK_KEY_Escape:
      return dialogBox_->activateCancel();
    default:
      return false;
  }
}

void InstallerView::onInstallClicked() {
  Reporter& reporter = options_.reporter ? *options_.reporter : Reporter::shared();
  const auto& coordinator = viewModel_->coordinator();
  reporter.report(event::installClick{languageDisplayName(languageCode_),
                                      coordinator ? coordinator->installDirectory().string() : ""});
  viewModel_->startInstall(false);
}

void InstallerView::onPanelAction() {
  if (viewModel_->stage() == InstallStage::finished) {
    viewModel_->launchInstalled(true);
  } else {
    viewModel_->retryInstall();
  }
}

}  // namespace installer
