// The main window: 640 x 440, fixed, white, titled with the localized
// "Install", no title bar, its own close and minimize controls and the menu
// button laid over the picture, and a close request decided by its owner.

#include <gtest/gtest.h>

#include <gtkmm.h>

#include "app/main_window.h"
#include "platform/localization.h"
#include "ui/bundle_pictures.h"
#include "ui/picture_area.h"
#include "ui/window_harness.h"

namespace installer {
namespace {

using testing::boundsIn;
using testing::pumpUntil;

template <typename T>
T* findChild(Gtk::Widget& root) {
  for (auto* child = root.get_first_child(); child; child = child->get_next_sibling()) {
    if (auto* found = dynamic_cast<T*>(child)) return found;
    if (auto* found = findChild<T>(*child)) return found;
  }
  return nullptr;
}

TEST(MainWindowTest, FixedUndecoratedWindowWithControlsOverThePictureAndAGuardedClose) {
  testing::initGtk();
  platform::ScopedLocalizationOverride japanese(
      std::map<std::string, std::string>{{"Install|window title", "インストール"}});
  testing::ViewModelFixture fixture;
  int closeRequests = 0;
  bool allowClose = false;
  auto* window = new MainWindow(fixture.viewModel, {}, Gio::Menu::create(), [&] {
    ++closeRequests;
    return allowClose;
  });
  window->present();
  ASSERT_TRUE(pumpUntil([&] { return window->get_mapped() && window->get_width() > 0; }));
  testing::settleFrame(*window);

  EXPECT_EQ(window->get_width(), MainWindow::kWidth);
  EXPECT_EQ(window->get_height(), MainWindow::kHeight);
  EXPECT_EQ(window->get_title(), "インストール");
  EXPECT_FALSE(window->get_resizable());
  EXPECT_FALSE(window->get_decorated());

  // Controls: close then minimize at the top left, the menu at the top
  // right, all within the 296-point picture area; the background drags.
  auto* controls = findChild<Gtk::WindowControls>(*window);
  auto* menu = findChild<Gtk::MenuButton>(*window);
  ASSERT_TRUE(controls && menu);
  EXPECT_EQ(controls->get_decoration_layout(), "close,minimize:");
  auto controlsBounds = boundsIn(*controls, *window);
  auto menuBounds = boundsIn(*menu, *window);
  EXPECT_LT(controlsBounds.x, 40);
  EXPECT_GT(menuBounds.x, MainWindow::kWidth - 60);
  EXPECT_LT(controlsBounds.y + controlsBounds.height, 296);
  EXPECT_LT(menuBounds.y + menuBounds.height, 296);
  EXPECT_NE(findChild<Gtk::WindowHandle>(*window), nullptr);

  testing::RenderedImage image(*window, fixture.temp.path());
  EXPECT_TRUE(testing::near(image.at(5, MainWindow::kHeight - 5), Rgba{1, 1, 1, 1}));

  window->close();
  testing::settle();
  EXPECT_EQ(closeRequests, 1);
  EXPECT_TRUE(window->get_visible());
  allowClose = true;
  window->close();
  ASSERT_TRUE(pumpUntil([&] { return !window->get_visible(); }));
  EXPECT_EQ(closeRequests, 2);
  delete window;
}

// At scale 2 the window's picture has the screen's pixels: the bundle's
// "@2x" file where it has one, else the 1x file resampled to twice its
// size. INSTALLER_TEST_PNG_DIR keeps the scale-2 rendering.
TEST(MainWindowTest, AtScaleTwoPicturesAreDrawnFromDevicePixels) {
  g_setenv("GDK_SCALE", "2", TRUE);
  testing::initGtk();
  const std::filesystem::path resources = INSTALLER_SOURCE_DIR "/src/app/bundle/Resources";
  setPictureDirectoryForTesting(resources);
  testing::ViewModelFixture fixture;
  auto* window = new MainWindow(fixture.viewModel, {}, Gio::Menu::create(), [] { return true; });
  window->present();
  ASSERT_TRUE(pumpUntil([&] { return window->get_mapped() && window->get_width() > 0; }));
  if (window->get_scale_factor() != 2) {
    delete window;
    setPictureDirectoryForTesting(std::nullopt);
    GTEST_SKIP() << "GTK started at scale 1 earlier in this process; run this test on its own";
  }
  testing::settleFrame(*window);
  auto* picture = findChild<PictureArea>(*window);
  ASSERT_NE(picture, nullptr);
  const auto twoTimes = bundlePicture("Background", 2);
  ASSERT_TRUE(twoTimes);
  EXPECT_EQ(twoTimes->get_width(), 1280);
  EXPECT_EQ(picture->drawnTexture(), twoTimes);  // the file's own pixels, not resampled
  testing::RenderedImage image(*window, fixture.temp.path(), 2);
  EXPECT_EQ(image.width(), 2 * MainWindow::kWidth);
  EXPECT_EQ(image.height(), 2 * MainWindow::kHeight);

  const auto oneTimesOnly = fixture.temp.path() / "one-times";
  std::filesystem::create_directories(oneTimesOnly);
  std::filesystem::copy_file(resources / "Background.webp", oneTimesOnly / "Background.webp");
  setPictureDirectoryForTesting(oneTimesOnly);
  picture->queue_draw();
  testing::settleFrame(*window);
  ASSERT_TRUE(picture->drawnTexture());
  EXPECT_EQ(picture->drawnTexture()->get_width(), 1280);
  EXPECT_EQ(picture->drawnTexture()->get_height(), 592);
  EXPECT_EQ(bundlePicture("Background", 2)->get_width(), 640);

  delete window;
  setPictureDirectoryForTesting(std::nullopt);
}

}  // namespace
}  // namespace installer
