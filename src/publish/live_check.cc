#include "publish/live_check.h"

#include <stdlib.h>
#include <unistd.h>

#include <fstream>
#include <variant>

#include "config/app_config.h"
#include "install/real_install_steps.h"
#include "network/check_update_transport.h"
#include "network/package_link_resolver.h"
#include "package/tool_runner.h"
#include "package/unarchiver.h"
#include "platform/bundle.h"
#include "platform/http_client.h"
#include "proof/chunk_list.h"
#include "proof/integrity.h"
#include "proof/package_signature.h"

namespace installer::publish {

namespace fs = std::filesystem;

std::string CheckStep::line() const { return std::string(passed ? "PASS " : "FAIL ") + name + ": " + detail; }

namespace {

class ScratchDirectory {
 public:
  explicit ScratchDirectory(fs::path given) : path_(std::move(given)) {
    if (path_.empty()) {
      const char* tmp = std::getenv("TMPDIR");
      std::string pattern = (fs::path(tmp && *tmp ? tmp : "/tmp") / "installer-publish-XXXXXX").string();
      if (!::mkdtemp(pattern.data())) throw std::runtime_error("cannot make a temporary directory");
      path_ = pattern;
    } else {
      fs::create_directories(path_);
    }
  }
  ~ScratchDirectory() {
    std::error_code ec;
    fs::remove_all(path_, ec);
  }
  ScratchDirectory(const ScratchDirectory&) = delete;
  ScratchDirectory& operator=(const ScratchDirectory&) = delete;
  const fs::path& path() const { return path_; }

 private:
  fs::path path_;
};

// The installer's first language, as its own Bundle would choose it here.
std::string languageOf(const platform::Bundle& bundle) {
  auto preferred = bundle.preferredLocalizations();
  return preferred.empty() ? "en" : preferred.front();
}

struct Download {
  bool ok = false;
  std::string detail;
  PackageDigests digests;
};

Download download(const PackageLink& link, const fs::path& file, const LiveCheckOptions& options,
                  DigestKinds kinds) {
  Download result;
  std::ofstream out(file, std::ios::binary | std::ios::trunc);
  PackageDigester digester(kinds);
  platform::HttpRequest request;
  request.url = link.url.absoluteString();
  request.caBundlePath = options.caBundlePath;
  request.idleTimeout = std::chrono::seconds(30);
  long status = 0;
  request.onResponse = [&](long code, const platform::HttpHeaders&) {
    status = code;
    return code >= 200 && code < 300;
  };
  request.onBody = [&](const char* data, std::size_t size) {
    digester.update(data, size);
    out.write(data, static_cast<std::streamsize>(size));
    return static_cast<bool>(out);
  };
  platform::CurlHttpClient client;
  auto outcome = client.perform(request);
  out.close();
  if (auto* error = std::get_if<platform::HttpError>(&outcome)) {
    result.detail = status >= 300 || (status > 0 && status < 200) ? "HTTP " + std::to_string(status)
                                                                  : request.url + ": " + error->message;
    return result;
  }
  result.digests = digester.finish();
  result.ok = static_cast<bool>(out);
  result.detail = result.ok ? std::to_string(result.digests.size) + " bytes from " + request.url
                            : "cannot write " + file.string();
  return result;
}

// The answer's chunk list, proven as an install run proves it, then held
// against the downloaded package.
CheckStep chunkListStep(const PackageLink& link, const std::optional<std::string>& signingKey,
                        const fs::path& package) {
  const std::string name = "chunk list";
  if (!signingKey) return {name, true, "not checked: the installer has no PackageSigningPublicKey"};
  if (!link.chunks && !link.chunksSignature) {
    return {name, true, "none in the answer; the installer proves the package whole before it unpacks it"};
  }
  auto list = link.size && link.sha256 && link.chunks ? decodeChunkList(*link.size, *link.sha256, *link.chunks)
                                                      : std::nullopt;
  if (!list) return {name, false, "size, sha256 and chunks do not make a chunk list; every install is refused"};
  auto signature = link.chunksSignature ? base64Decode(*link.chunksSignature) : std::nullopt;
  auto key = base64Decode(*signingKey);
  if (!signature || !key || !verifyChunkList(*list, *signature, *key)) {
    return {name, false, "chunks_signature is not PackageSigningPublicKey's signature of this chunk list"};
  }
  const ChunkList actual = chunkListOfFile(package);
  if (actual.size != list->size) {
    return {name, false, "the package has " + std::to_string(actual.size) + " bytes, the chunk list " +
                             std::to_string(list->size)};
  }
  for (std::size_t i = 0; i < list->count(); ++i) {
    if (actual.digests.compare(i * kChunkDigestBytes, kChunkDigestBytes, list->digests, i * kChunkDigestBytes,
                               kChunkDigestBytes) != 0) {
      return {name, false, "chunk " + std::to_string(i) + " of the package does not match its digest"};
    }
  }
  return {name, true, std::to_string(list->count()) + " chunk(s), signed and matching"};
}

}  // namespace

bool runLiveCheck(const fs::path& installerBundle, const LiveCheckOptions& options,
                  const std::function<void(const CheckStep&)>& report) {
  auto step = [&](const std::string& name, bool passed, const std::string& detail) {
    report({name, passed, detail});
    return passed;
  };

  auto bundle = platform::Bundle::open(installerBundle);
  if (!bundle) return step("configuration", false, installerBundle.string() + " is not a bundle");
  const std::string language = languageOf(*bundle);
  const AppConfig config = AppConfig::load(*bundle, language);
  if (!config.checkUpdateURL || !config.checkUpdateApp) {
    return step("configuration", false, "CheckUpdateURL and CheckUpdateApp are needed for an update check");
  }
  step("configuration", true,
       "CheckUpdateURL " + config.checkUpdateURL->absoluteString() + ", app " + *config.checkUpdateApp);

  CurlCheckUpdateTransport::Options transportOptions;
  transportOptions.caBundlePath = options.caBundlePath;
  auto transport = std::make_shared<CurlCheckUpdateTransport>(transportOptions);
  PackageLinkResolver::Dependencies dependencies;
  dependencies.installedVersion = makeInstalledVersionLookup();
  dependencies.report = [](const ReportEvent&) {};
  dependencies.languageCode = [language] { return language; };
  auto resolver = PackageLinkResolver::create(config, transport, dependencies);
  auto resolution = resolver->resolve();
  if (auto* error = std::get_if<CheckUpdateError>(&resolution)) {
    std::string detail = error->description();
    if (error->as<check_update_error::missingAppURL>()) detail += " (app_url missing or not an https address)";
    return step("update check", false, detail);
  }
  if (!std::holds_alternative<PackageLink>(resolution)) {
    return step("update check", false, "the installer is not configured for an update check");
  }
  const PackageLink link = std::get<PackageLink>(resolution);
  step("update check", true,
       "app_url " + link.url.absoluteString() + ", version " + link.version.value_or("(none)"));

  ScratchDirectory scratch(options.workDirectory);
  // The unarchiver tells formats apart by extension, as the installer's cache file keeps it.
  std::string name = fs::path(platform::percentDecode(link.url.path())).filename().string();
  if (name.empty() || name == "." || name == "..") name = "package";
  const fs::path package = scratch.path() / name;
  PackageExpectations expected;
  expected.md5 = link.md5 ? link.md5 : config.packageMD5;
  expected.sha256 = link.sha256;
  expected.signature = link.signature;
  if (config.packageSigningPublicKey) expected.signingKey = config.packageSigningPublicKey;
  DigestKinds kinds = expected.kinds();
  kinds.md5 = kinds.sha256 = true;
  auto fetched = download(link, package, options, kinds);
  if (!step("download", fetched.ok, fetched.detail)) return false;

  if (config.packageSize && *config.packageSize >= 1) {
    bool same = *config.packageSize == fetched.digests.size;
    if (!step("size", same,
              same ? std::to_string(fetched.digests.size) + " bytes as DownloadPackageSize says"
                   : "size mismatch: expected " + std::to_string(*config.packageSize) + ", got " +
                         std::to_string(fetched.digests.size) + " (DownloadPackageSize)")) {
      return false;
    }
  }
  struct Check {
    const char* name;
    PackageExpectations only;
    std::string unchecked;
  };
  const Check checks[] = {
      {"md5", {.md5 = expected.md5}, "not checked: neither the answer nor DownloadPackageMD5 gives one"},
      {"sha256", {.sha256 = expected.sha256}, "not checked: the answer carries none"},
      {"signature", {.signature = expected.signature, .signingKey = expected.signingKey},
       config.packageSigningKeyMalformed ? "" : "not checked: the installer has no PackageSigningPublicKey"},
  };
  for (const auto& check : checks) {
    if (!check.only.any()) {
      if (check.unchecked.empty()) {
        return step(check.name, false, "PackageSigningPublicKey is malformed; every install is refused");
      }
      step(check.name, true, check.unchecked);
      continue;
    }
    try {
      verifyDigests(fetched.digests, check.only);
    } catch (const IntegrityError& e) {
      return step(check.name, false, e.what());
    }
    step(check.name, true, std::string(check.name) + " matches");
  }
  try {
    auto chunks = chunkListStep(link, expected.signingKey, package);
    report(chunks);
    if (!chunks.passed) return false;
  } catch (const std::exception& e) {
    return step("chunk list", false, e.what());
  }

  fs::path helpers = installerBundle / "Contents" / "Helpers";
  PackageTools tools = fs::is_directory(helpers) ? PackageTools::withHelpers(helpers) : PackageTools::standard();
  try {
    auto payload = unarchivePackage(package, scratch.path(), tools);
    auto product = platform::Bundle::open(payload.applicationURL);
    std::string identifier = product ? product->identifier() : "";
    std::string version = product ? product->shortVersion() : "";
    auto executable = product ? product->executablePath() : std::nullopt;
    bool runnable = executable && ::access(executable->c_str(), X_OK) == 0;
    std::string found = payload.applicationURL.filename().string() + " (" + identifier + ", version " +
                        (version.empty() ? "none" : version) + ")";
    payload.cleanup();
    if (!step("unpack", true, "found " + found)) return false;
    if (identifier != config.productID) {
      return step("bundle", false, "CFBundleIdentifier " + identifier + " is not InstallApplicationID " +
                                       config.productID + "; the installer would not recognise the installed copy");
    }
    if (!runnable) {
      return step("bundle", false, "CFBundleExecutable is missing or not executable; the product cannot be launched");
    }
    return step("bundle", true, "identifier and executable as the installer needs them");
  } catch (const std::exception& e) {
    return step("unpack", false, e.what());
  }
}

}  // namespace installer::publish
