// The one program that tests start as a real process. It is installed in the
// tests' build directory under one name per mode (symbolic links); the name it
// was executed by picks the mode, because the kernel takes the process name
// (comm) from that file name and some behaviours under test depend on it.
// Run by its own name, its first argument names the mode.
#include <stdio.h>
#include <string.h>
#include <sys/auxv.h>

#define MODE(name) int mode_##name(int argc, char** argv);
#include "modes.inc"
#undef MODE

int main(int argc, char** argv) {
  // AT_EXECFN is the path given to execve(), before symbolic links are
  // followed; argv[0] may have been chosen by the test.
  const char* execfn = reinterpret_cast<const char*>(getauxval(AT_EXECFN));
  const char* name = execfn != nullptr ? execfn : argv[0];
  name = strrchr(name, '/') != nullptr ? strrchr(name, '/') + 1 : name;
  if (strcmp(name, "kiv_test_program") == 0 && argc >= 2) {
    name = argv[1];
    --argc;
    ++argv;
  }
#define MODE(mode) \
  if (strcmp(name, #mode) == 0) return mode_##mode(argc, argv);
#include "modes.inc"
#undef MODE
  fprintf(stderr, "kiv_test_program: no mode %s\n", name);
  return 125;
}
