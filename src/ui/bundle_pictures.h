// The bundle's pictures ("Background", "Loading"): WebP files in the
// installer bundle's Resources folder, decoded once per process on first
// use and shared by the installer view and the carousel. As on macOS, a
// screen of scale 2 or more takes the "@2x" variant ("Background@2x.webp")
// where the bundle has one.
//
// Main thread only (GDK textures). A picture that is missing or cannot be
// decoded yields null, and callers draw their fallback colour instead.
#pragma once

#include <filesystem>
#include <optional>
#include <string>

#include <gdkmm/texture.h>

namespace installer {

// "<resources>/<name>.webp" decoded, or null; at `scale` 2 or more
// "<name>@2x.webp" instead when that decodes. Cached per file, including a
// failed lookup.
Glib::RefPtr<Gdk::Texture> bundlePicture(const std::string& name, int scale = 1);

// "<directory>/<name>@2x.<extension>" when `scale` is 2 or more and that
// file exists, else "<directory>/<name>.<extension>".
std::filesystem::path pictureFileForScale(const std::filesystem::path& directory,
                                          const std::string& name, const std::string& extension,
                                          int scale);

// `texture` resampled to exactly `width` x `height` pixels with
// high-quality (hyperbolic) filtering; the texture itself when it already
// has that size; null for an empty size or texture.
Glib::RefPtr<Gdk::Texture> resampledTexture(const Glib::RefPtr<Gdk::Texture>& texture, int width,
                                            int height);

// Decodes one WebP file; null when it is missing, not WebP, or larger than
// 16384 pixels on a side.
Glib::RefPtr<Gdk::Texture> decodeWebP(const std::filesystem::path& file);

// Tests: read pictures from `resources` instead of the main bundle's
// Resources folder, and forget what was cached. Main thread.
void setPictureDirectoryForTesting(std::optional<std::filesystem::path> resources);

}  // namespace installer
