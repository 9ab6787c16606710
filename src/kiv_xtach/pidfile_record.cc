// A registration's files, written from its record: the pid database file
// and, inside a VSD, the member file. Here rather than with the files
// themselves because the record belongs to the registration calls; the
// lines it logs keep the pid database's tag.
#include <string.h>

#include "base/log.h"
#include "kiv_pidfile.h"
#include "kiv_xtach.h"

namespace kiv {
namespace {
constexpr char kLogModule[] = "kiv_pidfile";
}  // namespace
}  // namespace kiv

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
