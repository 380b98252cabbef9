// The installer's configuration: the immutable record read once from the
// bundle's information dictionary, copied by value wherever it is needed.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "platform/plist.h"
#include "platform/system_info.h"
#include "platform/url.h"

namespace installer {

struct AppConfig {
  std::string productID;                          // InstallApplicationID
  std::string productName;                        // InstallApplicationName
  std::string productVersion = "0.0.0";           // InstallApplicationVersion
  std::optional<std::string> minimumSystemVersion;  // MinimumSupportSystemVersion
  bool carouselEnabled = false;                   // CarouselEnabled
  std::optional<platform::URL> productPageURL;    // ProductPageURL
  std::optional<platform::URL> privacyPolicyURL;  // PrivacyPolicyURL
  std::optional<platform::URL> userAgreementURL;  // UserAgreementURL
  std::optional<platform::URL> customerServiceURL;  // CustomerServiceURL
  bool allowedDownloadImmediately = false;  // AllowedDownloadImmediatelyWhenApplicationLaunch
  std::string startUpArgs;                  // StartUpArgs
  std::string installJumpCode = "0";        // InstallJumpCode
  bool customizeFilePath = false;           // CustomizeFilePath
  std::optional<std::string> packageMD5;    // DownloadPackageMD5
  std::optional<std::int64_t> packageSize;  // DownloadPackageSize
  // InstallDirectoryOverride: a directory path, "~" expanded, trailing "/"
  // dropped. Kept as given otherwise: the installer refuses a path that
  // installDirectoryProblem faults, rather than silently installing elsewhere.
  std::optional<std::string> installDirectoryOverride;
  std::optional<platform::URL> checkUpdateURL;  // CheckUpdateURL
  std::optional<std::string> checkUpdateApp;    // CheckUpdateApp
  std::optional<std::string> checkUpdateUID;    // CheckUpdateUID, else CheckUpdateApp
  std::optional<platform::URL> carouselURL;     // CarouselURL (https only)
  std::optional<platform::URL> installSuccessURL;  // InstallSuccessURL (https only)
  // PackageSigningPublicKey: Base64 of an Ed25519 public key. When set,
  // every package must carry a valid signature by its secret half.
  std::optional<std::string> packageSigningPublicKey;
  // PackageSigningPublicKey is there but is not a non-empty Base64 text of
  // 32 bytes (data, a number, an empty or malformed text). The installer
  // then refuses every install rather than skip the signature checks;
  // packageSigningPublicKey is absent.
  bool packageSigningKeyMalformed = false;

  // Reads the 21 keys and PackageSigningPublicKey from `source`; never fails (unusable values take
  // their defaults). `languageCode` localizes the five page links.
  static AppConfig load(const platform::KeyValueSource& source, const std::string& languageCode);

  // `carouselURL` with "lang=<code>" as its last query item; absent when
  // there is no carousel link.
  std::optional<platform::URL> localizedCarouselURL(const std::string& languageCode) const;

  // True when `running` is at least `minimumSystemVersion` (always true
  // when no minimum is set or it holds no number).
  bool supportsCurrentSystem(
      const platform::SystemVersion& running = platform::runningSystemVersion()) const;
};

// The language code used throughout the program: the main bundle's first
// preferred localization, else the current locale's identifier.
std::string currentLanguageCode();

// The running system's version as "major.minor.patch".
std::string systemVersionString();

// The installer's display name: CFBundleName when non-empty, else
// "Installer".
std::string displayName();

// Why `path` cannot be an install directory ("not an absolute path",
// "contains \"..\"", ...); absent when it is absolute, normalised ("." and
// ".." components and doubled "/" refused) and free of control characters.
std::optional<std::string> installDirectoryProblem(const std::string& path);

// A page link rewritten for `languageCode` ("ja" -> https://host/jp/path);
// returned unchanged when there is nothing to insert or it does not parse.
std::string localizedLinkString(const std::string& link, const std::string& languageCode);

}  // namespace installer
