#include "ui/web_process_check.h"

#include <gtest/gtest.h>

#include <filesystem>

namespace installer {
namespace {

TEST(WebProcessCheckTest, AStartIsRefusedOnlyWhereTheEngineWouldEndTheProgram) {
  const std::string present = std::filesystem::temp_directory_path().string();
  const std::string missing = present + "/no-such-bus-directory-for-the-check";
  struct Case {
    const char* name;
    WebSandboxFacts facts;
    bool refused;
  };
  auto facts = [](std::optional<std::string> session, std::string accessibility = {}) {
    WebSandboxFacts f;
    f.sessionBusAddress = std::move(session);
    f.accessibilityBusAddress = std::move(accessibility);
    f.bubblewrap = f.busProxy = "/bin/sh";  // any program that exists
    return f;
  };
  auto without = [](WebSandboxFacts f, std::filesystem::path WebSandboxFacts::*tool) {
    f.*tool = "/nonexistent/program";
    return f;
  };
  auto unsandboxed = [](WebSandboxFacts f) {
    f.sandboxed = false;
    return f;
  };
  const Case cases[] = {
      {"no bus: no proxy", facts(std::nullopt), false},
      {"session bus in a directory", facts("unix:path=" + present + "/bus"), false},
      {"session bus in a missing directory", facts("unix:path=" + missing + "/bus"), true},
      {"the address goes on after the path",
       facts("unix:path=" + missing + "/bus,guid=0123456789abcdef0123456789abcdef"), true},
      {"abstract socket: nothing to mount", facts("unix:abstract=/tmp/dbus-test,guid=01"), false},
      {"tcp: nothing to mount", facts("tcp:host=127.0.0.1,port=1"), false},
      {"accessibility bus in a missing directory", facts(std::nullopt, "unix:path=" + missing + "/at-spi"), true},
      {"no sandbox: no proxy", unsandboxed(facts("unix:path=" + missing + "/bus")), false},
      {"proxy program missing", without(facts("unix:path=" + present + "/bus"), &WebSandboxFacts::busProxy), true},
      {"proxy program missing, no bus to proxy", without(facts(std::nullopt), &WebSandboxFacts::busProxy), false},
      {"sandbox program missing", without(facts(std::nullopt), &WebSandboxFacts::bubblewrap), true},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(webProcessStartProblem(c.facts).has_value(), c.refused) << c.name;
  }
}

}  // namespace
}  // namespace installer
