# CMake package of libkiv: find_package(libkiv) gives the target kiv::kiv
# (the shared library and its headers, included as <kiv_xtach.h> etc.).
include("${CMAKE_CURRENT_LIST_DIR}/libkivTargets.cmake")
