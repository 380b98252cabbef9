// The main window: 640 x 440, fixed, white, titled with the localized
// "Install", no title bar, its own close and minimize controls and the menu
// button laid over the picture, and a close request decided by its owner.

#include <gtest/gtest.h>

#include <gtkmm.h>

#include "app/main_window.h"
#include "platform/localization.h"
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
  platform::ScopedLocalizationOverride japanese(std::map<std::string, std::string>{{"Install", "インストール"}});
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

}  // namespace
}  // namespace installer
