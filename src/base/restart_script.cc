// The restart-script path of a command.
#include "base/restart_script.h"

#include <stdio.h>
#include <string.h>

namespace kiv {

int restart_script_path(const char* word, char* dst, size_t size) {
  static constexpr char kScriptDir[] = "/etc/cmdmap";
  const char* slash = strrchr(word, '/');
  if (slash == nullptr) return snprintf(dst, size, "%s/%s", kScriptDir, word);
  return snprintf(dst, size, "%s%s.sh", kScriptDir, slash);
}

}  // namespace kiv
