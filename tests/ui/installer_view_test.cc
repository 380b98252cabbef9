// The installer window under Xvfb: geometry from real allocations, colours
// from a rendered PNG, texts of the progress panel, the dialog box and its
// keys, link activation, clicks through GTK's own signal path.
#include "ui/installer_view.h"

#include <gtest/gtest.h>
#include <webp/encode.h>

#include <cmath>
#include <fstream>
#include <map>
#include <sstream>
#include <limits>

#include <glibmm/main.h>
#include <gtkmm/filechooserdialog.h>
#include <gtkmm/window.h>

#include "platform/localization.h"
#include "platform/strings_file.h"
#include "ui/agreement_label.h"
#include "ui/bundle_pictures.h"
#include "ui/dialog_box_view.h"
#include "ui/folder_chooser.h"
#include "ui/installer_palette.h"
#include "ui/picture_area.h"
#include "ui/progress_panel_view.h"
#include "ui/window_harness.h"

namespace installer {
namespace {

using namespace installer::testing;
using Opt = std::optional<double>;
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

class InstallerViewTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { initGtk(); }

  void SetUp() override { setPictureDirectoryForTesting(pictures.path()); }
  void TearDown() override {
    closeWindow();
    setPictureDirectoryForTesting(std::nullopt);
  }

  void openWindow(InstallerView::Options options = {}) {
    if (!fixture) fixture = std::make_unique<ViewModelFixture>();
    window = std::make_unique<Gtk::Window>();
    window->set_decorated(false);
    window->set_resizable(false);
    window->set_default_size(640, 440);
    options.reporter = &fixture->reports.reporter;
    if (!options.openURL) options.openURL = [this](const std::string& url) { opened.push_back(url); };
    view = Gtk::make_managed<InstallerView>(fixture->viewModel, std::move(options));
    window->set_child(*view);
    window->present();
    ASSERT_TRUE(pumpUntil([&] { return view->get_width() == 640 && view->get_height() == 440; }));
    settle();
    settleFrame(*view);
  }

  void closeWindow() {
    if (!window) return;
    window->destroy();
    window.reset();
    installer::testing::settle();
  }

  InstallerViewModel& vm() { return *fixture->viewModel; }
  InstallCoordinator& coordinator() { return *fixture->viewModel->coordinator(); }
  Rect bounds(Gtk::Widget& w) { return boundsIn(w, *view); }
  // Through the button's own activation (what Enter and Space do); GTK
  // shows the press for a moment before it emits "clicked".
  void start() {
    gtk_widget_activate(GTK_WIDGET(view->installButton().gobj()));
    ASSERT_TRUE(pumpUntil([&] { return vm().hasStarted(); }));
    settleFrame(*view);
  }
  void settle() { settleFrame(*view); }

  TempDir pictures{"pictures"};
  std::unique_ptr<ViewModelFixture> fixture;
  std::unique_ptr<Gtk::Window> window;
  InstallerView* view = nullptr;
  std::vector<std::string> opened;
};

void writeWebP(const std::filesystem::path& file, std::uint8_t r, std::uint8_t g, std::uint8_t b) {
  std::vector<std::uint8_t> rgba;
  for (int i = 0; i < 16; ++i) rgba.insert(rgba.end(), {r, g, b, 255});
  std::uint8_t* out = nullptr;
  const std::size_t size = WebPEncodeLosslessRGBA(rgba.data(), 4, 4, 16, &out);
  std::ofstream(file, std::ios::binary).write(reinterpret_cast<const char*>(out), static_cast<std::streamsize>(size));
  WebPFree(out);
}

TEST_F(InstallerViewTest, IdleAndStartedAreasHaveTheDesignedSizes) {
  openWindow();
  EXPECT_EQ(view->upperArea().get_height(), 296);
  EXPECT_EQ(view->lowerArea().get_height(), 144);
  const Rect button = bounds(view->installButton());
  EXPECT_EQ(button.x, 160);
  EXPECT_EQ(button.y, 328);
  EXPECT_EQ(button.width, 320);
  EXPECT_EQ(button.height, 40);
  const Rect agreement = bounds(*view->agreementLabel().get_parent());
  EXPECT_EQ(agreement.width, 600);
  EXPECT_EQ(agreement.height, 25);
  EXPECT_EQ(agreement.y + agreement.height, 440 - 23);

  start();
  ASSERT_TRUE(pumpUntil([&] { return view->upperArea().get_height() == 360; }));
  EXPECT_EQ(view->lowerArea().get_height(), 80);

  coordinator().onStage(InstallStage::finished);
  settle();
  const Rect action = bounds(view->progressPanel().actionButton());
  EXPECT_EQ(action.x + action.width, 640 - 24);
  EXPECT_EQ(action.y + action.height, 440 - 20);
  EXPECT_EQ(action.width, 120);
  EXPECT_EQ(action.height, 40);
}

TEST_F(InstallerViewTest, InstallClickReportsAndStartsTheRun) {
  InstallerView::Options options;
  options.languageCode = "ja";
  openWindow(std::move(options));
  start();
  EXPECT_TRUE(vm().hasStarted());
  EXPECT_EQ(vm().panelMode(), PanelMode::progress);
  ASSERT_FALSE(fixture->reports.events.empty());
  const auto& [name, attributes] = fixture->reports.events.front();
  EXPECT_EQ(name, "InstallClick");
  EXPECT_NE(attributes.find(R"("language":"Japanese")"), std::string::npos) << attributes;
  EXPECT_NE(attributes.find(coordinator().installDirectory().string()), std::string::npos);
}

TEST_F(InstallerViewTest, RenderedColoursFollowThePalette) {
  openWindow();
  RenderedImage image(*view, fixture->temp.path());
  const Rect button = bounds(view->installButton());
  // Beside the title, inside the capsule.
  EXPECT_TRUE(near(image.at(static_cast<int>(button.x + 24), static_cast<int>(button.centerY())),
                   palette::accentBlue));
  EXPECT_TRUE(near(image.at(320, 150), palette::pictureFallback));
  EXPECT_TRUE(near(image.at(10, 430), palette::white));
}

TEST_F(InstallerViewTest, UpperAreaShowsThePictureOrTheFallbackColour) {
  struct Case {
    const char* name;
    std::function<void(const std::filesystem::path&)> prepare;
    Rgba expected;
  };
  const Case cases[] = {
      {"missing", [](const std::filesystem::path&) {}, palette::pictureFallback},
      {"corrupt", [](const std::filesystem::path& f) { writeFile(f, "RIFF\x10\0\0\0WEBPVP8 garbage"); },
       palette::pictureFallback},
      {"red", [](const std::filesystem::path& f) { writeWebP(f, 255, 0, 0); }, Rgba{1, 0, 0, 1}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::filesystem::remove(pictures / "Background.webp");
    c.prepare(pictures / "Background.webp");
    setPictureDirectoryForTesting(pictures.path());
    openWindow();
    RenderedImage image(*view, fixture->temp.path());
    EXPECT_TRUE(near(image.at(320, 150), c.expected));
    closeWindow();
  }
}

TEST_F(InstallerViewTest, PanelShowsStatusDetailPercentAndBar) {
  struct Case {
    InstallStage stage;
    std::optional<TransferProgress> progress;
    std::string detail, percent;
    double fraction;
  };
  const Case cases[] = {
      {InstallStage::downloading, TransferProgress{50, 100, 2500000, 28.4}, "2.5 MB/s \u00B7 00:28", "50.0%", 0.5},
      {InstallStage::downloading, TransferProgress{150, 100, 0, std::nullopt}, "", "100.0%", 1},
      {InstallStage::downloading, TransferProgress{150, 0, kNaN, kNaN}, "", "0.0%", 0},
      {InstallStage::downloading, TransferProgress{1, 4, kInf, kInf}, "", "25.0%", 0.25},
      {InstallStage::checking, TransferProgress{50, 100, 1000, 5}, "", "", 0},
  };
  openWindow();
  start();
  auto& panel = view->progressPanel();
  for (const auto& c : cases) {
    coordinator().onStage(c.stage);
    if (c.progress) coordinator().onProgress(*c.progress);
    settle();
    EXPECT_EQ(std::string(panel.statusLabel().get_text()), statusText(c.stage));
    EXPECT_EQ(std::string(panel.detailLabel().get_text()), c.detail);
    EXPECT_EQ(panel.detailLabel().get_visible(), !c.detail.empty());
    EXPECT_EQ(std::string(panel.percentLabel().get_text()), c.percent);
    EXPECT_EQ(panel.percentLabel().get_visible(), !c.percent.empty());
    EXPECT_DOUBLE_EQ(panel.progressBar().fraction(), c.fraction);
    if (g_getenv("INSTALLER_TEST_PNG_DIR")) RenderedImage(*view, fixture->temp.path());
  }
}

TEST(TransferDetailText, FollowsTheDesignedFormat) {
  struct Case {
    double speed;
    Opt remaining;
    std::string expected;
  };
  const Case cases[] = {
      {2500000, 28.4, "2.5 MB/s \u00B7 00:28"},
      {0, 3725, "62:05"},
      {0, 0.5, "00:01"},
      {999.9, std::nullopt, "1 KB/s"},
      {-5, -1, ""},
      {kNaN, kNaN, ""},
      {kInf, kInf, ""},
      {0, 1e300, ""},
  };
  for (const auto& c : cases) {
    TransferProgress p;
    p.bytesPerSecond = c.speed;
    p.remaining = c.remaining;
    EXPECT_EQ(transferDetailText(p), c.expected) << c.speed;
  }
}

DialogSpec twoButtonDialog(std::vector<std::string>* ran, std::string message, bool icon = true) {
  return DialogSpec("A new version is available.", std::move(message),
                    {DialogAction("Later", DialogAction::Role::secondary, [ran] { ran->push_back("Later"); }),
                     DialogAction("Upgrade", DialogAction::Role::primary, [ran] { ran->push_back("Upgrade"); })},
                    icon);
}

TEST_F(InstallerViewTest, DialogBoxIsCentredWithTheOutlineButtonFirst) {
  openWindow();
  std::vector<std::string> ran;
  vm().setDialog(twoButtonDialog(&ran, "You are using version 1. The latest version is 2.", false));
  settle();
  DialogBoxView* box = view->dialogBox();
  ASSERT_NE(box, nullptr);
  const Rect r = bounds(*box);
  EXPECT_EQ(r.x, (640 - 430) / 2);
  EXPECT_EQ(r.y, (440 - 160) / 2);
  EXPECT_EQ(r.width, 430);
  EXPECT_EQ(r.height, 160);
  ASSERT_EQ(box->buttons().size(), 2u);
  const Rect later = bounds(*box->buttons()[0]), upgrade = bounds(*box->buttons()[1]);
  EXPECT_LT(later.x + later.width, upgrade.x);
  EXPECT_EQ(upgrade.x - (later.x + later.width), 12);
  EXPECT_EQ(upgrade.x + upgrade.width, r.x + 430 - 20);
  for (const Rect& b : {later, upgrade}) {
    EXPECT_EQ(b.height, 24);
    EXPECT_GE(b.width, 80);
  }
  EXPECT_TRUE(box->buttons()[0]->has_css_class("outline"));
  EXPECT_TRUE(box->buttons()[1]->has_css_class("pill"));
  // Without an icon the texts start at the row's leading edge.
  EXPECT_EQ(bounds(box->titleLabel()).x, r.x + 20);
  EXPECT_TRUE(box->messageLabel().get_visible());
  EXPECT_EQ(box->icon(), nullptr);

  RenderedImage image(*view, fixture->temp.path());
  const Rgba dimmedWhite{0.86, 0.86, 0.86, 1};
  EXPECT_TRUE(near(image.at(10, 430), dimmedWhite, 3));
  EXPECT_TRUE(near(image.at(static_cast<int>(upgrade.x + 6), static_cast<int>(upgrade.centerY())),
                   palette::accentBlue));

  // With the icon: a 60 x 70 frame at the row's leading edge, texts after it.
  vm().setDialog(twoButtonDialog(&ran, "m", true));
  settle();
  ASSERT_NE(view->dialogBox()->icon(), nullptr);
  const Rect icon = bounds(*view->dialogBox()->icon());
  EXPECT_EQ(icon.x, r.x + 20);
  EXPECT_EQ(icon.y, r.y + 21);
  EXPECT_EQ(icon.width, 60);
  EXPECT_EQ(icon.height, 70);
  EXPECT_GT(bounds(view->dialogBox()->titleLabel()).x, icon.x + icon.width);
}

TEST_F(InstallerViewTest, DialogKeysPickThePrimaryOrTheClosingAction) {
  openWindow();
  GtkEventController* keys = nullptr;
  GListModel* controllers = gtk_widget_observe_controllers(GTK_WIDGET(view->gobj()));
  for (guint i = 0; i < g_list_model_get_n_items(controllers); ++i) {
    auto* c = static_cast<GtkEventController*>(g_list_model_get_item(controllers, i));
    if (GTK_IS_EVENT_CONTROLLER_KEY(c)) keys = c;
    g_object_unref(c);
  }
  g_object_unref(controllers);
  ASSERT_NE(keys, nullptr);
  auto press = [&](guint keyval) {
    gboolean handled = FALSE;
    g_signal_emit_by_name(keys, "key-pressed", keyval, 0u, static_cast<GdkModifierType>(0), &handled);
    settle();
    return handled == TRUE;
  };

  struct Case {
    guint key;
    std::vector<std::string> expected;
  };
  for (const Case& c : {Case{GDK_KEY_Return, {"Upgrade"}}, Case{GDK_KEY_Escape, {"Later"}}}) {
    std::vector<std::string> ran;
    vm().setDialog(twoButtonDialog(&ran, "m"));
    settle();
    EXPECT_EQ(window->get_focus(), view->dialogBox()->buttons()[1]);  // the primary one
    EXPECT_TRUE(press(c.key));
    EXPECT_EQ(ran, c.expected);
  }
  // Escape never picks a destructive action: the quit question has none that only closes.
  std::vector<std::string> ran;
  vm().setDialog(DialogSpec("t", "m",
                            {DialogAction("Quit", DialogAction::Role::secondary, [&] { ran.push_back("Quit"); }),
                             DialogAction("Cancel", DialogAction::Role::primary, [&] { ran.push_back("Cancel"); })}));
  settle();
  EXPECT_FALSE(press(GDK_KEY_Escape));
  EXPECT_TRUE(ran.empty());
  vm().setDialog(std::nullopt);
  settle();
  EXPECT_FALSE(press(GDK_KEY_Return));
}

TEST_F(InstallerViewTest, TabReachesTheButtonsAndStaysInsideADialog) {
  openWindow();
  auto tabStops = [&](int count) {
    std::vector<Gtk::Widget*> stops;
    for (int i = 0; i < count; ++i) {
      if (!window->child_focus(Gtk::DirectionType::TAB_FORWARD)) window->child_focus(Gtk::DirectionType::TAB_FORWARD);
      stops.push_back(window->get_focus());
    }
    return stops;
  };
  auto idle = tabStops(4);
  EXPECT_NE(std::find(idle.begin(), idle.end(), &view->installButton()), idle.end());

  std::vector<std::string> ran;
  vm().setDialog(twoButtonDialog(&ran, "m"));
  settle();
  for (Gtk::Widget* stop : tabStops(5)) {
    ASSERT_NE(stop, nullptr);
    EXPECT_TRUE(stop->is_ancestor(*view->dialogBox()));
  }
}

TEST_F(InstallerViewTest, AbsurdlyLongDialogTextStaysInsideTheWindow) {
  openWindow();
  std::string longText;
  for (int i = 0; i < 200; ++i) longText += "averyveryverylongword and more ";
  std::vector<std::string> ran;
  vm().setDialog(DialogSpec(longText, longText + "!", {}));
  settle();
  DialogBoxView* box = view->dialogBox();
  ASSERT_NE(box, nullptr);
  const Rect r = bounds(*box);
  EXPECT_EQ(r.width, 430);
  // Taller than the design's 160 for long texts, but never past the window.
  EXPECT_GE(r.y, 0);
  EXPECT_LE(r.y + r.height, 440);
  for (Gtk::Label* label : {&box->titleLabel(), &box->messageLabel()}) {
    const Rect l = bounds(*label);
    EXPECT_LE(l.x + l.width, r.x + r.width);
    EXPECT_LE(l.y + l.height, r.y + r.height);
    EXPECT_TRUE(pango_layout_is_ellipsized(label->get_layout()->gobj()));
  }
  if (g_getenv("INSTALLER_TEST_PNG_DIR")) RenderedImage(*view, fixture->temp.path());
  // A message equal to the title is left out.
  vm().setDialog(DialogSpec("Same", "Same", {}));
  settle();
  EXPECT_FALSE(view->dialogBox()->messageLabel().get_visible());
}

TEST_F(InstallerViewTest, AgreementLinksOpenThroughTheGivenOpener) {
  openWindow();
  auto& label = view->agreementLabel();
  const std::string markup = agreementMarkup(vm().agreementText());
  EXPECT_NE(markup.find("<a href=\"https://example.com/privacy\">"), std::string::npos);
  EXPECT_NE(markup.find("<a href=\"https://example.com/eula\">"), std::string::npos);
  gboolean handled = FALSE;
  g_signal_emit_by_name(label.gobj(), "activate-link", "https://example.com/eula", &handled);
  EXPECT_TRUE(handled);
  EXPECT_EQ(opened, std::vector<std::string>{"https://example.com/eula"});
}

TEST_F(InstallerViewTest, AgreementTranslationsWithOddPlaceholdersStayOnOneLine) {
  for (const char* translation : {"Accept %@", "%@, %@, %@ and %@ and a very long tail of words that goes on "
                                              "and on well beyond the width of the window %@"}) {
    SCOPED_TRACE(translation);
    platform::ScopedLocalizationOverride table(
        std::map<std::string, std::string>{{"By installing, you agree to the %@ and %@", translation}});
    fixture = std::make_unique<ViewModelFixture>();
    openWindow();
    auto& label = view->agreementLabel();
    EXPECT_FALSE(label.get_text().empty());
    EXPECT_EQ(label.get_layout()->get_line_count(), 1);
    EXPECT_LE(bounds(label).width, 600);
    closeWindow();
  }
}

// A label shows all of its text: nothing ellipsized, and the laid-out text
// (wrapped at the label's width) fits the label's allocation.
void expectUncut(Gtk::Label& label, const std::string& what) {
  PangoLayout* layout = label.get_layout()->gobj();
  EXPECT_FALSE(pango_layout_is_ellipsized(layout)) << what << ": " << label.get_text();
  int width = 0, height = 0;
  pango_layout_get_pixel_size(layout, &width, &height);
  EXPECT_LE(width, label.get_width()) << what << ": " << label.get_text();
  EXPECT_LE(height, label.get_height()) << what << ": " << label.get_text();
}

// Single-line texts: the whole text on one line fits the label.
void expectOneUncutLine(Gtk::Label& label, const std::string& what) {
  expectUncut(label, what);
  auto whole = label.get_layout()->copy();
  whole->set_width(-1);
  int width = 0, height = 0;
  whole->get_pixel_size(width, height);
  EXPECT_LE(width, label.get_width()) << what << ": " << label.get_text();
}

std::map<std::string, std::string> shippedTable(const std::string& language) {
  std::ifstream in(std::filesystem::path(INSTALLER_SOURCE_DIR) / "src/app/bundle/Resources" /
                   (language + ".lproj") / "Localizable.strings");
  std::ostringstream text;
  text << in.rdbuf();
  return platform::parseStrings(text.str()).entries;
}

// Every dialog, the agreement line and the progress texts, in each shipped
// language with an 11-character product name and the longest texts each can
// show: nothing is cut, the box keeps its width and stays in the window,
// and no text comes closer to the buttons than the box's spacing.
TEST_F(InstallerViewTest, EveryLanguageFitsUncut) {
  const std::string reason =
      "The server rejected the request: the package for this product and version is temporarily "
      "unavailable in your area (403).";
  ASSERT_EQ(reason.size(), 120u);
  const std::filesystem::path app = "/Applications/Wombat Maps.app";
  struct Dialog {
    const char* name;
    std::function<void()> show;
  };
  const Dialog dialogs[] = {
      {"quit", [&] { vm().confirmQuit([] {}); }},
      {"installed", [&] { coordinator().onAlreadyInstalled(app); }},
      {"target running", [&] { coordinator().onTargetRunning(app); }},
      {"update", [&] { coordinator().onUpdateAvailable(app, "10.14.2 (1402)", "11.0.3 (2210)"); }},
      {"failure with reason", [&] { coordinator().onFailure(failure::installFailed{reason}); }},
      {"system too old", [&] { coordinator().onFailure(failure::systemTooOld{}); }},
      {"launch failure", [&] {
         coordinator().onAlreadyInstalled(app);
         vm().launchInstalled(false);
       }},
      {"running target guard", [&] {
         fixture->runningTarget = RunningApplication{1, "/nowhere/Other.app", "com.example.target"};
         coordinator().onAlreadyInstalled(app);
         vm().dialog()->actions[1].handler();  // "Reinstall"
         fixture->runningTarget.reset();
       }},
      {"second installer", [&] {
         const std::string text =
             platform::localized("Your installer is running now. Please click to start it.");
         vm().setDialog(DialogSpec(
             text, text, {DialogAction(platform::localized("OK"), DialogAction::Role::primary, [] {})}, false));
       }},
  };
  const bool keepPictures = g_getenv("INSTALLER_TEST_PNG_DIR") != nullptr;
  for (const char* language :
       {"en", "zh-Hans", "ja", "de", "fr", "es", "pt-BR", "ko", "zh-Hant", "ru", "it"}) {
    SCOPED_TRACE(language);
    platform::ScopedLocalizationOverride table(shippedTable(language));
    AppConfig config = ViewModelFixture::defaultConfig();
    config.productName = "Wombat Maps";
    fixture = std::make_unique<ViewModelFixture>(config);
    openWindow();
    expectOneUncutLine(view->agreementLabel(), "agreement");
    EXPECT_EQ(bounds(view->agreementLabel()).width, 600);

    for (const Dialog& d : dialogs) {
      SCOPED_TRACE(d.name);
      vm().setDialog(std::nullopt);
      d.show();
      settle();
      DialogBoxView* box = view->dialogBox();
      ASSERT_NE(box, nullptr);
      const Rect r = bounds(*box);
      EXPECT_EQ(r.width, DialogBoxView::kPanelWidth);
      EXPECT_GE(r.height, DialogBoxView::kPanelHeight);
      EXPECT_GE(r.y, 0);
      EXPECT_LE(r.y + r.height, 440);
      double textBottom = box->icon() ? bounds(*box->icon()).y + bounds(*box->icon()).height : r.y;
      for (Gtk::Label* label : {&box->titleLabel(), &box->messageLabel()}) {
        if (!label->get_visible()) continue;
        expectUncut(*label, d.name);
        const Rect l = bounds(*label);
        EXPECT_LE(l.x + l.width, r.x + r.width - 20);
        textBottom = std::max(textBottom, l.y + l.height);
      }
      ASSERT_FALSE(box->buttons().empty());
      const Rect first = bounds(*box->buttons().front());
      EXPECT_GE(first.x, r.x + 20);
      for (Gtk::Button* button : box->buttons()) {
        const Rect b = bounds(*button);
        EXPECT_GE(b.y - textBottom, DialogBoxView::kTextToButtons) << button->get_label();
        expectOneUncutLine(*dynamic_cast<Gtk::Label*>(button->get_child()), "button");
      }
      if (keepPictures) RenderedImage(*view, fixture->temp.path());
    }
    vm().setDialog(std::nullopt);

    start();
    auto& panel = view->progressPanel();
    for (InstallStage stage : {InstallStage::checking, InstallStage::downloading, InstallStage::installing}) {
      coordinator().onStage(stage);
      coordinator().onProgress(TransferProgress{987654321, 1987654321, 123456789, 3725});
      settle();
      for (Gtk::Label* label : {&panel.statusLabel(), &panel.detailLabel(), &panel.percentLabel()}) {
        if (label->get_visible()) expectOneUncutLine(*label, "progress");
      }
    }
    for (const char* title : {"Install", "Launch"}) {
      panel.update({PanelMode::action, "", std::nullopt, platform::localized(title)});
      settle();
      expectOneUncutLine(*dynamic_cast<Gtk::Label*>(panel.actionButton().get_child()), title);
    }
    closeWindow();
  }
}

TEST_F(InstallerViewTest, ProgressBarGlidesToItsValueAndStops) {
  setAnimations(true);
  openWindow();
  start();
  auto& bar = view->progressPanel().progressBar();
  ASSERT_TRUE(pumpUntil([&] { return bar.get_mapped(); }));
  bar.setFraction(0.8);
  EXPECT_TRUE(bar.isAnimating());
  EXPECT_LT(bar.shownFraction(), 0.8);
  EXPECT_TRUE(pumpUntil([&] { return !bar.isAnimating(); }));
  EXPECT_DOUBLE_EQ(bar.shownFraction(), 0.8);
  setAnimations(false);
  EXPECT_NEAR(easeOut(0.5), 0.69, 0.02);
  EXPECT_DOUBLE_EQ(easeOut(1), 1);
}

TEST_F(InstallerViewTest, AccessibleNamesRolesAndValues) {
  openWindow();
  auto* button = GTK_ACCESSIBLE(view->installButton().gobj());
  EXPECT_EQ(view->installButton().get_name(), "installButton");
  char* error = gtk_test_accessible_check_property(button, GTK_ACCESSIBLE_PROPERTY_LABEL, "Install");
  EXPECT_EQ(error, nullptr) << error;
  g_free(error);

  start();
  coordinator().onStage(InstallStage::downloading);
  coordinator().onProgress(TransferProgress{1, 4, 0, std::nullopt});
  settle();
  auto* bar = GTK_ACCESSIBLE(view->progressPanel().progressBar().gobj());
  EXPECT_TRUE(gtk_test_accessible_has_role(bar, GTK_ACCESSIBLE_ROLE_PROGRESS_BAR));
  error = gtk_test_accessible_check_property(bar, GTK_ACCESSIBLE_PROPERTY_VALUE_NOW, 0.25);
  EXPECT_EQ(error, nullptr) << error;
  g_free(error);

  std::vector<std::string> ran;
  vm().setDialog(twoButtonDialog(&ran, "m"));
  settle();
  auto* dialog = GTK_ACCESSIBLE(view->dialogBox()->gobj());
  EXPECT_TRUE(gtk_test_accessible_has_role(dialog, GTK_ACCESSIBLE_ROLE_ALERT));
  error = gtk_test_accessible_check_property(dialog, GTK_ACCESSIBLE_PROPERTY_LABEL,
                                             "A new version is available.");
  EXPECT_EQ(error, nullptr) << error;
  g_free(error);
}

TEST_F(InstallerViewTest, CarouselIsBuiltOnceWhenDueAndKept) {
  AppConfig config = ViewModelFixture::defaultConfig();
  config.carouselEnabled = true;
  config.carouselURL = platform::URL::parse("https://example.com/carousel");
  fixture = std::make_unique<ViewModelFixture>(config);
  std::vector<std::string> built;
  InstallerView::Options options;
  options.languageCode = "en";
  options.makeCarousel = [&](const platform::URL& url) {
    built.push_back(url.absoluteString());
    return Gtk::make_managed<Gtk::Box>();
  };
  openWindow(std::move(options));
  EXPECT_TRUE(built.empty());
  start();
  coordinator().onStage(InstallStage::downloading);
  coordinator().onProgress(TransferProgress{1, 4, 0, std::nullopt});
  settle();
  ASSERT_EQ(built.size(), 1u);
  EXPECT_NE(built[0].find("lang=en"), std::string::npos);
  EXPECT_EQ(dynamic_cast<Gtk::Stack&>(view->upperArea()).get_visible_child(), view->carousel());
}

TEST_F(InstallerViewTest, FolderChooserAnswersTheChosenFolderOrNothing) {
  openWindow();
  const FolderRequest request{"Choose a Folder", "The folder cannot be written.", "OK", fixture->temp.path()};
  struct Case {
    int response;
    bool answered;
  };
  for (const Case c : {Case{GTK_RESPONSE_ACCEPT, true}, Case{GTK_RESPONSE_CANCEL, false}}) {
    auto answer = chooseFolder(window.get(), request, [&](Gtk::FileChooserDialog& dialog) {
      EXPECT_TRUE(dialog.get_modal());
      EXPECT_EQ(dialog.get_title(), "Choose a Folder");
      EXPECT_TRUE(dialog.get_create_folders());
      EXPECT_EQ(dialog.get_action(), Gtk::FileChooser::Action::SELECT_FOLDER);
      Glib::signal_idle().connect_once([&dialog, c] { dialog.response(c.response); });
    });
    EXPECT_EQ(answer.has_value(), c.answered);
    if (answer) {
      EXPECT_EQ(std::filesystem::canonical(*answer), std::filesystem::canonical(fixture->temp.path()));
    }
  }
}

}  // namespace
}  // namespace installer
