// The tools' JSON writer.
#include "json.h"

#include <stdio.h>

namespace kiv::tools {
namespace {

// Length of the well-formed UTF-8 sequence at s[i], 0 when there is none
// (no overlong forms, no surrogates, nothing above U+10FFFF).
size_t utf8_length(std::string_view s, size_t i) {
  const auto at = [&](size_t k) { return static_cast<unsigned char>(s[k]); };
  const unsigned char c = at(i);
  size_t n;
  unsigned char lo = 0x80, hi = 0xbf;  // range of the second byte
  if (c >= 0xc2 && c <= 0xdf) {
    n = 2;
  } else if (c >= 0xe0 && c <= 0xef) {
    n = 3;
    if (c == 0xe0) lo = 0xa0;
    if (c == 0xed) hi = 0x9f;
  } else if (c >= 0xf0 && c <= 0xf4) {
    n = 4;
    if (c == 0xf0) lo = 0x90;
    if (c == 0xf4) hi = 0x8f;
  } else {
    return 0;
  }
  if (i + n > s.size() || at(i + 1) < lo || at(i + 1) > hi) return 0;
  for (size_t k = 2; k < n; ++k) {
    if (at(i + k) < 0x80 || at(i + k) > 0xbf) return 0;
  }
  return n;
}

}  // namespace

std::string json_quote(std::string_view s) {
  std::string j = "\"";
  for (size_t i = 0; i < s.size();) {
    const unsigned char c = static_cast<unsigned char>(s[i]);
    if (c >= 0x80) {
      const size_t n = utf8_length(s, i);
      if (n == 0) {
        j += "\\ufffd";
        ++i;
      } else {
        j.append(s.substr(i, n));
        i += n;
      }
      continue;
    }
    ++i;
    switch (c) {
      case '"': j += "\\\""; break;
      case '\\': j += "\\\\"; break;
      case '\b': j += "\\b"; break;
      case '\f': j += "\\f"; break;
      case '\n': j += "\\n"; break;
      case '\r': j += "\\r"; break;
      case '\t': j += "\\t"; break;
      default:
        if (c < 0x20) {
          char esc[8];
          snprintf(esc, sizeof esc, "\\u%04x", c);
          j += esc;
        } else {
          j += static_cast<char>(c);
        }
    }
  }
  return j + '"';
}

void Json::before_value() {
  if (need_comma_) text_ += ',';
  need_comma_ = true;
}

Json& Json::begin_object() {
  before_value();
  text_ += '{';
  need_comma_ = false;
  return *this;
}

Json& Json::end_object() {
  text_ += '}';
  need_comma_ = true;
  return *this;
}

Json& Json::begin_array() {
  before_value();
  text_ += '[';
  need_comma_ = false;
  return *this;
}

Json& Json::end_array() {
  text_ += ']';
  need_comma_ = true;
  return *this;
}

Json& Json::key(std::string_view name) {
  before_value();
  text_ += json_quote(name);
  text_ += ':';
  need_comma_ = false;  // its value follows without a comma
  return *this;
}

Json& Json::str(std::string_view value) {
  before_value();
  text_ += json_quote(value);
  return *this;
}

Json& Json::num(long long value) {
  before_value();
  text_ += std::to_string(value);
  return *this;
}

Json& Json::boolean(bool value) {
  before_value();
  text_ += value ? "true" : "false";
  return *this;
}

Json& Json::null() {
  before_value();
  text_ += "null";
  return *this;
}

}  // namespace kiv::tools
