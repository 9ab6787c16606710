/* Stand-in for the device's file-system service library on hosts that lack
 * it. It has no per-VSD settings to apply, so it succeeds, unless the
 * environment variable FS_SERVICE_STUB_FAIL is set to a number: then it fails
 * with that errno value (EIO for anything that is not a positive number),
 * which lets tests and operators exercise the failure paths. */
#include "fs_service.h"

#include <errno.h>
#include <stdlib.h>

__attribute__((visibility("default"))) int fs_set_vsd_envs(int vsd_no) {
  const char* fail = getenv("FS_SERVICE_STUB_FAIL");
  if (fail == NULL || fail[0] == '\0') return 0;
  long err = strtol(fail, NULL, 10);
  errno = (err > 0 && err < 4096) ? (int)err : EIO;
  (void)vsd_no;
  return -1;
}
