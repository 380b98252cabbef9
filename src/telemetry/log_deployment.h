// The cloud log service account this build reports to: the five constants
// handed to qx_cl_init, fixed when the build is configured (the CMake cache
// variables INSTALLER_LOG_ENDPOINT, INSTALLER_LOG_PROJECT,
// INSTALLER_LOG_LOGSTORE, INSTALLER_LOG_ACCESS_KEY_ID and
// INSTALLER_LOG_ACCESS_KEY_SECRET). All empty by default, which leaves
// telemetry off.
//
// The build stores every constant as a byte table combined with one
// one-byte mask (exclusive or), so the credentials never appear as text in
// the binary; they become text here, on first use.
#pragma once

#include <cstddef>
#include <string>

namespace installer {

struct LogDeployment {
  std::string endpoint;         // host[:port], no scheme
  std::string project;
  std::string logstore;
  std::string accessKeyId;
  std::string accessKeySecret;
};

// The build's constants, unmasked once per process and retained. Any thread.
const LogDeployment& buildLogDeployment();

// Unmasks `length` bytes of `table` with `mask` and decodes them as UTF-8,
// replacing invalid sequences with U+FFFD.
std::string unmaskText(const unsigned char* table, std::size_t length, unsigned char mask);

}  // namespace installer
