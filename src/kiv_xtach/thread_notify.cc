// The thread watchdog: a thread registers itself with the Manager, then
// proves again and again that it runs by advancing its byte of the alive
// table, and at last withdraws.
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "base/log.h"
#include "base/unique_file.h"
#include "kiv_dbg.h"
#include "kiv_rpc.h"
#include "kiv_rpc/rpc_retry.h"
#include "kiv_sys_alive.h"
#include "kiv_utils.h"
#include "kiv_utils/fork_local.h"
#include "kiv_xtach.h"

namespace kiv {
namespace {

constexpr char kLogModule[] = "kiv_xtach";
constexpr char kDebugList[] = "/data/.kiv_lib_debug_pid";
constexpr size_t kTidTextLen = 16;  // "%d" of a tid: at most 15 characters
constexpr size_t kListLineLen = 1024;

// The calling thread's ids, so that a heartbeat asks the kernel for
// neither: getpid() and gettid() are real system calls in glibc.
struct TaskIds {
  unsigned generation;  // fork_generation() when filled; 0: never filled
  int pid;
  int tid;
};

// initial-exec: reached without __tls_get_addr, which lives in the dynamic
// loader that the library does not link; the 12 bytes come from the static
// TLS reserve that glibc keeps for libraries loaded later.
constinit thread_local TaskIds cached_ids __attribute__((tls_model("initial-exec"))) = {0, 0, 0};

// A forked child's one thread holds its parent's ids in its cache; the
// child's own fork generation tells them apart, whatever kind of fork made
// the child, without a system call.
const TaskIds& current_ids() {
  TaskIds& ids = cached_ids;
  const unsigned generation = fork_generation();
  if (generation == 0 || ids.generation != generation) {
    ids.pid = getpid();
    ids.tid = static_cast<int>(syscall(SYS_gettid));
    ids.generation = generation;  // 0 (no way to tell a fork): asked every time
  }
  return ids;
}

// A thread registers and beats only for itself, with sensible arguments.
bool arguments_ok(int pid, int tid, int watch_time, int watch_count) {
  if (pid <= 0 || tid == 0 || watch_time == 0 || watch_count == 0) {
    KIV_LOG("parameter error(pid:%d, tid:%d, time:%d, count:%d)!\n", pid, tid, watch_time,
            watch_count);
    return false;
  }
  const TaskIds& ids = current_ids();
  if (pid != ids.pid || tid != ids.tid) {
    KIV_LOG("not cur task reg!(pid:%d, tid:%d, cur_pid:%d, cur_tid:%d)!\n", pid, tid, ids.pid,
            ids.tid);
    return false;
  }
  return true;
}

// Only the parity of the time argument chooses the watch parameters.
void fill_record(kiv_thread_notify_rec* rec, int pid, int tid, int watch_time) {
  memset(rec, 0, sizeof *rec);
  rec->tid = tid;
  rec->pid = pid;
  const bool odd = (watch_time & 1) != 0;
  rec->watch_param1 = odd ? KIV_WATCH_ODD_PARAM : KIV_WATCH_EVEN_PARAM;
  rec->watch_param2 = rec->watch_param1;
  rec->watch_param3 = odd ? KIV_WATCH_ODD_PERIOD : KIV_WATCH_EVEN_PERIOD;
}

int register_thread(int pid, int tid, int watch_time, int watch_count) {
  (void)kiv_parse_dbg_file();
  if (!arguments_ok(pid, tid, watch_time, watch_count)) return -1;
  kiv_thread_notify_rec rec;
  fill_record(&rec, pid, tid, watch_time);
  const RetryResult r = rpc_with_retry(kRegisterRetry, KIV_MSG_THREAD_REG, &rec, sizeof rec);
  if (r.result != 0) KIV_LOG("reg thread notify err(ret:%d)!\n", r.result);
  return r.result;
}

// Whether tid is listed in the debug list, one id a line. The list is
// opened only when it exists: a heartbeat without it costs one access().
bool listed_for_debug(int tid) {
  if (access(kDebugList, F_OK) != 0) return false;
  unique_file list(fopen(kDebugList, "re"));
  if (!list.ok()) return false;
  char tid_text[kTidTextLen];
  snprintf(tid_text, sizeof tid_text, "%d", tid);
  char line[kListLineLen];
  while (fgets(line, sizeof line, list.get()) != nullptr && line[0] != '\0') {
    const size_t n = strlen(line);
    if (line[n - 1] == '\n') line[n - 1] = '\0';
    if (strcmp(line, tid_text) == 0) return true;
  }
  return false;
}

}  // namespace
}  // namespace kiv

using kiv::kLogModule;

extern "C" int kiv_client_reg_thread_notify(int pid, int tid, int watch_time, int watch_count) {
  return kiv::register_thread(pid, tid, watch_time, watch_count);
}

extern "C" int kiv_client_reg_thread_notify_no_proc(int pid, int tid, int watch_time,
                                                    int watch_count) {
  // For the whole process and for good, whatever the registration gives.
  (void)signal(SIGABRT, SIG_IGN);
  return kiv::register_thread(pid, tid, watch_time, watch_count);
}

extern "C" int kiv_client_reset_thread_notify(int pid, int tid, int watch_time, int watch_count) {
  if (!kiv::arguments_ok(pid, tid, watch_time, watch_count)) return -1;
  // A listed thread looks stalled to the Manager: its beats are dropped.
  if (kiv::listed_for_debug(tid)) return 0;
  if (tid >= KIV_ALIVE_PID_MAX) {
    // No entry in the table: the beat travels as a message, and a Manager
    // that can't be reached is no failure of the beating thread.
    kiv_thread_notify_rec rec;
    kiv::fill_record(&rec, pid, tid, watch_time);
    (void)kiv_rpc(KIV_MSG_THREAD_BEAT, nullptr, &rec, sizeof rec, 0, 1);
    return 0;
  }
  if (kiv_sys_isreg_alive_info(tid) == 1) {
    const int r = kiv_sys_update_alive_seq(tid);
    if (r != 0) KIV_LOG("update alive err!(pid:%d, tid:%d, ret:%d)!\n", pid, tid, r);
    return r;
  }
  // Only the Manager sets the bit, once it has accepted a registration:
  // until then every beat is a registration.
  KIV_LOG("reg alive info(pid:%d, tid:%d, time:%d, count:%d)!\n", pid, tid, watch_time,
          watch_count);
  return kiv::register_thread(pid, tid, watch_time, watch_count);
}

extern "C" int kiv_client_unreg_thread_notify(int tid) {
  if (tid == 0) {
    KIV_LOG("parameter error\n");
    return -1;
  }
  kiv_cancel_req req;
  memset(&req, 0, sizeof req);
  req.kind = KIV_CANCEL_THREAD;
  req.id = tid;
  (void)kiv_rpc(KIV_MSG_CANCEL, nullptr, &req, sizeof req, 1, 0);
  return 0;
}
