#include "run_status/install_types.h"

#include <charconv>
#include <cmath>
#include <type_traits>

#include "platform/localization.h"
#include "platform/system_info.h"

namespace installer {

namespace {

const char kConnectionHint[] = "Please make sure you have Internet connection and try again.";

template <typename T>
constexpr bool hasDetail = requires(const T& t) { t.detail; };

// Fixed-point text independent of the process locale (GTK sets LC_NUMERIC
// from the environment, and these texts must always use ".").
std::string fixed(double value, int fractionDigits) {
  char buf[64];
  auto res = std::to_chars(buf, buf + sizeof buf, value, std::chars_format::fixed, fractionDigits);
  return std::string(buf, res.ptr);
}

}  // namespace

bool isBusy(InstallStage stage) {
  return stage != InstallStage::idle && stage != InstallStage::finished;
}

std::string statusText(InstallStage stage) {
  switch (stage) {
    case InstallStage::checking:
      return platform::localized("Checking for updates");
    case InstallStage::downloading:
    case InstallStage::verifying:
      return platform::localized("Downloading");
    case InstallStage::mounting:
    case InstallStage::installing:
      return platform::localized("Installing");
    case InstallStage::idle:
    case InstallStage::finished:
      break;
  }
  return std::string();
}

bool TransferProgress::operator==(const TransferProgress& other) const {
  return received == other.received && expected == other.expected &&
         bytesPerSecond == other.bytesPerSecond && remaining == other.remaining;
}

std::string percentText(const TransferProgress& progress) {
  double fraction = 0;
  if (progress.expected >= 1) {
    fraction = static_cast<double>(progress.received) / static_cast<double>(progress.expected);
  }
  if (std::isnan(fraction) || fraction < 0) fraction = 0;
  if (fraction > 1) fraction = 1;
  return fixed(fraction * 100, 1) + "%";
}

std::string failureTitle(const InstallFailure& failure) {
  if (std::holds_alternative<failure::systemTooOld>(failure)) {
    return platform::localized("The current macOS version is too old.");
  }
  return platform::localized("An error occurred during installation.");
}

std::string failureMessage(const InstallFailure& failure) {
  return std::visit(
      [](const auto& f) -> std::string {
        using T = std::decay_t<decltype(f)>;
        if constexpr (std::is_same_v<T, failure::systemTooOld>) {
          return platform::localized(
              "The current macOS version is too old to run the software. Please try to download "
              "system-supported version of the software and reinstall.");
        } else if constexpr (std::is_same_v<T, failure::network> ||
                             std::is_same_v<T, failure::noDownloadURL> ||
                             std::is_same_v<T, failure::cancelled>) {
          return platform::localized(kConnectionHint);
        } else {
          return platform::localized(kConnectionHint) + "\n" + f.detail;
        }
      },
      failure);
}

std::string failureDetail(const InstallFailure& failure) {
  return std::visit(
      [](const auto& f) -> std::string {
        if constexpr (hasDetail<std::decay_t<decltype(f)>>) {
          return f.detail;
        } else {
          return std::string();
        }
      },
      failure);
}

std::string failureCaseName(const InstallFailure& failure) {
  static const char* const kNames[] = {
      "network",     "diskSpace",       "verifyFailed",      "mountFailed",
      "extractFailed", "permissionDenied", "installFailed",   "launchFailed",
      "checkUpdateFailed", "systemTooOld", "noDownloadURL",   "cancelled"};
  static_assert(std::size(kNames) == std::variant_size_v<InstallFailure>);
  return kNames[failure.index()];
}

FailureBox::FailureBox(InstallFailure failure) : failure_(std::move(failure)) {
  what_ = failureCaseName(failure_);
  std::string detail = failureDetail(failure_);
  if (!detail.empty()) what_ += ": " + detail;
}

DialogAction::DialogAction(std::string title, Role role, std::function<void()> handler)
    : id(platform::makeUUID()), title(std::move(title)), role(role), handler(std::move(handler)) {}

DialogSpec::DialogSpec(std::string title, std::string message, std::vector<DialogAction> actions,
                       bool showsIcon)
    : id(platform::makeUUID()),
      title(std::move(title)),
      message(std::move(message)),
      actions(std::move(actions)),
      showsIcon(showsIcon) {}

namespace {

// The byte-count style of a file-size display: fixed units and how many
// fraction digits each shows at most. Built once; immutable afterwards.
class ByteCountFormatter {
 public:
  std::string format(std::int64_t bytes) const {
    if (bytes == 0) return "Zero KB";
    const bool negative = bytes < 0;
    // Magnitude in double: exact up to 2^53 bytes, far beyond any package.
    double magnitude = std::fabs(static_cast<double>(bytes));
    std::size_t unit = 0;
    std::string number;
    for (;; ++unit) {
      double scaled = magnitude / units_[unit].divisor;
      number = fixed(scaled, units_[unit].fractionDigits);
      // Rounding may carry into the next unit (999 999 bytes is "1 MB").
      double shown = 0;
      std::from_chars(number.data(), number.data() + number.size(), shown);
      if (unit + 1 < std::size(units_) && shown >= 1000) continue;
      break;
    }
    number = trimFraction(number);
    if (number == "0") number[0] = '1';  // non-empty data never reads as nothing
    // Appended piece by piece: GCC 12 misreads concatenated temporaries as an
    // overlapping copy at -O3.
    std::string text;
    if (negative) text.push_back('-');
    text.append(group(number)).append(1, ' ').append(units_[unit].name);
    return text;
  }

 private:
  struct Unit {
    const char* name;
    double divisor;
    int fractionDigits;
  };

  static std::string trimFraction(std::string number) {
    auto dot = number.find('.');
    if (dot == std::string::npos) return number;
    while (number.back() == '0') number.pop_back();
    if (number.back() == '.') number.pop_back();
    return number;
  }

  // Thousands separators in the integer part (only gigabytes get there).
  static std::string group(const std::string& number) {
    auto dot = number.find('.');
    std::string integer = number.substr(0, dot);
    std::string rest = dot == std::string::npos ? "" : number.substr(dot);
    std::string out;
    for (std::size_t i = 0; i < integer.size(); ++i) {
      if (i > 0 && (integer.size() - i) % 3 == 0) out += ',';
      out += integer[i];
    }
    return out + rest;
  }

  const Unit units_[3] = {{"KB", 1e3, 0}, {"MB", 1e6, 1}, {"GB", 1e9, 2}};
};

}  // namespace

std::string formatByteCount(std::int64_t bytes) {
  static const ByteCountFormatter formatter;
  return formatter.format(bytes);
}

}  // namespace installer
