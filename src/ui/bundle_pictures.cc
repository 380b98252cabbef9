#include "ui/bundle_pictures.h"

#include <webp/decode.h>

#include <fstream>
#include <iterator>
#include <map>
#include <vector>

#include <glibmm/bytes.h>
#include <gdkmm/memorytexture.h>
#include <gdk-pixbuf/gdk-pixbuf.h>
#include <gtk/gtk.h>

#include "platform/bundle.h"

namespace installer {
namespace {

constexpr int kMaxSide = 16384;
constexpr std::uintmax_t kMaxFileBytes = 64u << 20;

struct PictureCache {
  std::optional<std::filesystem::path> directory;
  std::map<std::string, Glib::RefPtr<Gdk::Texture>> textures;
};

PictureCache& cache() {
  static PictureCache* c = new PictureCache();  // main thread; lives for the process
  return *c;
}

}  // namespace

Glib::RefPtr<Gdk::Texture> decodeWebP(const std::filesystem::path& file) {
  std::error_code ec;
  const auto size = std::filesystem::file_size(file, ec);
  if (ec || size == 0 || size > kMaxFileBytes) return {};
  std::ifstream in(file, std::ios::binary);
  std::vector<std::uint8_t> data((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (data.size() != size) return {};

  int width = 0, height = 0;
  if (!WebPGetInfo(data.data(), data.size(), &width, &height)) return {};
  if (width <= 0 || height <= 0 || width > kMaxSide || height > kMaxSide) return {};
  const std::size_t stride = static_cast<std::size_t>(width) * 4;
  auto* pixels = static_cast<std::uint8_t*>(g_malloc(stride * static_cast<std::size_t>(height)));
  if (!WebPDecodeRGBAInto(data.data(), data.size(), pixels, stride * height, static_cast<int>(stride))) {
    g_free(pixels);
    return {};
  }
  // The bytes object takes the buffer; the texture keeps the bytes.
  GBytes* bytes = g_bytes_new_take(pixels, stride * static_cast<std::size_t>(height));
  GdkTexture* texture =
      gdk_memory_texture_new(width, height, GDK_MEMORY_R8G8B8A8, bytes, stride);
  g_bytes_unref(bytes);
  return Glib::wrap(texture);
}

std::filesystem::path pictureFileForScale(const std::filesystem::path& directory,
                                          const std::string& name, const std::string& extension,
                                          int scale) {
  if (scale >= 2) {
    auto doubled = directory / (name + "@2x." + extension);
    std::error_code ec;
    if (std::filesystem::is_regular_file(doubled, ec)) return doubled;
  }
  return directory / (name + "." + extension);
}

Glib::RefPtr<Gdk::Texture> bundlePicture(const std::string& name, int scale) {
  auto& c = cache();
  const std::filesystem::path dir =
      c.directory ? *c.directory : platform::Bundle::main().resourcesPath();
  const auto file = pictureFileForScale(dir, name, "webp", scale);
  if (auto it = c.textures.find(file.string()); it != c.textures.end()) return it->second;
  auto texture = decodeWebP(file);
  // A broken 2x file: the 1x picture still serves.
  if (!texture && scale >= 2) return bundlePicture(name, 1);
  c.textures.emplace(file.string(), texture);
  return texture;
}

Glib::RefPtr<Gdk::Texture> resampledTexture(const Glib::RefPtr<Gdk::Texture>& texture, int width,
                                            int height) {
  if (!texture || width <= 0 || height <= 0 || width > kMaxSide || height > kMaxSide) return {};
  if (texture->get_width() == width && texture->get_height() == height) return texture;
  G_GNUC_BEGIN_IGNORE_DEPRECATIONS
  GdkPixbuf* source = gdk_pixbuf_get_from_texture(texture->gobj());
  G_GNUC_END_IGNORE_DEPRECATIONS
  if (!source) return {};
  GdkPixbuf* scaled = gdk_pixbuf_scale_simple(source, width, height, GDK_INTERP_HYPER);
  g_object_unref(source);
  if (!scaled) return {};
  GdkTexture* result = gdk_texture_new_for_pixbuf(scaled);
  g_object_unref(scaled);
  return Glib::wrap(result);
}

void setPictureDirectoryForTesting(std::optional<std::filesystem::path> resources) {
  auto& c = cache();
  c.directory = std::move(resources);
  c.textures.clear();
}

}  // namespace installer
