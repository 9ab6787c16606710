# Cross-compiling for the device (aarch64, glibc) with Debian's
# crossbuild-essential-arm64:
#   cmake -S . -B build-aarch64 -DCMAKE_TOOLCHAIN_FILE=cmake/aarch64-linux-gnu.cmake
# scripts/cross-test.sh builds and tests this way under qemu-user.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CMAKE_C_COMPILER aarch64-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)

# GCC on aarch64 turns atomic operations into calls to libgcc helpers that
# pick LSE or LL/SC instructions at run time; the choice is made by a
# constructor in libgcc.a, which the library links, so loading the library
# would run code. Inline LL/SC sequences work on every ARMv8-A core.
set(CMAKE_C_FLAGS_INIT -mno-outline-atomics)
set(CMAKE_CXX_FLAGS_INIT -mno-outline-atomics)

# Target libraries and packages come from the cross sysroot (and from
# <Pkg>_DIR given on the command line, e.g. GTest_DIR); programs from the host.
set(CMAKE_FIND_ROOT_PATH /usr/aarch64-linux-gnu)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Without binfmt_misc the host cannot execute target programs itself: ctest
# starts them through qemu-user, with the sysroot as the loader's root.
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-aarch64 -L /usr/aarch64-linux-gnu)
