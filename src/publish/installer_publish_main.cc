// installer-publish: the vendor's toolkit around the installer.
//
//   installer-publish keygen KEYFILE
//   installer-publish pack BUNDLE.app --format zip|pkg|dmg -o OUT
//   installer-publish sign PACKAGE --key KEYFILE --url URL --version V [--mirror URL ...]
//                          [-o answer.json]
//   installer-publish lint INSTALLER.app
//   installer-publish check INSTALLER.app [--cacert FILE]
//   installer-publish serve --root DIR [--answer FILE] [--port N]
//                           [--throttle BYTES_PER_SEC] [--ca-out DIR] [--signing-key FILE]
//
// Exit status: 0 success, 1 failure (lint errors, a failed check step),
// 2 a usage error.
#include <csignal>
#include <cstdio>
#include <exception>
#include <fstream>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "network/check_update.h"
#include "proof/package_signature.h"
#include "publish/bundle_lint.h"
#include "publish/bundle_packer.h"
#include "publish/demo_service.h"
#include "publish/live_check.h"
#include "publish/update_answer.h"

namespace {

using namespace installer;
using namespace installer::publish;

const char kUsage[] =
    "usage: installer-publish keygen KEYFILE\n"
    "       installer-publish pack BUNDLE.app --format zip|pkg|dmg -o OUT\n"
    "       installer-publish sign PACKAGE --key KEYFILE --url URL --version V [--mirror URL ...]\n"
    "                              [-o answer.json]\n"
    "       installer-publish lint INSTALLER.app\n"
    "       installer-publish check INSTALLER.app [--cacert FILE]\n"
    "       installer-publish serve --root DIR [--answer FILE] [--port N]\n"
    "                               [--throttle BYTES_PER_SEC] [--ca-out DIR] [--signing-key FILE]\n";

int usage(const std::string& problem) {
  if (!problem.empty()) std::fprintf(stderr, "installer-publish: %s\n", problem.c_str());
  std::fputs(kUsage, stderr);
  return 2;
}

// One positional argument and options with values, each named in `known`;
// "--mirror" may be given again and again, in order.
struct Arguments {
  std::string positional;
  std::map<std::string, std::string> options;
  std::vector<std::string> mirrors;
};

std::optional<Arguments> parse(const std::vector<std::string>& args, const std::set<std::string>& known,
                               std::string* problem) {
  Arguments out;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    if (known.count(a)) {
      if (i + 1 >= args.size()) {
        *problem = a + " needs a value";
        return std::nullopt;
      }
      if (a == "--mirror") {
        out.mirrors.push_back(args[++i]);
      } else {
        out.options[a] = args[++i];
      }
    } else if (!a.empty() && a[0] != '-' && out.positional.empty()) {
      out.positional = a;
    } else {
      *problem = "unexpected argument " + a;
      return std::nullopt;
    }
  }
  return out;
}

void printSummary(const std::filesystem::path& package) {
  auto summary = summarizePackage(package);
  std::printf("package: %s\nsize:    %lld\nmd5:     %s\nsha256:  %s\n", package.c_str(),
              static_cast<long long>(summary.size), summary.md5.c_str(), summary.sha256.c_str());
}

int keygen(const Arguments& a) {
  if (a.positional.empty()) return usage("keygen needs KEYFILE");
  std::string publicKey = createSigningKeyFile(a.positional);
  std::printf("PackageSigningPublicKey: %s\n", publicKey.c_str());
  std::fprintf(stderr, "secret key written to %s (mode 0600); keep it out of version control\n",
               a.positional.c_str());
  return 0;
}

int pack(const Arguments& a) {
  auto format = a.options.count("--format") ? packageFormatNamed(a.options.at("--format")) : std::nullopt;
  if (a.positional.empty() || !format || !a.options.count("-o")) {
    return usage("pack needs BUNDLE.app, --format zip|pkg|dmg and -o OUT");
  }
  packBundle(a.positional, *format, a.options.at("-o"));
  printSummary(a.options.at("-o"));
  return 0;
}

int sign(const Arguments& a) {
  for (const char* option : {"--key", "--url", "--version"}) {
    if (a.positional.empty() || !a.options.count(option)) return usage("sign needs PACKAGE, --key, --url and --version");
  }
  std::string answer = makeUpdateAnswer(a.positional, a.options.at("--key"), a.options.at("--url"),
                                        a.options.at("--version"), a.mirrors);
  if (!std::get<PackageLink>(parsePackageLink(answer, 200)).chunks) {
    std::fprintf(stderr, "note: %s is too large for a chunk list in the answer; the installer proves it whole "
                         "before it unpacks it\n", a.positional.c_str());
  }
  if (!a.options.count("-o")) {
    std::fputs(answer.c_str(), stdout);
    return 0;
  }
  std::ofstream out(a.options.at("-o"), std::ios::binary | std::ios::trunc);
  out << answer;
  out.close();
  if (!out) throw std::runtime_error("cannot write " + a.options.at("-o"));
  std::printf("answer written to %s\n", a.options.at("-o").c_str());
  return 0;
}

int lint(const Arguments& a) {
  if (a.positional.empty()) return usage("lint needs INSTALLER.app");
  auto findings = lintInstallerBundle(a.positional);
  for (const auto& f : findings) std::printf("%s\n", f.line().c_str());
  bool failed = hasErrors(findings);
  std::printf("%s: %zu finding(s), %s\n", a.positional.c_str(), findings.size(),
              failed ? "errors found" : "no errors");
  return failed ? 1 : 0;
}

int check(const Arguments& a) {
  if (a.positional.empty()) return usage("check needs INSTALLER.app");
  LiveCheckOptions options;
  if (a.options.count("--cacert")) options.caBundlePath = a.options.at("--cacert");
  bool passed = runLiveCheck(a.positional, options, [](const CheckStep& step) {
    std::printf("%s\n", step.line().c_str());
    std::fflush(stdout);
  });
  std::printf("%s\n", passed ? "an install would succeed" : "an install would fail");
  return passed ? 0 : 1;
}

int serve(const std::vector<std::string>& args) {
  std::string error;
  auto options = demo::parseDemoArguments(args, &error);
  if (!options) return error == "help" ? (std::fputs(kUsage, stdout), 0) : usage(error);

  // The stop signal is taken in this thread; the server threads never see it.
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);

  demo::DemoService service(*options);
  if (!service.start(&error)) {
    std::fprintf(stderr, "installer-publish: %s\n", error.c_str());
    return 1;
  }
  const std::string ca = std::filesystem::absolute(service.caBundlePath()).string();
  std::printf("base URL:         %s\n", service.baseURL().c_str());
  std::printf("update check URL: %s\n", service.checkUpdateURL().c_str());
  std::printf("packages:         %s/packages/NAME\n", service.baseURL().c_str());
  if (options->signingSecretKey) {
    auto publicKey = signingPublicKeyOf(*options->signingSecretKey);
    std::printf("signing key:      %s (PackageSigningPublicKey)\n", base64Encode(*publicKey).c_str());
  }
  std::printf("CA bundle:        %s (made for this run; `check --cacert` takes it)\n", ca.c_str());
#ifdef __APPLE__
  std::printf("trust the CA:     sudo security add-trusted-cert -d -r trustRoot -k /Library/Keychains/System.keychain '%s'\n",
              ca.c_str());
  std::printf("remove it:        sudo security remove-trusted-cert -d '%s'\n", ca.c_str());
#else
  const char* entry = "/usr/local/share/ca-certificates/installer-publish-test.crt";
  std::printf("trust the CA:     sudo install -m 644 '%s' %s && sudo update-ca-certificates\n", ca.c_str(), entry);
  std::printf("remove it:        sudo rm -f %s && sudo update-ca-certificates --fresh\n", entry);
#endif
  std::fflush(stdout);

  int received = 0;
  sigwait(&signals, &received);
  service.stop();
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return usage("");
  const std::string command = argv[1];
  const std::vector<std::string> args(argv + 2, argv + argc);
  if (command == "-h" || command == "--help" || command == "help") {
    std::fputs(kUsage, stdout);
    return 0;
  }
  if (command == "serve") return serve(args);
  static const std::map<std::string, std::pair<std::set<std::string>, int (*)(const Arguments&)>> commands = {
      {"keygen", {{}, keygen}},
      {"pack", {{"--format", "-o"}, pack}},
      {"sign", {{"--key", "--url", "--version", "--mirror", "-o"}, sign}},
      {"lint", {{}, lint}},
      {"check", {{"--cacert"}, check}},
  };
  auto it = commands.find(command);
  if (it == commands.end()) return usage("unknown command " + command);
  std::string problem;
  auto parsed = parse(args, it->second.first, &problem);
  if (!parsed) return usage(problem);
  try {
    return it->second.second(*parsed);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "installer-publish %s: %s\n", command.c_str(), e.what());
    return 1;
  }
}
