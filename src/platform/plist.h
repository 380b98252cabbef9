// Property-list values and the reading of property-list files (XML or
// binary). Values are plain copyable data; nothing here is shared.
#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <variant>
#include <vector>

namespace installer::platform {

class PlistValue;
using PlistArray = std::vector<PlistValue>;
using PlistDict = std::map<std::string, PlistValue>;

// A date, as seconds since 2001-01-01 00:00:00 UTC.
struct PlistDate {
  double secondsSinceReferenceDate = 0;
  bool operator==(const PlistDate&) const = default;
};

struct PlistData {
  std::vector<std::uint8_t> bytes;
  bool operator==(const PlistData&) const = default;
};

// One property-list value of any kind. Booleans and integers are distinct
// kinds here; callers that treat booleans as numbers say so explicitly
// (`numberValue`).
class PlistValue {
 public:
  using Storage = std::variant<std::string, std::int64_t, double, bool, PlistDate,
                               PlistData, PlistArray, PlistDict>;

  PlistValue() : v_(std::string()) {}
  PlistValue(std::string s) : v_(std::move(s)) {}
  PlistValue(const char* s) : v_(std::string(s)) {}
  PlistValue(std::int64_t i) : v_(i) {}
  PlistValue(int i) : v_(static_cast<std::int64_t>(i)) {}
  PlistValue(double d) : v_(d) {}
  PlistValue(bool b) : v_(b) {}
  PlistValue(PlistDate d) : v_(d) {}
  PlistValue(PlistData d) : v_(std::move(d)) {}
  PlistValue(PlistArray a) : v_(std::move(a)) {}
  PlistValue(PlistDict d) : v_(std::move(d)) {}

  const Storage& storage() const { return v_; }

  bool isString() const { return std::holds_alternative<std::string>(v_); }
  bool isInteger() const { return std::holds_alternative<std::int64_t>(v_); }
  bool isReal() const { return std::holds_alternative<double>(v_); }
  bool isBool() const { return std::holds_alternative<bool>(v_); }
  // Integers, reals and booleans: the kinds the platform calls numbers.
  bool isNumber() const { return isInteger() || isReal() || isBool(); }

  // Null when the value is not of that kind.
  const std::string* string() const { return std::get_if<std::string>(&v_); }
  const PlistArray* array() const { return std::get_if<PlistArray>(&v_); }
  const PlistDict* dict() const { return std::get_if<PlistDict>(&v_); }

  // A number's value (true = 1, false = 0); absent for other kinds.
  std::optional<double> numberValue() const;
  // A number truncated toward zero to a signed 64-bit integer (reals out of
  // range are clamped); absent for other kinds.
  std::optional<std::int64_t> integerValue() const;

  bool operator==(const PlistValue&) const = default;

 private:
  Storage v_;
};

// A key -> value lookup over a property-list dictionary; the configuration
// reads through this so that tests can hand it a plain map.
class KeyValueSource {
 public:
  virtual ~KeyValueSource() = default;
  virtual std::optional<PlistValue> lookup(const std::string& key) const = 0;
};

// A KeyValueSource over an in-memory dictionary.
class DictKeyValueSource final : public KeyValueSource {
 public:
  explicit DictKeyValueSource(PlistDict dict) : dict_(std::move(dict)) {}
  std::optional<PlistValue> lookup(const std::string& key) const override;

 private:
  PlistDict dict_;
};

// Parses an XML or binary property list whose root is a dictionary.
// Returns absent and sets `*error` (when given) for a missing or unreadable
// file, a malformed list, or a root of another kind. Never throws for bad
// input.
std::optional<PlistDict> readPlistDict(const std::filesystem::path& file,
                                       std::string* error = nullptr);
std::optional<PlistDict> parsePlistDict(const std::string& bytes,
                                        std::string* error = nullptr);

// Writes `dict` as an XML property list (used by tests and the demo to make
// bundles). Returns false on an I/O error.
bool writeXmlPlist(const std::filesystem::path& file, const PlistDict& dict);

}  // namespace installer::platform
