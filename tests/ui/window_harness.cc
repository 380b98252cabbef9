#include "ui/window_harness.h"

#include <cmath>
#include <stdexcept>

#include <gtkmm/init.h>

#include "install/install_coordinator.h"
#include "install/install_steps.h"
#include "support/fake_install_steps.h"

namespace installer::testing {
namespace {

// Nothing is configured: a started run ends by itself without touching
// anything.
std::shared_ptr<FakeLinks> unconfiguredLinks() {
  auto links = std::make_shared<FakeLinks>();
  links->configured = false;
  return links;
}

}  // namespace

void initGtk() {
  static bool done = false;
  if (done) return;
  done = true;
  // The test backend keeps accessible roles and properties where tests can
  // read them, without a session bus.
  g_setenv("GTK_A11Y", "test", TRUE);
  gtk_init();
  Gtk::init_gtkmm_internals();
  setAnimations(false);
}

void setAnimations(bool enabled) {
  g_object_set(gtk_settings_get_default(), "gtk-enable-animations", enabled ? TRUE : FALSE,
               nullptr);
}

bool pumpUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  // Wakes the blocking iteration now and then so the deadline is noticed.
  const guint wake = g_timeout_add(10, [](gpointer) -> gboolean { return G_SOURCE_CONTINUE; }, nullptr);
  bool ok = done();
  while (!ok && std::chrono::steady_clock::now() < deadline) {
    g_main_context_iteration(nullptr, TRUE);
    ok = done();
  }
  g_source_remove(wake);
  return ok;
}

void settle() {
  while (g_main_context_iteration(nullptr, FALSE)) {
  }
}

void settleFrame(Gtk::Widget& widget) {
  settle();
  GtkWidget* root = GTK_WIDGET(gtk_widget_get_root(widget.gobj()));
  GdkFrameClock* clock = root ? gtk_widget_get_frame_clock(root) : nullptr;
  if (!clock) return;
  bool painted = false;
  const gulong id = g_signal_connect_swapped(
      clock, "after-paint", G_CALLBACK(+[](bool* flag) { *flag = true; }), &painted);
  gtk_widget_queue_draw(root);
  pumpUntil([&] { return painted; });
  g_signal_handler_disconnect(clock, id);
  settle();
}

Rect boundsIn(Gtk::Widget& widget, Gtk::Widget& relativeTo) {
  graphene_rect_t r;
  if (!gtk_widget_compute_bounds(widget.gobj(), relativeTo.gobj(), &r)) return {};
  return {r.origin.x, r.origin.y, r.size.width, r.size.height};
}

RenderedImage::RenderedImage(Gtk::Widget& widget, const std::filesystem::path& directory, int scale) {
  const int w = widget.get_width() * scale, h = widget.get_height() * scale;
  GdkPaintable* paintable = gtk_widget_paintable_new(widget.gobj());
  GtkSnapshot* snapshot = gtk_snapshot_new();
  gtk_snapshot_scale(snapshot, static_cast<float>(scale), static_cast<float>(scale));
  gdk_paintable_snapshot(paintable, snapshot, widget.get_width(), widget.get_height());
  GskRenderNode* node = gtk_snapshot_free_to_node(snapshot);
  GskRenderer* renderer = gtk_native_get_renderer(gtk_widget_get_native(widget.gobj()));
  const graphene_rect_t viewport = GRAPHENE_RECT_INIT(0, 0, static_cast<float>(w), static_cast<float>(h));
  GdkTexture* rendered = gsk_renderer_render_texture(renderer, node, &viewport);
  const auto png = directory / "window.png";
  gdk_texture_save_to_png(rendered, png.c_str());
  // INSTALLER_TEST_PNG_DIR keeps every rendering for a look by eye.
  if (const char* keep = g_getenv("INSTALLER_TEST_PNG_DIR")) {
    static int counter = 0;
    std::error_code ec;
    std::filesystem::copy_file(png, std::filesystem::path(keep) / ("window-" + std::to_string(++counter) + ".png"),
                               std::filesystem::copy_options::overwrite_existing, ec);
  }
  g_object_unref(rendered);
  gsk_render_node_unref(node);
  g_object_unref(paintable);

  GError* error = nullptr;
  GdkTexture* texture = gdk_texture_new_from_filename(png.c_str(), &error);
  if (!texture) {
    g_clear_error(&error);
    throw std::runtime_error("cannot read the rendered PNG back");
  }
  width_ = gdk_texture_get_width(texture);
  height_ = gdk_texture_get_height(texture);
  std::vector<std::uint8_t> bgra(static_cast<std::size_t>(width_) * height_ * 4);
  gdk_texture_download(texture, bgra.data(), static_cast<gsize>(width_) * 4);
  g_object_unref(texture);
  // gdk_texture_download writes premultiplied B, G, R, A (cairo's layout).
  rgba_.resize(bgra.size());
  for (std::size_t i = 0; i < bgra.size(); i += 4) {
    const int a = bgra[i + 3];
    auto un = [a](int v) { return a == 0 ? 0 : std::min(255, (v * 255 + a / 2) / a); };
    rgba_[i] = static_cast<std::uint8_t>(un(bgra[i + 2]));
    rgba_[i + 1] = static_cast<std::uint8_t>(un(bgra[i + 1]));
    rgba_[i + 2] = static_cast<std::uint8_t>(un(bgra[i]));
    rgba_[i + 3] = static_cast<std::uint8_t>(a);
  }
}

Pixel RenderedImage::at(int x, int y) const {
  if (x < 0 || y < 0 || x >= width_ || y >= height_) return {};
  const std::size_t i = (static_cast<std::size_t>(y) * width_ + x) * 4;
  return {rgba_[i], rgba_[i + 1], rgba_[i + 2], rgba_[i + 3]};
}

bool near(const Pixel& p, const Rgba& c, int tolerance) {
  auto close = [tolerance](int v, double unit) {
    return std::abs(v - static_cast<int>(std::lround(unit * 255))) <= tolerance;
  };
  return close(p.red, c.red) && close(p.green, c.green) && close(p.blue, c.blue) &&
         close(p.alpha, c.alpha);
}

AppConfig ViewModelFixture::defaultConfig() {
  AppConfig config;
  config.productID = "com.example.target";
  config.productName = "Target";
  config.privacyPolicyURL = platform::URL::parse("https://example.com/privacy");
  config.userAgreementURL = platform::URL::parse("https://example.com/eula");
  return config;
}

ViewModelFixture::ViewModelFixture(AppConfig config) {
  InstallerViewModel::Services services;
  services.mainExecutor = &executor;
  services.reporter = &reports.reporter;
  services.openURL = [this](const std::string& url) { openedURLs.push_back(url); };
  services.revealFile = [](const std::filesystem::path&) {};
  services.launchApplication = [](const std::filesystem::path&, const std::string&) { return false; };
  services.runningTarget = [this](const std::string&) { return runningTarget; };
  services.findInstalledApplication = [](const std::string&) {
    return std::optional<std::filesystem::path>();
  };
  const auto cache = temp.path() / "cache";
  services.makeCoordinator = [this, cache](const AppConfig& c, std::shared_ptr<PackageLinkResolver>) {
    InstallCoordinator::Environment env;
    env.mainExecutor = &executor;
    env.reporter = &reports.reporter;
    env.cacheDirectory = cache;
    return InstallCoordinator::create(
        c,
        InstallSteps{unconfiguredLinks(), std::make_shared<FakeUnpacker>(),
                     std::make_shared<FakeInstaller>()},
        env);
  };
  viewModel = InstallerViewModel::create(std::move(config), std::move(services));
}

ViewModelFixture::~ViewModelFixture() { viewModel.reset(); }

}  // namespace installer::testing

// GTK and its libraries are built without frame pointers, so AddressSanitizer's
// fast unwinder loses the stacks of their allocations and a process-lifetime
// cache of theirs escapes the library-named leak suppressions. The slow
// unwinder keeps the whole stack. (Unused without the sanitizer.)
extern "C" const char* __asan_default_options() { return "fast_unwind_on_malloc=0"; }
