// The tools' JSON output: one writer, so that every tool spells absent
// values as null and escapes strings the same way.
#pragma once

#include <stdint.h>

#include <string>
#include <string_view>

namespace kiv::tools {

// Builds one JSON text. Commas come by themselves: a key or a value after
// another one in the same object or array is preceded by one.
class Json {
 public:
  Json& begin_object();
  Json& end_object();
  Json& begin_array();
  Json& end_array();
  Json& key(std::string_view name);
  Json& str(std::string_view text);
  Json& num(long long value);
  Json& boolean(bool value);
  Json& null();
  // The value when there is one, else null.
  Json& num_or_null(bool present, long long value) { return present ? num(value) : null(); }
  Json& str_or_null(std::string_view text) { return text.empty() ? null() : str(text); }
  const std::string& text() const { return text_; }

 private:
  void before_value();
  std::string text_;
  bool need_comma_ = false;
};

// text as a JSON string: quoted; quote, backslash and control characters
// escaped; bytes that are not UTF-8 replaced by U+FFFD, so the output
// stays valid whatever names the system hands out.
std::string json_quote(std::string_view text);

}  // namespace kiv::tools
