// Sole owner of a stdio stream.
#pragma once

#include <stdio.h>

#include "base/unique_stream.h"

namespace kiv {

using unique_file = unique_stream<FILE, fclose>;

}  // namespace kiv
