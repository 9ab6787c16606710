// Exit actions: a process asks the Manager to restart it (directly or
// through a shell command) when it exits, or sends it a time value.
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include "base/log.h"
#include "kiv_dbg.h"
#include "kiv_pidfile.h"
#include "kiv_rpc.h"
#include "kiv_rpc/rpc_retry.h"
#include "kiv_utils.h"
#include "kiv_vsd.h"
#include "kiv_xtach.h"

namespace kiv {
namespace {

constexpr char kLogModule[] = "kiv_xtach";
// kiv_get_cmdline's size: at most 254 characters and the NUL, one byte
// short of the record's field.
constexpr size_t kCmdlineReadLen = KIV_CMDLINE_LEN - 1;
constexpr int kNameModulo = 20;
constexpr char kRestartKeyword[] = "KIV_RESTART";
constexpr char kShellRestartKeyword[] = "KIV_SHELL_RESTART";

const char* or_null_text(const char* s) { return s != nullptr ? s : "(null)"; }

// The "test-N" name of the shell and time requests.
void set_test_name(kiv_exit_action_rec* rec) {
  snprintf(rec->name, sizeof rec->name, "test-%d", rec->pid % kNameModulo);
}

// The VSD number of rec->pid (the host when the answer is negative).
void set_vsd(kiv_exit_action_rec* rec) {
  const int vsd = get_vsdid(rec->pid);
  rec->vsd_id = vsd < 0 ? 0 : vsd;
}

// Reads the command line into the record and, when it came whole, writes
// the pid database file. A registration goes on without one.
void record_cmdline(kiv_exit_action_rec* rec, uint32_t type, const char* op) {
  if (kiv_get_cmdline(rec->pid, rec->cmdline, kCmdlineReadLen) != 0) {
    KIV_LOG("%s: fail to get pid %d's cmdline\n", op, rec->pid);
    return;
  }
  if (kiv_mk_pidfile(rec, static_cast<int>(type)) < 0) {
    KIV_LOG("kiv_mk_pidfile fail. vsd %d pid %d name %s \n", rec->vsd_id, rec->pid, rec->cmdline);
  }
}

}  // namespace
}  // namespace kiv

using kiv::kLogModule;

extern "C" int reg_process_exit_action(int pid, uint32_t type) {
  static constexpr char kName[] = "reg_process_exit_action";
  (void)kiv_parse_dbg_file();
  kiv_exit_action_rec rec;
  memset(&rec, 0, sizeof rec);
  if (pid == 0) pid = getpid();
  if (pid < 0) {
    KIV_LOG("The pid you enter is < 0 \n");
    return -1;
  }
  rec.pid = pid;
  kiv::set_vsd(&rec);
  KIV_LOG("%s: pid %d type %d vsd %d\n", kName, rec.pid, static_cast<int>(type), rec.vsd_id);
  kiv::record_cmdline(&rec, type, kName);
  (void)kiv::rpc_with_retry(kiv::kRegisterRetry, type, &rec, sizeof rec);
  // The registration is the Manager's to keep: a caller gets on with its
  // work even when the Manager could not be told.
  return 0;
}

extern "C" int reg_process_exit_action_shell(int pid, uint32_t type, const char* shell_path) {
  static constexpr char kName[] = "reg_process_exit_action_shell";
  (void)kiv_parse_dbg_file();
  kiv_exit_action_rec rec;
  memset(&rec, 0, sizeof rec);
  if (pid < 0) {
    KIV_LOG("The pid you enter is < 0 \n");
    return -1;
  }
  rec.pid = pid == 0 ? getpid() : pid;
  kiv::set_test_name(&rec);
  kiv::set_vsd(&rec);
  KIV_LOG("%s: pid %d type %d vsd %d path %s\n", kName, rec.pid, static_cast<int>(type), rec.vsd_id,
          kiv::or_null_text(shell_path));
  kiv::record_cmdline(&rec, type, kName);
  return kiv_rpc(type, shell_path, &rec, sizeof rec, 0, 0);
}

extern "C" int reg_third_part_process_exit_action(int pid, const char* keyword) {
  if (keyword == nullptr) return -1;
  // Only the keyword's leading characters count: "KIV_RESTART_NOW" is a
  // restart request as well.
  if (strncmp(keyword, kiv::kRestartKeyword, sizeof kiv::kRestartKeyword - 1) == 0) {
    return reg_process_exit_action(pid, KIV_EXIT_RESTART);
  }
  if (strncmp(keyword, kiv::kShellRestartKeyword, sizeof kiv::kShellRestartKeyword - 1) == 0) {
    return reg_process_exit_action(pid, KIV_EXIT_SHELL_RESTART);
  }
  return -1;
}

extern "C" int kiv_time_set(int pid, uint32_t type, uint32_t time_val) {
  kiv_exit_action_rec rec;
  memset(&rec, 0, sizeof rec);
  rec.time_val = time_val;
  if (pid < 0) {
    KIV_LOG("The pid you enter is < 0 \n");
    return -1;
  }
  rec.pid = pid == 0 ? getpid() : pid;
  kiv::set_test_name(&rec);
  return kiv_rpc(type, nullptr, &rec, sizeof rec, 0, 0);
}
