// Fuzzes the kept record of an interrupted download (".partial-download" in
// the package cache) and the resume data inside it, through a download
// step that adopts it. The HTTP stack is a stand-in that answers every
// request with a lost connection, so the step also writes its own record
// back. Whatever the record says, nothing outside the cache directory is
// touched and the run ends with a failure, never a crash.
#include <unistd.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>

#include "install/package_cache.h"
#include "platform/http_client.h"
#include "telemetry/reporter.h"

namespace {

namespace fs = std::filesystem;

void check(bool condition) {
  if (!condition) std::abort();
}

class LostConnection final : public installer::platform::HttpClient {
 public:
  installer::platform::HttpResult perform(const installer::platform::HttpRequest&) override {
    return installer::platform::HttpError{installer::platform::url_error::networkConnectionLost,
                                          "connection lost", 0};
  }
};

// Private to this process; "@ROOT@" in the input stands for it, so that
// seeds and the dictionary can name the partial files.
const fs::path kRoot = fs::temp_directory_path() / ("installer-resume-fuzz-" + std::to_string(::getpid()));
const fs::path kCache = kRoot / "cache";
const fs::path kOutside = kRoot / "outside.partial";

std::string withRoot(std::string text) {
  const std::string mark = "@ROOT@";
  for (std::size_t at = text.find(mark); at != std::string::npos; at = text.find(mark, at)) {
    text.replace(at, mark.size(), kRoot.string());
    at += kRoot.string().size();
  }
  return text;
}

struct RemoveRootAtExit {
  ~RemoveRootAtExit() {
    std::error_code ec;
    fs::remove_all(kRoot, ec);
  }
} removeRootAtExit;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static installer::Reporter quiet([](const std::string&, const std::string&) {});
  static auto url = *installer::platform::URL::parse("https://h.example/p.dmg");

  std::error_code ec;
  fs::remove_all(kCache, ec);
  fs::create_directories(kCache, ec);
  {
    std::ofstream(kCache / ".partial-download", std::ios::binary)
        << withRoot(std::string(reinterpret_cast<const char*>(data), size));
    std::ofstream(kCache / "p.dmg.partial", std::ios::binary) << "0123456789abcdef";
    std::ofstream(kOutside, std::ios::binary) << "0123456789abcdef";
  }

  installer::PackageDownloadStep::Options options;
  options.cacheDirectory = kCache;
  options.workingDirectory = kRoot / "work";
  options.downloader.http = std::make_shared<LostConnection>();
  options.reporter = &quiet;
  options.wallClock = [] {
    return std::chrono::system_clock::time_point(std::chrono::seconds(1'800'000'000));
  };
  installer::PackageDownloadStep step(options);
  bool failed = false;
  try {
    installer::PackageDownloadStep::Hooks hooks;
    hooks.postStage = [](installer::InstallStage) {};
    hooks.postProgress = [](const installer::TransferProgress&) {};
    step.run(url, std::nullopt, installer::PackageExpectations{}, hooks);
  } catch (const installer::FailureBox&) {
    failed = true;
  }
  check(failed);
  check(fs::exists(kOutside));
  return 0;
}
