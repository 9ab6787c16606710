// kiv-sandbox: runs a command inside the tests' throwaway sandbox (private
// namespaces, an overlay over / whose changes vanish, the device's
// directories), so that the demo can run the Manager as on the device
// without touching the host.
#include <errno.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include "cli.h"
#include "support/sandbox.h"

constexpr char kUsage[] =
    "Usage: kiv-sandbox COMMAND [ARG]...\n"
    "Runs COMMAND as root inside a throwaway sandbox; every process started\n"
    "there ends with it, and nothing it writes reaches the host.\n"
    "\n"
    "  -h, --help     show this text\n"
    "  -V, --version  show the version\n";

int main(int argc, char** argv) {
  // Options end at COMMAND: the rest is its own command line.
  kiv::tools::Parser p("kiv-sandbox", "kiv-sandbox --help", {}, true);
  const char* value = nullptr;
  for (int c; (c = p.next(argc, argv, &value)) != -1;) {
    switch (c) {
      case kiv::tools::kHelp: fputs(kUsage, stdout); return 0;
      case kiv::tools::kVersion: kiv::tools::print_version("kiv-sandbox"); return 0;
      default: return kiv::tools::kExitUsage;
    }
  }
  if (p.index() >= argc) {
    fputs("kiv-sandbox: a command is needed (try 'kiv-sandbox --help')\n", stderr);
    return kiv::tools::kExitUsage;
  }
  argv += p.index();
  if (geteuid() != 0) {
    fputs("kiv-sandbox: must be run as root\n", stderr);
    return 1;
  }
  kiv::test::enter_sandbox();
  if (!kiv::test::sandbox_unavailable_reason().empty()) {
    fprintf(stderr, "kiv-sandbox: %s\n", kiv::test::sandbox_unavailable_reason().c_str());
    return 1;
  }
  execvp(argv[0], argv);
  fprintf(stderr, "kiv-sandbox: %s: %s\n", argv[0], strerror(errno));
  return 127;
}
