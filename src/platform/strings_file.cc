#include "platform/strings_file.h"

#include <cstdint>
#include <cstring>

namespace installer::platform {

namespace {

bool isWordChar(unsigned char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
         c == '_' || c == '.' || c == '-' || c == '$' || c == ':' || c == '/' || c == '+' ||
         c >= 0x80;
}

int hexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

void appendUTF8(std::string& out, std::uint32_t cp) {
  if (cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) cp = 0xFFFD;
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    out += static_cast<char>(0xC0 | (cp >> 6));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    out += static_cast<char>(0xE0 | (cp >> 12));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (cp >> 18));
    out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  }
}

class Parser {
 public:
  explicit Parser(const std::string& text) : s_(text) {}

  StringsParseResult run() {
    if (s_.size() >= 3 && std::memcmp(s_.data(), "\xEF\xBB\xBF", 3) == 0) pos_ = 3;
    while (skipSpaceAndComments()) {
      parseEntry();
    }
    return std::move(result_);
  }

  StringsParseResult result_;

 private:
  bool atEnd() const { return pos_ >= s_.size(); }
  char peek() const { return s_[pos_]; }

  void advance() {
    if (s_[pos_] == '\n') ++line_;
    ++pos_;
  }

  void problem(int line, const std::string& what) {
    result_.problems.push_back("line " + std::to_string(line) + ": " + what);
  }

  // Skips white space and comments. Returns false at the end of input.
  bool skipSpaceAndComments() {
    while (!atEnd()) {
      char c = peek();
      if (c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\f' || c == '\v') {
        advance();
      } else if (c == '/' && pos_ + 1 < s_.size() && s_[pos_ + 1] == '*') {
        int startLine = line_;
        advance();
        advance();
        bool closed = false;
        while (!atEnd()) {
          if (peek() == '*' && pos_ + 1 < s_.size() && s_[pos_ + 1] == '/') {
            advance();
            advance();
            closed = true;
            break;
          }
          advance();
        }
        if (!closed) problem(startLine, "unterminated comment");
      } else if (c == '/' && pos_ + 1 < s_.size() && s_[pos_ + 1] == '/') {
        while (!atEnd() && peek() != '\n') advance();
      } else {
        return true;
      }
    }
    return false;
  }

  // Reads a quoted or unquoted string at the current position.
  bool readString(std::string* out) {
    out->clear();
    if (atEnd()) return false;
    if (peek() == '"') return readQuoted(out);
    if (!isWordChar(static_cast<unsigned char>(peek()))) return false;
    while (!atEnd() && isWordChar(static_cast<unsigned char>(peek()))) {
      // "//" and "/*" start comments even right after a word.
      if (peek() == '/' && pos_ + 1 < s_.size() && (s_[pos_ + 1] == '/' || s_[pos_ + 1] == '*')) {
        break;
      }
      *out += peek();
      advance();
    }
    return true;
  }

  bool readHex4(std::uint32_t* value) {
    if (s_.size() - pos_ < 4) return false;
    std::uint32_t v = 0;
    for (int i = 0; i < 4; ++i) {
      int h = hexValue(s_[pos_ + static_cast<std::size_t>(i)]);
      if (h < 0) return false;
      v = v * 16 + static_cast<std::uint32_t>(h);
    }
    pos_ += 4;
    *value = v;
    return true;
  }

  bool readQuoted(std::string* out) {
    int startLine = line_;
    advance();  // opening quote
    while (!atEnd()) {
      char c = peek();
      if (c == '"') {
        advance();
        return true;
      }
      if (c != '\\') {
        *out += c;
        advance();
        continue;
      }
      advance();
      if (atEnd()) break;
      char e = peek();
      advance();
      switch (e) {
        case 'n': *out += '\n'; break;
        case 't': *out += '\t'; break;
        case 'r': *out += '\r'; break;
        case 'a': *out += '\a'; break;
        case 'b': *out += '\b'; break;
        case 'f': *out += '\f'; break;
        case 'v': *out += '\v'; break;
        case 'u':
        case 'U': {
          std::uint32_t cp = 0;
          if (!readHex4(&cp)) {
            problem(line_, "bad \\U escape");
            *out += e;
            break;
          }
          if (cp >= 0xD800 && cp <= 0xDBFF && s_.size() - pos_ >= 6 && s_[pos_] == '\\' &&
              (s_[pos_ + 1] == 'U' || s_[pos_ + 1] == 'u')) {
            std::size_t save = pos_;
            pos_ += 2;
            std::uint32_t low = 0;
            if (readHex4(&low) && low >= 0xDC00 && low <= 0xDFFF) {
              cp = 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00);
            } else {
              pos_ = save;
            }
          }
          appendUTF8(*out, cp);
          break;
        }
        default:
          // \" \\ \' and any other escaped character stand for themselves.
          if (e == '\n') ++line_;
          *out += e;
          break;
      }
    }
    problem(startLine, "unterminated string");
    return false;
  }

  // After a broken entry: skip to just past the next ';' (quoted strings
  // are stepped over whole so a ';' inside one does not count).
  void recover() {
    while (!atEnd()) {
      char c = peek();
      if (c == ';') {
        advance();
        return;
      }
      if (c == '"') {
        std::string ignored;
        std::size_t problemsBefore = result_.problems.size();
        if (!readQuoted(&ignored)) {
          result_.problems.resize(problemsBefore);
          return;
        }
        continue;
      }
      advance();
    }
  }

  void parseEntry() {
    int entryLine = line_;
    std::string key;
    if (!readString(&key)) {
      if (atEnd()) return;  // unterminated string already reported
      problem(line_, std::string("unexpected character '") + peek() + "'");
      advance();
      recover();
      return;
    }
    if (!skipSpaceAndComments()) {
      problem(entryLine, "expected '=' or ';' after key");
      return;
    }
    if (peek() == ';') {  // "key"; means the key is its own value
      advance();
      result_.entries[key] = key;
      return;
    }
    if (peek() != '=') {
      problem(line_, "expected '='");
      recover();
      return;
    }
    advance();
    if (!skipSpaceAndComments()) {
      problem(entryLine, "expected a value");
      return;
    }
    std::string value;
    if (!readString(&value)) {
      if (atEnd()) return;
      problem(line_, "expected a value");
      recover();
      return;
    }
    if (!skipSpaceAndComments() || peek() != ';') {
      // The entry is dropped; parsing resumes right here, which is usually
      // the next entry's key.
      problem(entryLine, "expected ';'");
      return;
    }
    advance();
    result_.entries[key] = value;
  }

  const std::string& s_;
  std::size_t pos_ = 0;
  int line_ = 1;
};

bool looksLikeUTF16(const std::string& text) {
  if (text.size() >= 2) {
    unsigned char a = static_cast<unsigned char>(text[0]);
    unsigned char b = static_cast<unsigned char>(text[1]);
    if ((a == 0xFF && b == 0xFE) || (a == 0xFE && b == 0xFF)) return true;
  }
  return text.find('\0') != std::string::npos;
}

}  // namespace

StringsParseResult parseStrings(const std::string& utf8) {
  if (looksLikeUTF16(utf8)) {
    StringsParseResult result;
    result.problems.push_back("line 1: UTF-16 (or binary) input; save the table as UTF-8");
    return result;
  }
  Parser parser(utf8);
  return parser.run();
}

}  // namespace installer::platform
