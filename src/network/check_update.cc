#include "network/check_update.h"

#include <limits.h>

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cmath>
#include <limits>
#include <memory>

#include <nlohmann/json.hpp>
#include <unicode/brkiter.h>
#include <unicode/uchar.h>
#include <unicode/unistr.h>
#include <unicode/utf8.h>

#include "network/downloader.h"

namespace installer {

using nlohmann::json;

std::optional<std::string> encodeCheckUpdateRequest(const CheckUpdateRequest& r) {
  // ordered_json keeps the members in field order; dump() throws on text
  // that is not UTF-8, which is the one way encoding can fail.
  nlohmann::ordered_json body;
  body["uid"] = r.uid;
  body["version"] = r.version;
  body["os"] = r.os;
  body["os_version"] = r.osVersion;
  body["lang"] = r.lang;
  body["app"] = r.app;
  body["cpu"] = r.cpu;
  try {
    return body.dump();
  } catch (const json::exception&) {
    return std::nullopt;
  }
}

namespace {

std::optional<std::int64_t> parseDecimal(const std::string& text) {
  // Optional sign, then digits only: no blanks, no "0x", no decimals.
  std::size_t start = 0;
  bool negative = false;
  if (!text.empty() && (text[0] == '+' || text[0] == '-')) {
    negative = text[0] == '-';
    start = 1;
  }
  if (start == text.size()) return std::nullopt;
  for (std::size_t i = start; i < text.size(); ++i) {
    if (text[i] < '0' || text[i] > '9') return std::nullopt;
  }
  // Parse with the sign attached so INT64_MIN is representable. (Appended,
  // not concatenated: GCC 12 misreads the latter as an overlapping copy.)
  std::string digits;
  if (negative) digits.push_back('-');
  digits.append(text, start, std::string::npos);
  std::int64_t value = 0;
  auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), value);
  if (ec != std::errc() || end != digits.data() + digits.size()) return std::nullopt;
  return value;
}

std::optional<std::int64_t> decodeStatus(const json& status) {
  if (status.is_number_integer() && !status.is_number_unsigned()) {
    return status.get<std::int64_t>();
  }
  if (status.is_number_unsigned()) {
    auto v = status.get<std::uint64_t>();
    if (v > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) {
      return std::nullopt;
    }
    return static_cast<std::int64_t>(v);
  }
  if (status.is_number_float()) {
    // 0.0 is still the integer 0; 0.5 is not an integer.
    double d = status.get<double>();
    if (std::isfinite(d) && std::trunc(d) == d && d >= -9.2233720368547758e18 &&
        d < 9.2233720368547758e18) {
      return static_cast<std::int64_t>(d);
    }
    return std::nullopt;
  }
  if (status.is_string()) return parseDecimal(status.get<std::string>());
  return std::nullopt;
}

// A payload member: absent when missing or null; false when of another type.
bool optionalString(const json& object, const char* key, std::optional<std::string>* out) {
  auto it = object.find(key);
  if (it == object.end() || it->is_null()) {
    *out = std::nullopt;
    return true;
  }
  if (!it->is_string()) return false;
  *out = it->get<std::string>();
  return true;
}

// "mirrors": missing or null is none; anything but an array of strings is
// malformed (false).
bool decodeMirrors(const json& data, std::vector<std::string>* out) {
  auto it = data.find("mirrors");
  if (it == data.end() || it->is_null()) return true;
  if (!it->is_array()) return false;
  for (const auto& item : *it) {
    if (!item.is_string()) return false;
    out->push_back(item.get<std::string>());
  }
  return true;
}

// "size": missing or null is none; anything but an integer in
// 0...INT64_MAX is malformed (false). 1.0 and "1" are not integers here:
// the size is signed over, so it is taken only as a plain number.
bool decodeSize(const json& data, std::optional<std::uint64_t>* out) {
  auto it = data.find("size");
  if (it == data.end() || it->is_null()) return true;
  if (it->is_number_unsigned()) {
    auto v = it->get<std::uint64_t>();
    if (v > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) return false;
    *out = v;
    return true;
  }
  if (it->is_number_integer() && it->get<std::int64_t>() >= 0) {
    *out = static_cast<std::uint64_t>(it->get<std::int64_t>());
    return true;
  }
  return false;
}

// The chunk list's members. Unlike sha256 and signature, which older
// services may send in other shapes, these are new: one of the wrong type
// refuses the answer.
bool decodeChunkMembers(const json& data, CheckUpdatePayload* payload) {
  return decodeSize(data, &payload->size) && optionalString(data, "chunks", &payload->chunks) &&
         optionalString(data, "chunks_signature", &payload->chunksSignature);
}

std::optional<CheckUpdatePayload> decodePayload(const json& data) {
  if (!data.is_object()) return std::nullopt;
  CheckUpdatePayload payload;
  if (!optionalString(data, "version", &payload.version) ||
      !optionalString(data, "app_url", &payload.appUrl) ||
      !optionalString(data, "md5", &payload.md5)) {
    return std::nullopt;
  }
  // Later additions: a wrong type drops the member, never the payload.
  if (!optionalString(data, "sha256", &payload.sha256)) payload.sha256.reset();
  if (!optionalString(data, "signature", &payload.signature)) payload.signature.reset();
  return payload;
}

}  // namespace

std::optional<CheckUpdateResponse> decodeCheckUpdateResponse(const std::string& body) {
  json root = json::parse(body, nullptr, /*allow_exceptions=*/false);
  if (root.is_discarded() || !root.is_object()) return std::nullopt;

  auto status = root.find("status");
  if (status == root.end()) return std::nullopt;
  auto value = decodeStatus(*status);
  if (!value) return std::nullopt;

  CheckUpdateResponse response;
  response.status = *value;
  if (auto reason = root.find("reason"); reason != root.end() && reason->is_string()) {
    response.reason = reason->get<std::string>();
  }
  if (auto data = root.find("data"); data != root.end()) {
    response.data = decodePayload(*data);
    // Sources are never guessed at: a list that cannot be read refuses
    // the answer rather than quietly shrinking to app_url.
    if (response.data &&
        (!decodeMirrors(*data, &response.data->mirrors) || !decodeChunkMembers(*data, &*response.data))) {
      return std::nullopt;
    }
  }
  return response;
}

std::string describe(const CheckUpdateError::Case& error) {
  struct Describe {
    std::string operator()(const check_update_error::badStatus& e) const {
      return "HTTP " + std::to_string(e.statusCode);
    }
    std::string operator()(const check_update_error::server& e) const {
      return "server error: " + e.message;
    }
    std::string operator()(const check_update_error::network& e) const { return e.message; }
    std::string operator()(const check_update_error::missingAppURL&) const {
      return "server did not return a download URL";
    }
    std::string operator()(const check_update_error::decode&) const {
      return "unexpected response from the update server";
    }
  };
  return std::visit(Describe{}, error);
}

CheckUpdateError::CheckUpdateError(Case value)
    : value_(std::move(value)), description_(describe(value_)) {}

namespace {

// Unicode's White_Space plus the line breaks; what "white space and line
// breaks" means for text typed into a server's configuration.
bool isWhitespaceOrNewline(UChar32 c) {
  if (c == 0x09 || c == 0x0A || c == 0x0B || c == 0x0C || c == 0x0D || c == 0x85) return true;
  auto type = u_charType(c);
  return type == U_SPACE_SEPARATOR || type == U_LINE_SEPARATOR ||
         type == U_PARAGRAPH_SEPARATOR;
}

}  // namespace

std::string trimWhitespaceAndNewlines(const std::string& text) {
  const auto* s = reinterpret_cast<const uint8_t*>(text.data());
  int32_t length = static_cast<int32_t>(text.size());

  int32_t begin = 0;
  while (begin < length) {
    int32_t next = begin;
    UChar32 c;
    U8_NEXT(s, next, length, c);
    if (c < 0 || !isWhitespaceOrNewline(c)) break;
    begin = next;
  }
  int32_t end = length;
  while (end > begin) {
    int32_t previous = end;
    UChar32 c;
    U8_PREV(s, begin, previous, c);
    if (c < 0 || !isWhitespaceOrNewline(c)) break;
    end = previous;
  }
  return text.substr(static_cast<std::size_t>(begin), static_cast<std::size_t>(end - begin));
}

std::string prefixCharacters(const std::string& text, std::size_t count) {
  icu::UnicodeString unicode = icu::UnicodeString::fromUTF8(text);
  UErrorCode status = U_ZERO_ERROR;
  std::unique_ptr<icu::BreakIterator> characters(
      icu::BreakIterator::createCharacterInstance(icu::Locale::getRoot(), status));
  if (U_FAILURE(status) || !characters) {
    // Without break data fall back to code points; never cut a sequence.
    if (static_cast<std::size_t>(unicode.countChar32()) <= count) return text;
    std::string out;
    unicode.tempSubString(0, unicode.moveIndex32(0, static_cast<int32_t>(count)))
        .toUTF8String(out);
    return out;
  }
  characters->setText(unicode);
  int32_t end = characters->first();
  for (std::size_t i = 0; i < count; ++i) {
    int32_t next = characters->next();
    if (next == icu::BreakIterator::DONE) return text;
    end = next;
  }
  if (end >= unicode.length()) return text;
  std::string out;
  unicode.tempSubString(0, end).toUTF8String(out);
  return out;
}

std::string displayableText(const std::string& text) {
  const auto* s = reinterpret_cast<const uint8_t*>(text.data());
  const int32_t length = static_cast<int32_t>(text.size());
  std::string out;
  out.reserve(text.size());
  for (int32_t i = 0; i < length;) {
    UChar32 c;
    U8_NEXT(s, i, length, c);
    if (c < 0) c = 0xFFFD;
    // Controls (NUL included) and the marks that reorder what follows them,
    // which let a server make one word read as another.
    if (u_charType(c) == U_CONTROL_CHAR || c == 0x061C || c == 0x200E || c == 0x200F ||
        (c >= 0x202A && c <= 0x202E) || (c >= 0x2066 && c <= 0x2069)) {
      continue;
    }
    uint8_t buffer[U8_MAX_LENGTH];
    int32_t used = 0;
    U8_APPEND_UNSAFE(buffer, used, c);
    out.append(reinterpret_cast<const char*>(buffer), static_cast<std::size_t>(used));
  }
  return out;
}

namespace {

constexpr std::size_t kReasonCharacters = 120;
// A version is a short label; it is shown to the user and names the cache
// file.
constexpr std::size_t kMaxVersionBytes = 64;
// What the download writes next to the cache file while it runs.
constexpr std::size_t kPartialSuffixBytes = sizeof(".partial") - 1;

std::optional<std::string> presentTrimmed(const std::optional<std::string>& value) {
  if (!value) return std::nullopt;
  std::string trimmed = trimWhitespaceAndNewlines(displayableText(*value));
  if (trimmed.empty()) return std::nullopt;
  return trimmed;
}

std::optional<platform::URL> secureLink(const std::string& text) {
  std::string trimmed = trimWhitespaceAndNewlines(text);
  if (trimmed.empty()) return std::nullopt;
  auto url = platform::URL::parse(trimmed);
  if (!url || url->host().empty()) return std::nullopt;
  std::string scheme = url->scheme();
  for (auto& c : scheme) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  if (scheme != "https") return std::nullopt;
  return url;
}

}  // namespace

PackageLinkResult parsePackageLink(const std::string& data, int statusCode) {
  if (statusCode < 200 || statusCode > 299) {
    return CheckUpdateError(check_update_error::badStatus{statusCode});
  }
  auto response = decodeCheckUpdateResponse(data);
  if (!response) return CheckUpdateError(check_update_error::decode{});

  if (response->status != 0) {
    std::string message =
        response->reason ? *response->reason : "status " + std::to_string(response->status);
    return CheckUpdateError(check_update_error::server{
        prefixCharacters(displayableText(message), kReasonCharacters)});
  }
  if (!response->data || !response->data->appUrl) {
    return CheckUpdateError(check_update_error::missingAppURL{});
  }
  auto url = secureLink(*response->data->appUrl);
  if (!url) return CheckUpdateError(check_update_error::missingAppURL{});

  // The cache file, "<version>-<file name>", and its partial file must be
  // names the file system takes; a link that cannot be stored is refused
  // here rather than failing later as a download error.
  auto version = presentTrimmed(response->data->version);
  std::size_t versionBytes = version ? version->size() + 1 : 0;
  auto storable = [&](const platform::URL& source) {
    return versionBytes + Downloader::suggestedFileName(source).size() + kPartialSuffixBytes <=
           NAME_MAX;
  };
  if ((version && version->size() > kMaxVersionBytes) || !storable(*url)) {
    return CheckUpdateError(check_update_error::decode{});
  }

  PackageLink link{*url, presentTrimmed(response->data->md5), version,
                   presentTrimmed(response->data->sha256),
                   presentTrimmed(response->data->signature)};
  link.size = response->data->size;
  link.chunks = response->data->chunks;
  link.chunksSignature = response->data->chunksSignature;
  if (response->data->mirrors.size() > kMaxMirrors) {
    return CheckUpdateError(check_update_error::decode{});
  }
  for (const auto& text : response->data->mirrors) {
    auto mirror = secureLink(text);
    if (!mirror || !storable(*mirror)) return CheckUpdateError(check_update_error::decode{});
    auto sources = link.sources();
    if (std::find(sources.begin(), sources.end(), *mirror) == sources.end()) {
      link.mirrors.push_back(*mirror);
    }
  }
  return link;
}

std::vector<platform::URL> PackageLink::sources() const {
  std::vector<platform::URL> all{url};
  all.insert(all.end(), mirrors.begin(), mirrors.end());
  return all;
}

}  // namespace installer
