// Command-line words: blanks are spaces and tabs only, no quoting.
#include "base/words.h"

namespace kiv {
namespace {
bool is_blank(char c) { return c == ' ' || c == '\t'; }
}  // namespace

int split_words(char* text, char** words, int max) {
  int n = 0;
  char* p = text;
  while (n < max) {
    while (is_blank(*p)) ++p;
    if (*p == '\0') break;
    words[n++] = p;
    while (*p != '\0' && !is_blank(*p)) ++p;
    if (*p == '\0') break;
    *p++ = '\0';
  }
  words[n] = nullptr;
  return n;
}

}  // namespace kiv
