// demo_log_service: a local cloud log service for trying the installer.
//
//   demo_log_service --port N --access-key-id ID --access-key-secret SECRET
//
// Accepts uploads at http://<project>.localhost:N/logstores/<logstore>/shards/lb,
// checks each one as the real service does (headers, Content-MD5, the
// HMAC-SHA1 signature, LZ4 body, log-group encoding) and prints one line per
// log as it arrives:
//
//   log <logstore> Attribute=<json> Activity=<event> GenerateUuid={...} ...
//
// and one "rejected: <why>" line per refused upload. The producer's one-shot
// clock check, a placeholder request refused by design, gets a line of its
// own saying so ("clock check: ..."). The installer
// reaches it when built with INSTALLER_LOG_ENDPOINT=localhost:N. Serves until
// SIGINT or SIGTERM.
#include <pthread.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>
#include <thread>

#include "support/fake_log_service.h"

namespace {

void printRequest(const installer_test::ReceivedRequest& request) {
  if (request.answeredStatus < 200 || request.answeredStatus >= 300) return;
  for (const auto& log : request.group.logs) {
    std::string line = "log " + request.logstore;
    for (const auto& [key, value] : log.contents) line += " " + key + "=" + value;
    std::printf("%s\n", line.c_str());
  }
}

void printRejection(const installer_test::Rejection& rejection) {
  if (rejection.isClockCheck()) {
    std::printf(
        "clock check: the log producer's placeholder request, refused as intended; "
        "it only reads the service's time from the answer\n");
  } else {
    std::printf("rejected: %s\n", rejection.why.c_str());
  }
}

int usage() {
  std::fprintf(stderr, "usage: demo_log_service --port N --access-key-id ID --access-key-secret SECRET\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  int port = 0;
  std::string keyId;
  std::string secret;
  for (int i = 1; i + 1 < argc; i += 2) {
    std::string option = argv[i];
    if (option == "--port") port = std::atoi(argv[i + 1]);
    else if (option == "--access-key-id") keyId = argv[i + 1];
    else if (option == "--access-key-secret") secret = argv[i + 1];
    else return usage();
  }
  if (argc % 2 == 0 || port <= 0 || keyId.empty() || secret.empty()) return usage();

  // The stop signal is taken by a thread of ours; the server threads never see it.
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);
  static volatile std::sig_atomic_t stopping = 0;
  std::thread([signals]() mutable {
    int received = 0;
    sigwait(&signals, &received);
    stopping = 1;
  }).detach();

  try {
    installer_test::FakeLogService service(keyId, secret, port);
    std::printf("log service: http://<project>.%s/ (build with INSTALLER_LOG_ENDPOINT=%s)\n",
                service.endpoint().c_str(), service.endpoint().c_str());
    std::fflush(stdout);
    size_t printed = 0;
    size_t rejected = 0;
    while (!stopping) {
      service.waitForRequests(printed + 1, std::chrono::milliseconds(200));
      std::vector<installer_test::ReceivedRequest> requests = service.requests();
      for (; printed < requests.size(); ++printed) printRequest(requests[printed]);
      std::vector<installer_test::Rejection> rejections = service.rejections();
      for (; rejected < rejections.size(); ++rejected) printRejection(rejections[rejected]);
      std::fflush(stdout);
    }
  } catch (const std::exception& e) {
    std::fprintf(stderr, "demo_log_service: %s\n", e.what());
    return 1;
  }
  return 0;
}
