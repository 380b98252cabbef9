// The masked byte tables of the log deployment constants. Defined by a
// source file that the build generates from its cache variables; read only
// by log_deployment.cc.
#pragma once

#include <cstddef>

namespace installer::log_deployment_tables {

extern const unsigned char kMask;
extern const unsigned char kEndpoint[];
extern const std::size_t kEndpointLength;
extern const unsigned char kProject[];
extern const std::size_t kProjectLength;
extern const unsigned char kLogstore[];
extern const std::size_t kLogstoreLength;
extern const unsigned char kAccessKeyId[];
extern const std::size_t kAccessKeyIdLength;
extern const unsigned char kAccessKeySecret[];
extern const std::size_t kAccessKeySecretLength;

}  // namespace installer::log_deployment_tables
