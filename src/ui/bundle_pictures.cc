#include "ui/bundle_pictures.h"

#include <webp/decode.h>

#include <fstream>
#include <iterator>
#include <map>
#include <vector>

#include <glibmm/bytes.h>
#include <gdkmm/memorytexture.h>

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

Glib::RefPtr<Gdk::Texture> bundlePicture(const std::string& name) {
  auto& c = cache();
  if (auto it = c.textures.find(name); it != c.textures.end()) return it->second;
  const std::filesystem::path dir =
      c.directory ? *c.directory : platform::Bundle::main().resourcesPath();
  auto texture = decodeWebP(dir / (name + ".webp"));
  c.textures.emplace(name, texture);
  return texture;
}

void setPictureDirectoryForTesting(std::optional<std::filesystem::path> resources) {
  auto& c = cache();
  c.directory = std::move(resources);
  c.textures.clear();
}

}  // namespace installer
