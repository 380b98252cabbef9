#include "telemetry/log_deployment.h"

#include <glib.h>

#include "telemetry/log_deployment_tables.h"

namespace installer {

std::string unmaskText(const unsigned char* table, std::size_t length, unsigned char mask) {
  std::string bytes(length, '\0');
  for (std::size_t i = 0; i < length; ++i) bytes[i] = static_cast<char>(table[i] ^ mask);
  gchar* valid = g_utf8_make_valid(bytes.data(), static_cast<gssize>(bytes.size()));
  std::string text(valid);
  g_free(valid);
  return text;
}

const LogDeployment& buildLogDeployment() {
  // Leaked on purpose: threads may still start the tracker during exit.
  static const LogDeployment* deployment = [] {
    using namespace log_deployment_tables;
    return new LogDeployment{unmaskText(kEndpoint, kEndpointLength, kMask),
                             unmaskText(kProject, kProjectLength, kMask),
                             unmaskText(kLogstore, kLogstoreLength, kMask),
                             unmaskText(kAccessKeyId, kAccessKeyIdLength, kMask),
                             unmaskText(kAccessKeySecret, kAccessKeySecretLength, kMask)};
  }();
  return *deployment;
}

}  // namespace installer
