// The bundle's pictures ("Background", "Loading"): WebP files in the
// installer bundle's Resources folder, decoded once per process on first
// use and shared by the installer view and the carousel.
//
// Main thread only (GDK textures). A picture that is missing or cannot be
// decoded yields null, and callers draw their fallback colour instead.
#pragma once

#include <filesystem>
#include <optional>
#include <string>

#include <gdkmm/texture.h>

namespace installer {

// "<resources>/<name>.webp" decoded, or null. Cached per name, including a
// failed lookup.
Glib::RefPtr<Gdk::Texture> bundlePicture(const std::string& name);

// Decodes one WebP file; null when it is missing, not WebP, or larger than
// 16384 pixels on a side.
Glib::RefPtr<Gdk::Texture> decodeWebP(const std::filesystem::path& file);

// Tests: read pictures from `resources` instead of the main bundle's
// Resources folder, and forget what was cached. Main thread.
void setPictureDirectoryForTesting(std::optional<std::filesystem::path> resources);

}  // namespace installer
