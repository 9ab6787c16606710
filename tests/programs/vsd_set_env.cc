// Calls set_proc_env for the VSD number in argv[1], with the library's log
// on unless argv[2] is "quiet", then prints what the process has become.
// Run as a fresh process so that the library loads its platform
// dependencies anew.
#include <grp.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include "kiv_dbg.h"
#include "kiv_vsd.h"

int main(int argc, char** argv) {
  if (argc != 2 && argc != 3) return 2;
  if (argc == 2) g_kiv_dbg_level[KIV_DBG_LIB] = 0;
  set_proc_env(atoi(argv[1]));
  const char* tmpdir = getenv("TMPDIR");
  char cwd[256] = {};
  gid_t groups[8];
  const int n = getgroups(8, groups);
  printf("TMPDIR=%s\ncwd=%s\ngroups=%d\n", tmpdir ? tmpdir : "<unset>",
         getcwd(cwd, sizeof cwd) ? cwd : "?", n);
  return 0;
}
