// The one program that tests start as a real process. It is installed in the
// tests' build directory under one name per mode (symbolic links); the name it
// was executed by picks the mode, because the kernel takes the process name
// (comm) from that file name and some behaviours under test depend on it.
// Run by its own name, its first argument names the mode.
#include <string.h>
#include <sys/auxv.h>

#include <cstdio>

#define MODE(name) int mode_##name(int argc, char** argv);
#include "modes.inc"
#undef MODE

namespace {

struct Mode {
  const char* name;
  int (*run)(int argc, char** argv);
};

#define MODE(name) {#name, mode_##name},
constexpr Mode kModes[] = {
#include "modes.inc"
    {nullptr, nullptr},
};
#undef MODE

const char* base_name(const char* path) {
  const char* slash = strrchr(path, '/');
  return slash != nullptr ? slash + 1 : path;
}

}  // namespace

int main(int argc, char** argv) {
  // AT_EXECFN is the path given to execve(), before symbolic links are
  // followed; argv[0] may have been chosen by the test.
  const char* execfn = reinterpret_cast<const char*>(getauxval(AT_EXECFN));
  const char* name = base_name(execfn != nullptr ? execfn : argv[0]);
  if (strcmp(name, "kiv_test_program") == 0) {
    if (argc < 2) {
      std::fputs("usage: kiv_test_program MODE [ARG...]\n", stderr);
      return 125;
    }
    name = argv[1];
    --argc;
    ++argv;
  }
  for (const Mode* mode = kModes; mode->name != nullptr; ++mode)
    if (strcmp(mode->name, name) == 0) return mode->run(argc, argv);
  std::fprintf(stderr, "kiv_test_program: no mode %s\n", name);
  return 125;
}
