// Captures the events a Reporter hands to its sink, for install tests.
#pragma once

#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "telemetry/reporter.h"

namespace installer::testing {

class EventRecorder {
 public:
  EventRecorder()
      : reporter_([this](const std::string& name, const std::string& attributes) {
          std::lock_guard lock(mu_);
          events_.emplace_back(name, attributes);
        }) {}

  Reporter& reporter() { return reporter_; }

  // (wire name, attribute JSON text) in reporting order. Tests compare them
  // with literals written from the event table, never with the serializer.
  std::vector<std::pair<std::string, std::string>> events() const {
    std::lock_guard lock(mu_);
    return events_;
  }
  void clear() {
    std::lock_guard lock(mu_);
    events_.clear();
  }

 private:
  mutable std::mutex mu_;
  std::vector<std::pair<std::string, std::string>> events_;
  Reporter reporter_;
};

}  // namespace installer::testing
