// kivctl: shows the Manager's shared state (see --help): the pid database,
// the alive table, the control semaphore and whether the Manager is up.
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "db.h"
#include "kiv_comp_config.h"
#include "kiv_sem.h"
#include "kiv_sys_alive.h"
#include "kiv_utils.h"
#include "kiv_utils/unique_fd.h"
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
    "\n"
    "Exit status: 0 while the Manager is up, 3 when it is down, 2 on a usage error.\n";

constexpr char kLockPath[] = "/tmp/kiv/kiv.pid";

struct ManagerState {
  pid_t pid = 0;  // holder of the instance lock
  bool socket_file = false;
  bool accepting = false;
  bool exit_marker = false;
  bool up() const { return pid > 0 && accepting && !exit_marker; }
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
  m.socket_file = access(KIV_SOCK_PATH, F_OK) == 0;
  m.exit_marker = access(KIV_STATUS_FILE, F_OK) == 0;
  // A connection that is accepted and closed at once carries no request:
  // the Manager sees a client come and go.
  kiv::unique_fd sd(socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0));
  struct sockaddr_un addr = {};
  addr.sun_family = AF_UNIX;
  snprintf(addr.sun_path, sizeof addr.sun_path, "%s", KIV_SOCK_PATH);
  m.accepting = sd.ok() && connect(sd.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
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

std::string json_str(const std::string& s) {
  std::string out = "\"";
  for (unsigned char c : s) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c < 0x20 || c == 0x7f) {
      char esc[8];
      snprintf(esc, sizeof esc, "\\u%04x", c);
      out += esc;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out + "\"";
}

void print_text(const ManagerState& m, const std::vector<DbEntry>& db, bool table,
                const std::vector<ThreadEntry>& threads, int clients, const Stats* st) {
  if (m.up()) {
    printf("manager: up (pid %d), socket %s accepting\n", m.pid, KIV_SOCK_PATH);
  } else {
    printf("manager: down (lock holder %d, socket %s%s, exit marker %s)\n", m.pid, KIV_SOCK_PATH,
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
  printf("{\"manager\":{\"up\":%s,\"pid\":%d,\"socket\":%s,\"accepting\":%s,\"exit_marker\":%s},", m.up() ? "true" : "false",
         m.pid, m.socket_file ? "true" : "false", m.accepting ? "true" : "false", m.exit_marker ? "true" : "false");
  printf("\"registrations\":[");
  for (size_t i = 0; i < db.size(); ++i) {
    const DbEntry& e = db[i];
    printf("%s{\"path\":%s,\"vsd\":%d,\"skipped\":%s,\"readable\":%s,\"pid\":%d,\"kind\":%s,\"command\":%s,\"holder\":%d,\"pid_alive\":%s}",
           i ? "," : "", json_str(e.path).c_str(), e.vsd, e.skipped ? json_str(e.skipped).c_str() : "null", e.readable ? "true" : "false", e.pid,
           json_str(kind_text(e.kind)).c_str(), json_str(e.cmdline).c_str(), e.holder,
           e.readable && process_life(e.pid) == 0 ? "true" : "false");
  }
  printf("],\"alive_table\":%s,\"threads\":[", table ? "true" : "false");
  for (size_t i = 0; i < threads.size(); ++i) {
    printf("%s{\"tid\":%d,\"pid\":%d,\"seq\":%d,\"name\":%s}", i ? "," : "", threads[i].tid, threads[i].pid,
           threads[i].seq, json_str(threads[i].name).c_str());
  }
  printf("],\"clients\":%d", clients);
  if (st != nullptr) {
    printf(",\"counters\":{\"refused\":%llu,\"turned_away\":%llu,\"idle_closed\":%llu,\"descriptor_shortages\":%llu}",
           static_cast<unsigned long long>(st->refused), static_cast<unsigned long long>(st->turned_away),
           static_cast<unsigned long long>(st->idle_closed), static_cast<unsigned long long>(st->exhausted));
  }
  printf("}\n");
}

}  // namespace

int main(int argc, char** argv) {
  bool json = false;
  bool status = false;
  for (int i = 1; i < argc; ++i) {
    if (strcmp(argv[i], "-j") == 0 || strcmp(argv[i], "--json") == 0) {
      json = true;
    } else if (strcmp(argv[i], "-h") == 0 || strcmp(argv[i], "--help") == 0) {
      fputs(kUsage, stdout);
      return 0;
    } else if (strcmp(argv[i], "status") == 0 && !status) {
      status = true;
    } else {
      fprintf(stderr, "kivctl: unexpected argument '%s'\nTry 'kivctl --help' for more information.\n", argv[i]);
      return 2;
    }
  }
  if (!status) {
    fputs("kivctl: a command is needed\nTry 'kivctl --help' for more information.\n", stderr);
    return 2;
  }
  const ManagerState m = read_manager();
  const std::vector<DbEntry> db = kiv::manager::scan_database();
  std::vector<ThreadEntry> threads;
  const bool table = read_threads(&threads);
  const int clients = kiv_get_semval();
  Stats stats;
  const Stats* st = m.up() && kiv::manager::read_stats(&stats) ? &stats : nullptr;
  if (json) {
    print_json(m, db, table, threads, clients, st);
  } else {
    print_text(m, db, table, threads, clients, st);
  }
  return m.up() ? 0 : 3;
}
