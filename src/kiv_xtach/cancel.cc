// Withdrawing a process's exit action: its pid database file goes, and the
// Manager is told. Logs under the RPC client's name, whose request it is.
#include <errno.h>
#include <string.h>
#include <unistd.h>

#include "base/log.h"
#include "kiv_pidfile.h"
#include "kiv_rpc.h"
#include "kiv_rpc/rpc_retry.h"
#include "kiv_utils.h"
#include "kiv_vsd.h"
#include "kiv_xtach.h"

namespace kiv {
namespace {

constexpr char kLogModule[] = "kiv_rpc";
// The pause follows a success too: the Manager gets a moment to act on the
// withdrawal before the caller, typically about to exit, goes on.
constexpr RetryPolicy kCancelRetry = {30, 1, true};
constexpr size_t kCmdlineReadLen = KIV_CMDLINE_LEN - 1;

// The file's name is computed again from the process's present command
// line: a process that has since executed another program, or is gone,
// keeps its file.
void kiv_rm_db_file_by_pid(int pid) {
  static constexpr char kName[] = "kiv_rm_db_file_by_pid";
  const int vsd_answer = get_vsdid(pid);
  const int vsd = vsd_answer < 0 ? 0 : vsd_answer;
  char cmdline[KIV_CMDLINE_LEN] = {};
  if (kiv_get_cmdline(pid, cmdline, kCmdlineReadLen) != 0) {
    KIV_LOG("%s kiv_get_cmdline(%d) fail\n", kName, pid);
    return;
  }
  const int r = kiv_db_destroy(vsd, pid, cmdline);
  if (r != 0) KIV_LOG("%s unlink file %s ret %d\n", kName, cmdline, r);
}

}  // namespace
}  // namespace kiv

extern "C" int kiv_cancel_proc(int pid) {
  using kiv::kLogModule;
  static constexpr char kName[] = "kiv_cancel_proc";
  KIV_LOG("kiv_cancel_proc:%d\n", pid);
  if (pid == 0) pid = getpid();
  if (pid < 0) {
    KIV_LOG("The pid you enter is %d < 0 \n", pid);
    return -1;
  }
  kiv_cancel_req req;
  memset(&req, 0, sizeof req);
  req.kind = KIV_CANCEL_PROCESS;
  req.id = pid;
  kiv::kiv_rm_db_file_by_pid(pid);
  const kiv::RetryResult r = kiv::rpc_with_retry(kiv::kCancelRetry, KIV_MSG_CANCEL, &req, sizeof req);
  if (r.result < 0) KIV_LOG("%s: cancel fail: %s\n", kName, strerror(r.err));
  return r.result;
}
