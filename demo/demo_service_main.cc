// demo_service: the local update service for trying the installer.
//
//   demo_service [--port N] [--root DIR] [--answer FILE]
//                [--throttle BYTES_PER_SEC] [--ca-out DIR]
//                [--signing-key FILE]
//
// Prints its addresses, then serves until interrupted.
#include <csignal>
#include <cstdio>
#include <string>
#include <vector>

#include "demo/demo_service.h"
#include "proof/package_signature.h"

int main(int argc, char** argv) {
  std::vector<std::string> arguments(argv + 1, argv + argc);
  std::string error;
  auto options = installer::demo::parseDemoArguments(arguments, &error);
  if (!options) {
    if (error != "help") std::fprintf(stderr, "demo_service: %s\n", error.c_str());
    std::fprintf(stderr,
                 "usage: demo_service [--port N] [--root DIR] [--answer FILE]\n"
                 "                    [--throttle BYTES_PER_SEC] [--ca-out DIR]\n"
                 "                    [--signing-key FILE]\n");
    return error == "help" ? 0 : 2;
  }

  // Wait for the stop signal in this thread; the server threads never see it.
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);

  installer::demo::DemoService service(*options);
  if (!service.start(&error)) {
    std::fprintf(stderr, "demo_service: %s\n", error.c_str());
    return 1;
  }
  std::printf("base URL:         %s\n", service.baseURL().c_str());
  std::printf("update check URL: %s\n", service.checkUpdateURL().c_str());
  std::printf("packages:         %s/packages/NAME\n", service.baseURL().c_str());
  std::printf("CA bundle:        %s\n", service.caBundlePath().string().c_str());
  if (options->signingSecretKey) {
    auto publicKey = installer::signingPublicKeyOf(*options->signingSecretKey);
    std::printf("signing key:      %s (PackageSigningPublicKey)\n",
                installer::base64Encode(*publicKey).c_str());
  }
  std::fflush(stdout);

  int received = 0;
  sigwait(&signals, &received);
  service.stop();
  return 0;
}
