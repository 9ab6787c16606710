// The debug configuration reader apart from the file it reads, so that the
// text can be fed to it from elsewhere (the fuzz targets do). Internal.
#pragma once

#include <stdio.h>

namespace kiv {

// Applies every line of f to g_kiv_dbg_level, as kiv_parse_dbg_file() does
// with the configuration file.
void parse_dbg_lines(FILE* f);

}  // namespace kiv
