// Log output without source lines (see log_text.h).
#include "support/log_text.h"

#include <regex>

namespace kiv::test {

std::string without_line_numbers(const std::string& out) {
  static const std::regex tag(R"((\[KIV:[^:\]]*:|\[KIV\]<[^>]*, )[0-9]+([\]>]))");
  return std::regex_replace(out, tag, "$1N$2");
}

int count_of(const std::string& text, const std::string& what) {
  int n = 0;
  for (size_t pos = 0; (pos = text.find(what, pos)) != std::string::npos; pos += what.size()) ++n;
  return n;
}

}  // namespace kiv::test
