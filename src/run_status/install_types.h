// The values that pass between the install run and the screens: the stage
// of the run, transfer progress, failures and dialog descriptions, with the
// texts the screens show for them. Plain values; any thread.
#pragma once

#include <cstdint>
#include <exception>
#include <functional>
#include <optional>
#include <string>
#include <variant>
#include <vector>

namespace installer {

// The stage of one run; the ordinal is the declaration order (0 to 6) and
// the quit guard relies on it.
enum class InstallStage { idle, checking, downloading, verifying, mounting, installing, finished };

// True for checking … installing.
bool isBusy(InstallStage stage);
// "Checking for updates", "Downloading", "Installing" (localized), or ""
// for idle and finished.
std::string statusText(InstallStage stage);

struct TransferProgress {
  std::int64_t received = 0;
  std::int64_t expected = 0;  // 0 or less when unknown
  double bytesPerSecond = 0;
  std::optional<double> remaining;  // seconds; absent when unknown

  // Equal when received, expected and speed are equal (a NaN speed is
  // never equal) and remaining is absent in both or equal in both.
  bool operator==(const TransferProgress& other) const;
};

// "42.5%": received / expected clamped to 0…1 (0 when expected < 1).
std::string percentText(const TransferProgress& progress);

// The failure kinds. Nine carry a detail text; three carry nothing.
namespace failure {
struct network { std::string detail; bool operator==(const network&) const = default; };
struct diskSpace { std::string detail; bool operator==(const diskSpace&) const = default; };
struct verifyFailed { std::string detail; bool operator==(const verifyFailed&) const = default; };
struct mountFailed { std::string detail; bool operator==(const mountFailed&) const = default; };
struct extractFailed { std::string detail; bool operator==(const extractFailed&) const = default; };
struct permissionDenied { std::string detail; bool operator==(const permissionDenied&) const = default; };
struct installFailed { std::string detail; bool operator==(const installFailed&) const = default; };
struct launchFailed { std::string detail; bool operator==(const launchFailed&) const = default; };
struct checkUpdateFailed { std::string detail; bool operator==(const checkUpdateFailed&) const = default; };
struct systemTooOld { bool operator==(const systemTooOld&) const = default; };
struct noDownloadURL { bool operator==(const noDownloadURL&) const = default; };
struct cancelled { bool operator==(const cancelled&) const = default; };
}  // namespace failure

using InstallFailure =
    std::variant<failure::network, failure::diskSpace, failure::verifyFailed,
                 failure::mountFailed, failure::extractFailed, failure::permissionDenied,
                 failure::installFailed, failure::launchFailed, failure::checkUpdateFailed,
                 failure::systemTooOld, failure::noDownloadURL, failure::cancelled>;

// Localized dialog title and message for a failure.
std::string failureTitle(const InstallFailure& failure);
std::string failureMessage(const InstallFailure& failure);
// The detail text of a payload case; "" for the three without one.
std::string failureDetail(const InstallFailure& failure);
// A short name of the case ("network", "systemTooOld"), for logs and tests.
std::string failureCaseName(const InstallFailure& failure);

// Thrown by install steps to end the run with a specific failure.
class FailureBox : public std::exception {
 public:
  explicit FailureBox(InstallFailure failure);
  const InstallFailure& failure() const { return failure_; }
  const char* what() const noexcept override { return what_.c_str(); }

 private:
  InstallFailure failure_;
  std::string what_;
};

struct DialogAction {
  enum class Role { primary, secondary };

  // A new action with a fresh identifier.
  DialogAction(std::string title, Role role, std::function<void()> handler);

  std::string id;  // upper-case UUID text; actions are identified by it
  std::string title;
  Role role;
  std::function<void()> handler;

  bool operator==(const DialogAction& other) const { return id == other.id; }
};

struct DialogSpec {
  // A new dialog with a fresh identifier.
  DialogSpec(std::string title, std::string message, std::vector<DialogAction> actions,
             bool showsIcon = true);

  std::string id;
  std::string title;
  std::string message;
  std::vector<DialogAction> actions;
  bool showsIcon;

  bool operator==(const DialogSpec& other) const { return id == other.id; }
};

// File-style byte counts in decimal units (1 KB = 1000 bytes), KB, MB and GB
// only, as a file-size display writes them. Rules: 0 is "Zero KB"; below
// 1 000 000 bytes kilobytes with no fraction ("999 KB"; any non-zero count
// shows at least "1 KB"); below 10^9 megabytes with at most one fraction
// digit ("2.5 MB", "2 MB"); above that gigabytes with at most two ("1.23 GB",
// "1,500 GB"). Rounding to nearest may carry into the next unit (999 999 is
// "1 MB"). Always "." and "," whatever the process locale. The formatter
// behind it is built once; any thread.
std::string formatByteCount(std::int64_t bytes);

}  // namespace installer
