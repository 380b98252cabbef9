#include "platform/plist.h"

#include <plist/plist.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <limits>
#include <memory>

namespace installer::platform {

namespace {

// Property lists in bundles are small; anything larger is refused rather
// than handed to the parser.
constexpr std::size_t kMaxPlistBytes = 32u << 20;
// Deeper nesting than this is refused so that hostile files cannot exhaust
// the stack during conversion.
constexpr int kMaxDepth = 128;

struct PlistFree {
  void operator()(plist_t node) const {
    if (node) plist_free(node);
  }
};
using PlistPtr = std::unique_ptr<void, PlistFree>;

struct MallocFree {
  void operator()(char* p) const { std::free(p); }
};
using MallocString = std::unique_ptr<char, MallocFree>;

void setError(std::string* error, const std::string& text) {
  if (error) *error = text;
}

// libplist 2.2 keeps every integer as an unsigned 64-bit value; negative
// numbers are stored in two's complement, so reinterpreting the bits gives
// the signed value back. (Unsigned values above INT64_MAX, which only a
// 16-byte binary integer can hold, come out negative; property lists in
// practice never use them.)
std::int64_t signedFromPlistInteger(std::uint64_t raw) {
  std::int64_t value;
  std::memcpy(&value, &raw, sizeof value);
  return value;
}

std::uint64_t readBigEndian(const unsigned char* p, std::size_t size) {
  std::uint64_t value = 0;
  for (std::size_t i = 0; i < size; ++i) value = (value << 8) | p[i];
  return value;
}

// libplist 2.2 aborts (an assertion) when it hands out a dictionary key that
// holds a NUL character, which a crafted binary list can contain. This walks
// the binary object table first and refuses such lists. Property lists made
// by real tools never put NUL into strings, so nothing legitimate is lost.
// Returns false for a list that must not be handed to libplist.
bool binaryStringsAreSafe(const std::string& bytes) {
  const auto* data = reinterpret_cast<const unsigned char*>(bytes.data());
  const std::size_t size = bytes.size();
  if (size < 8 + 32) return false;
  const unsigned char* trailer = data + size - 32;
  const std::size_t offsetSize = trailer[6];
  const std::uint64_t objectCount = readBigEndian(trailer + 8, 8);
  const std::uint64_t tableOffset = readBigEndian(trailer + 24, 8);
  if (offsetSize < 1 || offsetSize > 8) return false;
  if (tableOffset >= size || objectCount > (size - tableOffset) / offsetSize) return false;
  for (std::uint64_t i = 0; i < objectCount; ++i) {
    std::uint64_t offset = readBigEndian(data + tableOffset + i * offsetSize, offsetSize);
    if (offset >= size) continue;  // libplist rejects it on its own
    const unsigned char marker = data[offset];
    const unsigned kind = marker >> 4;
    if (kind != 0x5 && kind != 0x6 && kind != 0x7) continue;  // ASCII, UTF-16, UTF-8
    std::uint64_t length = marker & 0x0F;
    std::uint64_t start = offset + 1;
    if (length == 0x0F) {
      if (start >= size || (data[start] >> 4) != 0x1) return false;
      std::size_t intSize = std::size_t{1} << (data[start] & 0x0F);
      if (intSize > 8 || start + 1 + intSize > size) return false;
      length = readBigEndian(data + start + 1, intSize);
      start += 1 + intSize;
    }
    std::uint64_t unit = kind == 0x6 ? 2 : 1;
    if (length > size || start > size || length * unit > size - start) continue;
    for (std::uint64_t j = 0; j < length; ++j) {
      const unsigned char* p = data + start + j * unit;
      if (unit == 1 ? p[0] == 0 : (p[0] == 0 && p[1] == 0)) return false;
    }
  }
  return true;
}

bool convert(plist_t node, int depth, PlistValue* out, std::string* error) {
  if (depth > kMaxDepth) {
    setError(error, "property list nested too deeply");
    return false;
  }
  switch (plist_get_node_type(node)) {
    case PLIST_BOOLEAN: {
      uint8_t b = 0;
      plist_get_bool_val(node, &b);
      *out = PlistValue(b != 0);
      return true;
    }
    case PLIST_UINT: {
      uint64_t raw = 0;
      plist_get_uint_val(node, &raw);
      *out = PlistValue(signedFromPlistInteger(raw));
      return true;
    }
    case PLIST_UID: {
      uint64_t raw = 0;
      plist_get_uid_val(node, &raw);
      *out = PlistValue(signedFromPlistInteger(raw));
      return true;
    }
    case PLIST_REAL: {
      double d = 0;
      plist_get_real_val(node, &d);
      *out = PlistValue(d);
      return true;
    }
    case PLIST_STRING: {
      uint64_t length = 0;
      const char* text = plist_get_string_ptr(node, &length);
      *out = PlistValue(text ? std::string(text, length) : std::string());
      return true;
    }
    case PLIST_DATE: {
      int32_t sec = 0, usec = 0;
      plist_get_date_val(node, &sec, &usec);
      *out = PlistValue(PlistDate{static_cast<double>(sec) + static_cast<double>(usec) / 1e6});
      return true;
    }
    case PLIST_DATA: {
      uint64_t length = 0;
      const char* bytes = plist_get_data_ptr(node, &length);
      PlistData data;
      if (bytes && length > 0) {
        data.bytes.assign(reinterpret_cast<const std::uint8_t*>(bytes),
                          reinterpret_cast<const std::uint8_t*>(bytes) + length);
      }
      *out = PlistValue(std::move(data));
      return true;
    }
    case PLIST_ARRAY: {
      PlistArray array;
      uint32_t size = plist_array_get_size(node);
      array.reserve(size);
      for (uint32_t i = 0; i < size; ++i) {
        plist_t item = plist_array_get_item(node, i);
        if (item == nullptr) continue;
        PlistValue value;
        if (!convert(item, depth + 1, &value, error)) return false;
        array.push_back(std::move(value));
      }
      *out = PlistValue(std::move(array));
      return true;
    }
    case PLIST_DICT: {
      PlistDict dict;
      plist_dict_iter it = nullptr;
      plist_dict_new_iter(node, &it);
      if (it == nullptr) {
        *out = PlistValue(std::move(dict));
        return true;
      }
      bool ok = true;
      for (;;) {
        // libplist 2.2 asserts when asked for the text of a key that is not
        // a key node, which a hostile binary list can arrange; so fetch the
        // value alone and check its key node before reading it.
        plist_t item = nullptr;
        plist_dict_next_item(node, it, nullptr, &item);
        if (item == nullptr) break;
        plist_t keyNode = plist_dict_item_get_key(item);
        char* rawKey = nullptr;
        if (keyNode != nullptr && plist_get_node_type(keyNode) == PLIST_KEY) {
          plist_get_key_val(keyNode, &rawKey);
        } else {
          setError(error, "dictionary key is not a string");
          ok = false;
          break;
        }
        MallocString key(rawKey);
        PlistValue value;
        if (!convert(item, depth + 1, &value, error)) {
          ok = false;
          break;
        }
        // The first occurrence of a repeated key wins.
        dict.emplace(key ? std::string(key.get()) : std::string(), std::move(value));
      }
      std::free(it);
      if (!ok) return false;
      *out = PlistValue(std::move(dict));
      return true;
    }
    default:
      setError(error, "unsupported property-list value");
      return false;
  }
}

plist_t toPlist(const PlistValue& value);

plist_t dictToPlist(const PlistDict& d) {
  plist_t node = plist_new_dict();
  for (const auto& [key, item] : d) plist_dict_set_item(node, key.c_str(), toPlist(item));
  return node;
}

plist_t toPlist(const PlistValue& value) {
  struct Visitor {
    plist_t operator()(const std::string& s) const { return plist_new_string(s.c_str()); }
    plist_t operator()(std::int64_t i) const {
      return plist_new_uint(static_cast<uint64_t>(i));
    }
    plist_t operator()(double d) const { return plist_new_real(d); }
    plist_t operator()(bool b) const { return plist_new_bool(b ? 1 : 0); }
    plist_t operator()(const PlistDate& d) const {
      double whole = std::floor(d.secondsSinceReferenceDate);
      return plist_new_date(static_cast<int32_t>(whole),
                            static_cast<int32_t>((d.secondsSinceReferenceDate - whole) * 1e6));
    }
    plist_t operator()(const PlistData& d) const {
      return plist_new_data(reinterpret_cast<const char*>(d.bytes.data()), d.bytes.size());
    }
    plist_t operator()(const PlistArray& a) const {
      plist_t node = plist_new_array();
      for (const PlistValue& item : a) plist_array_append_item(node, toPlist(item));
      return node;
    }
    plist_t operator()(const PlistDict& d) const { return dictToPlist(d); }
  };
  return std::visit(Visitor{}, value.storage());
}

}  // namespace

std::optional<double> PlistValue::numberValue() const {
  if (const auto* i = std::get_if<std::int64_t>(&v_)) return static_cast<double>(*i);
  if (const auto* d = std::get_if<double>(&v_)) return *d;
  if (const auto* b = std::get_if<bool>(&v_)) return *b ? 1.0 : 0.0;
  return std::nullopt;
}

std::optional<std::int64_t> PlistValue::integerValue() const {
  if (const auto* i = std::get_if<std::int64_t>(&v_)) return *i;
  if (const auto* b = std::get_if<bool>(&v_)) return *b ? 1 : 0;
  if (const auto* d = std::get_if<double>(&v_)) {
    if (std::isnan(*d)) return 0;
    // 2^63 is exactly representable; anything at or above it is clamped.
    if (*d >= 9223372036854775808.0) return std::numeric_limits<std::int64_t>::max();
    if (*d <= -9223372036854775808.0) return std::numeric_limits<std::int64_t>::min();
    return static_cast<std::int64_t>(std::trunc(*d));
  }
  return std::nullopt;
}

std::optional<PlistValue> DictKeyValueSource::lookup(const std::string& key) const {
  auto it = dict_.find(key);
  if (it == dict_.end()) return std::nullopt;
  return it->second;
}

std::optional<PlistDict> parsePlistDict(const std::string& bytes, std::string* error) {
  if (bytes.empty()) {
    setError(error, "empty property list");
    return std::nullopt;
  }
  if (bytes.size() > kMaxPlistBytes) {
    setError(error, "property list too large");
    return std::nullopt;
  }
  plist_t raw = nullptr;
  const uint32_t length = static_cast<uint32_t>(bytes.size());
  if (bytes.size() >= 8 && std::memcmp(bytes.data(), "bplist00", 8) == 0) {
    if (!binaryStringsAreSafe(bytes)) {
      setError(error, "malformed binary property list");
      return std::nullopt;
    }
    plist_from_bin(bytes.data(), length, &raw);
  } else {
    plist_from_xml(bytes.data(), length, &raw);
  }
  PlistPtr root(raw);
  if (!root) {
    setError(error, "malformed property list");
    return std::nullopt;
  }
  if (plist_get_node_type(root.get()) != PLIST_DICT) {
    setError(error, "property list root is not a dictionary");
    return std::nullopt;
  }
  PlistValue value;
  if (!convert(root.get(), 0, &value, error)) return std::nullopt;
  return *value.dict();
}

std::optional<PlistDict> readPlistDict(const std::filesystem::path& file, std::string* error) {
  std::ifstream in(file, std::ios::binary);
  if (!in) {
    setError(error, "cannot open " + file.string());
    return std::nullopt;
  }
  std::string bytes;
  char buffer[65536];
  while (in.read(buffer, sizeof buffer) || in.gcount() > 0) {
    bytes.append(buffer, static_cast<std::size_t>(in.gcount()));
    if (bytes.size() > kMaxPlistBytes) {
      setError(error, "property list too large: " + file.string());
      return std::nullopt;
    }
  }
  if (in.bad()) {
    setError(error, "cannot read " + file.string());
    return std::nullopt;
  }
  std::string detail;
  auto dict = parsePlistDict(bytes, &detail);
  if (!dict) setError(error, detail + ": " + file.string());
  return dict;
}

bool writeXmlPlist(const std::filesystem::path& file, const PlistDict& dict) {
  PlistPtr root(dictToPlist(dict));
  char* xml = nullptr;
  uint32_t length = 0;
  plist_to_xml(root.get(), &xml, &length);
  if (xml == nullptr) return false;
  std::ofstream out(file, std::ios::binary | std::ios::trunc);
  out.write(xml, length);
  plist_to_xml_free(xml);
  out.close();
  return static_cast<bool>(out);
}

}  // namespace installer::platform
