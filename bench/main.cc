// kiv_bench: every performance number of the project in one table. Each
// row times a library call (or the Manager) and its floor, the system
// calls it is made of, alternately in the same run. Runs in the sandbox:
// the rows use the device's paths, and nothing reaches the host.
#include <stdio.h>
#include <string.h>

#include "harness.h"
#include "kiv_dbg.h"
#include "rows.h"
#include "sandbox/sandbox.h"

int main(int argc, char** argv) {
  const char* only = argc > 1 ? argv[1] : "";
  kiv::sandbox::enter_sandbox();
  if (!kiv::sandbox::sandbox_unavailable_reason().empty()) {
    fprintf(stderr, "kiv_bench runs only in the sandbox: %s\n",
            kiv::sandbox::sandbox_unavailable_reason().c_str());
    return 1;
  }
  for (int i = 0; i < KIV_DBG_LEVELS; ++i) g_kiv_dbg_level[i] = KIV_DBG_OFF;
  if (strcmp(only, "manager") != 0) bench::client_rows();
  if (strcmp(only, "client") != 0) bench::manager_rows();
  bench::print_table();
  return 0;
}
