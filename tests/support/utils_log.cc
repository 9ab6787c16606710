// Log lines without their source line numbers (see utils_log.h).
#include "support/utils_log.h"

#include <ctype.h>

namespace kiv::test {

std::string without_line_numbers(const std::string& out) {
  std::string res;
  size_t i = 0;
  while (i < out.size()) {
    const size_t tag = out.find("[KIV:", i);
    if (tag == std::string::npos) break;
    const size_t colon = out.find(':', tag + 5);
    if (colon == std::string::npos) break;
    size_t end = colon + 1;
    while (end < out.size() && isdigit(static_cast<unsigned char>(out[end]))) ++end;
    if (end == colon + 1 || end >= out.size() || out[end] != ']') {
      res.append(out, i, colon + 1 - i);
      i = colon + 1;
      continue;
    }
    res.append(out, i, colon + 1 - i);
    res += '#';
    i = end;
  }
  res.append(out, i, std::string::npos);
  return res;
}

}  // namespace kiv::test
