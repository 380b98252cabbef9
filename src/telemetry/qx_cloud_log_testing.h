// Fault injection for the cloud log bridge's tests: replaces the producer
// constructor the bridge calls, so a test can have the producer refuse a
// configuration the real library would accept, and the machine's identifier
// source, so a test knows the identifier on any machine (or its absence).
#pragma once

#include <optional>
#include <string>

#include "logproducer/log_producer_client.h"

namespace installer::testing {

using LogProducerFactory = log_producer* (*)(log_producer_config* config,
                                             on_log_producer_send_done_function sendDone,
                                             void* userParam);

// While alive, qx_cl_init creates its producer through `factory`. As with
// create_log_producer, a returned producer owns `config`; on failure (null)
// the bridge destroys it. Not thread-safe against a concurrent qx_cl_init.
class ScopedLogProducerFactory {
 public:
  explicit ScopedLogProducerFactory(LogProducerFactory factory);
  ~ScopedLogProducerFactory();
  ScopedLogProducerFactory(const ScopedLogProducerFactory&) = delete;
  ScopedLogProducerFactory& operator=(const ScopedLogProducerFactory&) = delete;

 private:
  LogProducerFactory previous_;
};

// The platform identifier qx_cl_machine_id reads; absent = none.
using MachineIdentifierSource = std::optional<std::string> (*)();

// While alive, qx_cl_machine_id reads the identifier from `source` instead
// of the platform. Not thread-safe against a concurrent swap; reads during
// the swap see the old or the new source.
class ScopedMachineIdentifierSource {
 public:
  explicit ScopedMachineIdentifierSource(MachineIdentifierSource source);
  ~ScopedMachineIdentifierSource();
  ScopedMachineIdentifierSource(const ScopedMachineIdentifierSource&) = delete;
  ScopedMachineIdentifierSource& operator=(const ScopedMachineIdentifierSource&) = delete;

 private:
  MachineIdentifierSource previous_;
};

}  // namespace installer::testing
