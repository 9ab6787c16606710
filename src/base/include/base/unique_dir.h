// Sole owner of a directory stream.
#pragma once

#include <dirent.h>

#include "base/unique_stream.h"

namespace kiv {

using unique_dir = unique_stream<DIR, closedir>;

}  // namespace kiv
