// kivctl: shows the Manager's shared state (see --help): the pid database,
// the alive table, the control semaphore and whether the Manager is up.
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "base/unique_fd.h"
#include "cli.h"
#include "db.h"
#include "json.h"
#include "kiv_comp_config.h"
#include "kiv_sem.h"
#include "kiv_sys_alive.h"
#include "kiv_utils.h"
#include "stats.h"

namespace {

using kiv::manager::DbEntry;
using kiv::manager::lock_holder;
using kiv::manager::Stats;

constexpr char kUsage[] =
    "Usage: kivctl [--json] status\n"
    "Shows the state the Manager shares with its clients, read without asking\n"
    "the Manager anything:\n"
    "  - whether the Manager is up: its lock holder (/tmp/kiv/kiv.pid), whether\n"
    "    its socket /tmp/kiv/.kiv accepts connections, the exit marker\n"
    "    /data/.kiv_status;\n"
    "  - the registrations of the pid database (/tmp/vsd/N/kiv/db/), each with\n"
    "    the process holding the file's lock (a living registrant) and whether\n"
    "    the registered pid lives;\n"
    "  - the threads marked registered in the alive table, with their sequence\n"
    "    bytes;\n"
    "  - the client count of the control semaphore;\n"
    "  - the Manager's counters (/tmp/kiv/kiv.stats, written at most once a\n"
    "    second): requests refused because they named another user's process,\n"
    "    connections turned away at a limit, closed when idle, and pauses for\n"
    "    want of descriptors.\n"
    "\n"
    "  -j, --json   one JSON object instead of text\n"
    "  -h, --help   show this text\n"
    "  -V, --version  show the version\n"
    "\n"
    "A user who may not read the lock file is judged by whether the socket\n"
    "accepts a connection; one who may not reach the socket either is told\n"
    "that the state is unknown.\n"
    "\n"
    "Exit status: 0 while the Manager is up, 3 when it is down, 4 when its\n"
    "state is unknown (permission denied), 2 on a usage error.\n";

constexpr char kLockPath[] = "/tmp/kiv/kiv.pid";

enum class Up { kYes, kNo, kUnknown };

struct ManagerState {
  pid_t pid = 0;  // holder of the instance lock, -1 when the lock file may not be read
  bool socket_file = false;
  bool accepting = false;
  bool denied = false;  // the socket refused this user, not the Manager's absence
  bool exit_marker = false;
  // A user who may not read the lock file falls back on the socket
  // answering; one whom the socket refuses as well can't tell.
  Up up() const {
    if (exit_marker) return Up::kNo;
    if (accepting) return pid != 0 ? Up::kYes : Up::kNo;
    return denied ? Up::kUnknown : Up::kNo;
  }
};

struct ThreadEntry {
  int tid;
  int pid;  // owning process, -1 when gone
  int seq;
  char name[32];
};

ManagerState read_manager() {
  ManagerState m;
  m.pid = lock_holder(kLockPath);
  if (m.pid == 0 && access(kLockPath, R_OK) != 0 && errno == EACCES) m.pid = -1;
  m.socket_file = access(KIV_SOCK_PATH, F_OK) == 0;
  m.exit_marker = access(KIV_STATUS_FILE, F_OK) == 0;
  // A connection that is accepted and closed at once carries no request:
  // the Manager sees a client come and go.
  kiv::unique_fd sd(socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0));
  struct sockaddr_un addr = {};
  addr.sun_family = AF_UNIX;
  snprintf(addr.sun_path, sizeof addr.sun_path, "%s", KIV_SOCK_PATH);
  m.accepting = sd.ok() && connect(sd.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
  m.denied = !m.accepting && (errno == EACCES || errno == EPERM);
  return m;
}

// Maps the table only when it exists: a status query must not create it.
bool read_threads(std::vector<ThreadEntry>* out) {
  if (access(KIV_ALIVE_SHM_FILE, F_OK) != 0) return false;
  for (int id = 1; id < KIV_ALIVE_PID_MAX; ++id) {
    if (!kiv_sys_isreg_alive_info(id)) continue;
    ThreadEntry t = {};
    t.tid = id;
    t.seq = kiv_sys_get_alive_seq(id);
    t.pid = kiv_get_ppid_form_pid(id);
    if (kiv_get_pid_name(id, t.name, sizeof t.name) != 0) t.name[0] = '\0';
    out->push_back(t);
  }
  return true;
}

const char* kind_text(int kind) {
  return kind == kiv::manager::kDbKindRestart ? "restart" : kind == kiv::manager::kDbKindOther ? "shell" : "?";
}

void print_text(const ManagerState& m, const std::vector<DbEntry>& db, bool table,
                const std::vector<ThreadEntry>& threads, int clients, const Stats* st) {
  if (m.up() == Up::kYes && m.pid < 0) {
    printf("manager: up (pid unknown: permission denied), socket %s accepting\n", KIV_SOCK_PATH);
  } else if (m.up() == Up::kYes) {
    printf("manager: up (pid %d), socket %s accepting\n", m.pid, KIV_SOCK_PATH);
  } else if (m.up() == Up::kUnknown) {
    printf("manager: unknown (permission denied): this user may not connect to %s\n", KIV_SOCK_PATH);
  } else {
    const std::string holder = m.pid < 0 ? "unknown" : std::to_string(m.pid);
    printf("manager: down (lock holder %s, socket %s%s, exit marker %s)\n", holder.c_str(), KIV_SOCK_PATH,
           !m.socket_file ? " absent" : m.accepting ? " accepting" : " not accepting",
           m.exit_marker ? "present" : "absent");
  }
  printf("registrations: %zu\n", db.size());
  if (!db.empty()) printf("  %-4s %-7s %-8s %-14s %s\n", "VSD", "PID", "KIND", "HOLDER", "COMMAND");
  for (const DbEntry& e : db) {
    if (e.skipped != nullptr) {
      printf("  %-4d %s, skipped: %s\n", e.vsd, e.skipped, e.path.c_str());
      continue;
    }
    if (!e.readable) {
      printf("  %-4d unreadable file %s\n", e.vsd, e.path.c_str());
      continue;
    }
    char holder[32];
    if (e.holder > 0) {
      snprintf(holder, sizeof holder, "%d", e.holder);
    } else {
      snprintf(holder, sizeof holder, "none (%s)", process_life(e.pid) == 0 ? "pid lives" : "stale");
    }
    printf("  %-4d %-7d %-8s %-14s %s\n", e.vsd, e.pid, kind_text(e.kind), holder, e.cmdline.c_str());
  }
  if (!table) {
    printf("threads: alive table absent\n");
  } else {
    printf("threads: %zu\n", threads.size());
    if (!threads.empty()) printf("  %-7s %-7s %-4s %s\n", "TID", "PID", "SEQ", "NAME");
    for (const ThreadEntry& t : threads) printf("  %-7d %-7d %-4d %s\n", t.tid, t.pid, t.seq, t.name);
  }
  if (clients >= 0) {
    printf("clients: %d\n", clients);
  } else {
    printf("clients: control semaphore absent\n");
  }
  if (st != nullptr) {
    printf("refused requests: %llu\nconnections turned away: %llu, closed idle: %llu\ndescriptor shortages: %llu\n",
           static_cast<unsigned long long>(st->refused), static_cast<unsigned long long>(st->turned_away),
           static_cast<unsigned long long>(st->idle_closed), static_cast<unsigned long long>(st->exhausted));
  }
}

void print_json(const ManagerState& m, const std::vector<DbEntry>& db, bool table,
                const std::vector<ThreadEntry>& threads, int clients, const Stats* st) {
  kiv::tools::Json j;
  j.begin_object().key("manager").begin_object().key("up");
  if (m.up() == Up::kUnknown) {
    j.null();
  } else {
    j.boolean(m.up() == Up::kYes);
  }
  j.key("pid").num_or_null(m.pid > 0, m.pid).key("socket").boolean(m.socket_file);
  j.key("accepting").boolean(m.accepting).key("permission_denied").boolean(m.denied || m.pid < 0);
  j.key("exit_marker").boolean(m.exit_marker).end_object();
  j.key("registrations").begin_array();
  for (const DbEntry& e : db) {
    j.begin_object().key("path").str(e.path).key("vsd").num(e.vsd);
    j.key("skipped").str_or_null(e.skipped != nullptr ? e.skipped : "").key("readable").boolean(e.readable);
    j.key("pid").num_or_null(e.readable, e.pid).key("kind");
    if (e.readable) {
      j.str(kind_text(e.kind));
    } else {
      j.null();
    }
    j.key("command").str_or_null(e.cmdline).key("holder").num_or_null(e.holder > 0, e.holder);
    j.key("pid_alive").boolean(e.readable && process_life(e.pid) == 0).end_object();
  }
  j.end_array().key("alive_table").boolean(table).key("threads").begin_array();
  for (const ThreadEntry& t : threads) {
    j.begin_object().key("tid").num(t.tid).key("pid").num_or_null(t.pid > 0, t.pid).key("seq").num(t.seq);
    j.key("name").str_or_null(t.name).end_object();
  }
  j.end_array().key("clients").num_or_null(clients >= 0, clients).key("counters");
  if (st != nullptr) {
    j.begin_object().key("refused").num(static_cast<long long>(st->refused));
    j.key("turned_away").num(static_cast<long long>(st->turned_away));
    j.key("idle_closed").num(static_cast<long long>(st->idle_closed));
    j.key("descriptor_shortages").num(static_cast<long long>(st->exhausted)).end_object();
  } else {
    j.null();
  }
  j.end_object();
  printf("%s\n", j.text().c_str());
}

}  // namespace

int main(int argc, char** argv) {
  bool json = false;
  kiv::tools::Parser p("kivctl", "kivctl --help", {kiv::tools::Opt{"json", 'j', false}}, false);
  const char* value = nullptr;
  for (int c; (c = p.next(argc, argv, &value)) != -1;) {
    switch (c) {
      case 'j': json = true; break;
      case kiv::tools::kHelp: fputs(kUsage, stdout); return 0;
      case kiv::tools::kVersion: kiv::tools::print_version("kivctl"); return 0;
      default: return kiv::tools::kExitUsage;
    }
  }
  const int first = p.index();
  if (first == argc) {
    fputs("kivctl: a command is needed (try 'kivctl --help')\n", stderr);
    return kiv::tools::kExitUsage;
  }
  const char* extra = strcmp(argv[first], "status") != 0 ? argv[first] : first + 1 < argc ? argv[first + 1] : nullptr;
  if (extra != nullptr) {
    fprintf(stderr, "kivctl: unexpected argument '%s' (try 'kivctl --help')\n", extra);
    return kiv::tools::kExitUsage;
  }
  const ManagerState m = read_manager();
  const std::vector<DbEntry> db = kiv::manager::scan_database();
  std::vector<ThreadEntry> threads;
  const bool table = read_threads(&threads);
  const int clients = kiv_get_semval();
  Stats stats;
  const Stats* st = m.up() == Up::kYes && kiv::manager::read_stats(&stats) ? &stats : nullptr;
  if (json) {
    print_json(m, db, table, threads, clients, st);
  } else {
    print_text(m, db, table, threads, clients, st);
  }
  return m.up() == Up::kYes ? 0 : m.up() == Up::kNo ? 3 : 4;
}
