// Log output without source lines (see log_text.h).
#include "support/log_text.h"

#include <ctype.h>

namespace kiv::test {

std::string without_line_numbers(const std::string& out) {
  std::string r;
  size_t i = 0;
  while (i < out.size()) {
    if (!isdigit(static_cast<unsigned char>(out[i]))) {
      r += out[i++];
      continue;
    }
    size_t end = i;
    while (end < out.size() && isdigit(static_cast<unsigned char>(out[end]))) ++end;
    const bool tag = i > 0 && end < out.size() &&
                     ((out[i - 1] == ':' && out[end] == ']') || (out[i - 1] == ' ' && out[end] == '>'));
    r += tag ? std::string("N") : out.substr(i, end - i);
    i = end;
  }
  return r;
}

int count_of(const std::string& text, const std::string& what) {
  int n = 0;
  for (size_t pos = 0; (pos = text.find(what, pos)) != std::string::npos; pos += what.size()) ++n;
  return n;
}

}  // namespace kiv::test
