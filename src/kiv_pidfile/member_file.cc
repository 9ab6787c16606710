// A registration's files: the pid database file and, inside a VSD, the
// member file that marks the process as one of the VSD's.
#include <fcntl.h>
#include <stdio.h>
#include <string.h>

#include "kiv_dbg/log.h"
#include "kiv_pidfile.h"
#include "kiv_utils/unique_fd.h"
#include "kiv_vsd/vsd_paths.h"

namespace kiv {
namespace {

constexpr char kLogModule[] = "kiv_pidfile";
constexpr size_t kMemberPathLen = 64;

}  // namespace
}  // namespace kiv

extern "C" void save_vsd_flag(int vsd, int pid) {
  if (vsd == 0) return;
  char path[kiv::kMemberPathLen];
  snprintf(path, sizeof path, KIV_VSD_MEMBER_FILE, vsd, pid);
  kiv::unique_fd fd(open(path, O_RDWR | O_CREAT | O_CLOEXEC, 0777));
}

extern "C" int kiv_mk_pidfile(const kiv_exit_action_rec* rec, int type) {
  using kiv::kLogModule;
  if (rec == nullptr) return -1;
  // The record comes from outside: never read past its field.
  char cmdline[KIV_CMDLINE_LEN];
  memcpy(cmdline, rec->cmdline, sizeof cmdline - 1);
  cmdline[sizeof cmdline - 1] = '\0';
  const int kind = type == 1 ? KIV_DB_KIND_RESTART : KIV_DB_KIND_OTHER;
  const int ret = kiv_db_create(rec->vsd_id, rec->pid, kind, cmdline);
  if (ret < 0) {
    KIV_LOG("%s: kiv create db failed! (ret=%d)\r\n", "kiv_mk_pidfile", ret);
    return ret;
  }
  save_vsd_flag(rec->vsd_id, rec->pid);
  return ret;
}
