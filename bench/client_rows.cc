// Rows of the client side: heartbeat, kiv_rpc, the /proc readers, the
// memory watch, member recording, launch into a VSD and repeated
// registration.
#include <dirent.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <sched.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <string>
#include <vector>

#include "frame.h"
#include "harness.h"
#include "kiv_comp_config.h"
#include "kiv_rpc.h"
#include "kiv_sys_alive.h"
#include "kiv_vsd.h"
#include "kiv_vsd/vsd_internal.h"
#include "kiv_xtach.h"
#include "peers.h"
#include "rows.h"

namespace {

std::atomic<bool> g_skip_sleeps{false};

// What a /proc reader costs at least: open, one read of the whole file,
// close.
size_t raw_read(const char* path) {
  static char buf[1 << 20];
  const int fd = open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return 0;
  size_t total = 0;
  ssize_t n;
  while ((n = read(fd, buf, sizeof buf)) > 0) total += static_cast<size_t>(n);
  close(fd);
  return total;
}

// The floors walk /proc as plainly as a program can: readdir and atoi.
template <typename Fn>
void for_each_proc_pid(Fn fn) {
  DIR* d = opendir("/proc");
  while (const dirent* e = d != nullptr ? readdir(d) : nullptr) {
    const int pid = atoi(e->d_name);
    if (pid > 0) fn(pid);
  }
  if (d != nullptr) closedir(d);
}

std::vector<int> proc_pids() {
  std::vector<int> pids;
  for_each_proc_pid([&](int pid) { pids.push_back(pid); });
  return pids;
}

void status_path(int pid, char (&path)[64]) { snprintf(path, sizeof path, "/proc/%d/status", pid); }

void heartbeat() {
  const int pid = getpid(), tid = static_cast<int>(syscall(SYS_gettid));
  if (kiv_sys_init_alive_info(1) != 0 || kiv_sys_reg_alive_info(tid) != 0) {
    bench::not_measured("heartbeat vs one access()", "<= 1.10x, 0 heap calls", "no alive table");
    return;
  }
  auto beat = [&] { (void)kiv_client_reset_thread_notify(pid, tid, 1, 1); };
  const auto m = bench::alternate(4096, beat, [] { (void)access("/data/.kiv_lib_debug_pid", F_OK); });
  const double heap = bench::heap_per_call(4096, beat);
  char note[64];
  snprintf(note, sizeof note, "heap calls per call: %.1f (goal 0)", heap);
  bench::ratio_row("heartbeat vs one access()", m, 1.10, note, heap == 0);
  (void)kiv_sys_unreg_alive_info(tid);
}

// kiv_rpc with acknowledgement against send/poll/recv of the same packet,
// with the peer on the client's CPU and then on the other one.
void rpc(int peer_cpu_other) {
  const int raw = bench::connect_to(KIV_SOCK_PATH);
  kiv_exit_action_rec rec;
  memset(&rec, 0, sizeof rec);
  rec.pid = getpid();
  const auto frame = kiv::manager::make_frame(
      KIV_MSG_RESTART, "", std::vector<uint8_t>(reinterpret_cast<uint8_t*>(&rec),
                                                reinterpret_cast<uint8_t*>(&rec) + sizeof rec));
  (void)kiv_rpc(KIV_MSG_RESTART, nullptr, &rec, sizeof rec, 1, 0);  // connects
  int failures = 0;
  constexpr int kCalls = 256;
  auto call = [&] { failures += kiv_rpc(KIV_MSG_RESTART, nullptr, &rec, sizeof rec, 1, 0) != 0; };
  const auto m = bench::alternate(kCalls, call, [&] { failures += !bench::round_trip(raw, frame); });
  const double heap = bench::heap_per_call(kCalls, call);
  close(raw);
  char note[96];
  snprintf(note, sizeof note, "heap calls per call: %.1f (goal 0); failures: %d", heap, failures);
  bench::ratio_row(peer_cpu_other ? "acked kiv_rpc vs send/poll/recv, two CPUs"
                                  : "acked kiv_rpc vs send/poll/recv, one CPU",
                   m, 1.20, note, heap == 0 && failures == 0);
}

void proc_readers() {
  // A device runs a few dozen processes; the sandbox would have three.
  std::vector<pid_t> idle;
  for (int i = 0; i < 60; ++i) idle.push_back(bench::start_child([] { pause(); }));
  const std::vector<int> pids = proc_pids();
  const int n = static_cast<int>(pids.size());
  char path[64];
  auto m = bench::alternate(
      8, [&] { for (int p : pids) (void)get_vsdid(p); },
      [&] {
        for (int p : pids) {
          status_path(p, path);
          (void)raw_read(path);
        }
      });
  m.lib_ns /= n;
  m.floor_ns /= n;
  bench::ratio_row("get_vsdid per /proc entry vs open/read/close", m, 1.20,
                   std::to_string(n) + " entries");

  // Signal 0 to a group nobody has: the whole scan, no signal sent.
  m = bench::alternate(
      8, [&] { (void)kill_proc_by_groups(0, 4500); },
      [&] {
        for_each_proc_pid([&](int p) {
          status_path(p, path);
          (void)raw_read(path);
        });
      });
  bench::ratio_row("kill_proc_by_groups (scan) vs /proc walk + open/read/close", m, 1.20);

  uint64_t table[KIV_VSD_SLOTS] = {};
  const double kb = static_cast<double>(raw_read("/proc/self/smaps")) / 1024;
  m = bench::alternate(
      16, [&] { (void)get_vsd_mem("/proc/self/smaps", 0, table); },
      [&] { (void)raw_read("/proc/self/smaps"); });
  m.lib_ns /= kb;
  m.floor_ns /= kb;
  char note[64];
  snprintf(note, sizeof note, "per KB of a %.0f KB smaps", kb);
  bench::ratio_row("smaps parse (get_vsd_mem) vs open/read/close", m, 1.20, note);

  // The poll without its pacing sleeps (select() below skips them): one
  // status and one smaps per process.
  g_skip_sleeps = true;
  m = bench::alternate(
      2, [] { set_vsd_mem(); },
      [&] {
        for_each_proc_pid([&](int p) {
          status_path(p, path);
          (void)raw_read(path);
          snprintf(path, sizeof path, "/proc/%d/smaps", p);
          (void)raw_read(path);
        });
      });
  g_skip_sleeps = false;
  bench::ratio_row("set_vsd_mem without its pacing sleeps vs status+smaps reads", m, 1.20,
                   std::to_string(n) + " processes");
  for (pid_t p : idle) bench::stop_child(p);
}

// The member recording that ends create_vsd, kiv::save_vsdinfo (built in
// from the module's source), against reading every status file and
// creating the member files of the members, whom the floor knows already.
void member_recording() {
  constexpr int kVsd = 1;
  std::vector<pid_t> idle, members;
  for (int i = 0; i < 40; ++i) idle.push_back(bench::start_child([] { pause(); }));
  for (int i = 0; i < 20; ++i) {
    members.push_back(bench::start_child([] {
      const gid_t group = 3100;  // VSD 1's
      if (setgroups(1, &group) == 0) pause();
    }));
  }
  (void)mkdir("/tmp/vsd", 0777);
  (void)mkdir("/tmp/vsd/1", 0777);
  (void)mkdir("/tmp/vsd/1/kiv", 0777);
  std::vector<bool> member(1 << 22);
  for (pid_t p : members) member[static_cast<size_t>(p)] = true;
  const int n = static_cast<int>(proc_pids().size());
  char path[64];
  const auto m = bench::alternate(
      8, [] { kiv::save_vsdinfo(kVsd); },
      [&] {
        for_each_proc_pid([&](int p) {
          status_path(p, path);
          (void)raw_read(path);
          if (static_cast<size_t>(p) < member.size() && member[static_cast<size_t>(p)]) {
            snprintf(path, sizeof path, "/tmp/vsd/%d/kiv/%d", kVsd, p);
            close(open(path, O_RDWR | O_CREAT | O_CLOEXEC, 0754));
          }
        });
      });
  bench::ratio_row("member recording after create_vsd", m, 1.20,
                   std::to_string(n) + " processes, " + std::to_string(members.size()) + " members");
  for (pid_t p : members) bench::stop_child(p);
  for (pid_t p : idle) bench::stop_child(p);
}

// create_proc_to_vsd until /sbin/bench_probe runs, against a vfork-style
// child that takes the VSD's group and namespace and executes it.
void launch() {
  constexpr int kVsd = 1;
  (void)mkdir("/tmp/vsd/1", 0777);
  const std::string cp = "cp " + bench::probe_path() + " /sbin/bench_probe";
  if (system(cp.c_str()) != 0 || create_netns_for_vsd(kVsd) != 0) {
    bench::not_measured("create_proc_to_vsd until the program runs", "<= 1.50x", "no VSD 1 namespace");
    return;
  }
  const int fifo = bench::open_ready_fifo();
  const int ns = open("/tmp/vsd/1/netns/default", O_RDONLY | O_CLOEXEC);
  int failures = 0;
  const auto m = bench::alternate(
      10,
      [&] {
        (void)create_proc_to_vsd("bench_probe", kVsd);
        failures += !bench::wait_ready(fifo);
        while (waitpid(-1, nullptr, WNOHANG) > 0) {
        }
      },
      [&] {
        const gid_t g = 3100;
        const pid_t c = vfork();
        if (c == 0) {
          if (setgroups(1, &g) == 0 && setns(ns, CLONE_NEWNET) == 0) {
            execl("/sbin/bench_probe", "bench_probe", static_cast<char*>(nullptr));
          }
          _exit(127);
        }
        failures += !bench::wait_ready(fifo);
        (void)waitpid(c, nullptr, 0);
      });
  close(ns);
  close(fifo);
  bench::ratio_row("create_proc_to_vsd until the program runs vs vfork+setns+exec", m, 1.50,
                   "failures: " + std::to_string(failures));
}

// The same process registered again and again: the descriptors it keeps.
// Runs in a child, which stops early once the count has clearly grown.
void descriptors_row() {
  int out[2];
  if (pipe2(out, O_CLOEXEC) != 0) return;
  const pid_t child = bench::start_child([&] {
    // Each registration re-reads the debug configuration, which turns the
    // library's log lines back on: keep them out of the table.
    const int null = open("/dev/null", O_WRONLY | O_CLOEXEC);
    (void)dup2(null, 1);
    close(null);
    (void)reg_process_exit_action(0, KIV_MSG_RESTART);
    const int before = bench::open_fds();
    int calls = 0, after = before;
    const int64_t t0 = bench::now_ns();
    while (calls < 10000 && after - before < 500) {
      (void)reg_process_exit_action(0, KIV_MSG_RESTART);
      if (++calls % 100 == 0) after = bench::open_fds();
    }
    after = bench::open_fds();
    dprintf(out[1], "%d %d %d %.1f\n", calls, before, after,
            static_cast<double>(bench::now_ns() - t0) / calls / 1000);
  });
  close(out[1]);
  char text[96] = {};
  (void)!read(out[0], text, sizeof text - 1);
  close(out[0]);
  (void)waitpid(child, nullptr, 0);
  int calls = 0, before = 0, after = -1;
  double us = 0;
  (void)sscanf(text, "%d %d %d %lf", &calls, &before, &after, &us);
  char value[96], note[64];
  snprintf(value, sizeof value, "%d open after %d calls (%d before)", after, calls, before);
  snprintf(note, sizeof note, "%.1f us per registration", us);
  bench::row("descriptors after 10,000 re-registrations of one process", value, "constant",
             calls == 10000 && after == before, note);
}

}  // namespace

// The memory watch paces itself with select() timeouts; the row that
// measures its reading work skips them.
extern "C" int select(int n, fd_set* r, fd_set* w, fd_set* e, struct timeval* tv) {
  if (g_skip_sleeps && n == 0 && r == nullptr && w == nullptr && e == nullptr) return 0;
  using SelectFn = int (*)(int, fd_set*, fd_set*, fd_set*, struct timeval*);
  static const auto real = reinterpret_cast<SelectFn>(dlsym(RTLD_NEXT, "select"));
  return real(n, r, w, e, tv);
}

namespace bench {

void client_rows() {
  const pid_t one = start_echo(KIV_SOCK_PATH, 0);
  pin_to(0);
  heartbeat();
  rpc(0);
  stop_child(one);
  if (cpus() > 1) {
    const pid_t two = start_echo(KIV_SOCK_PATH, 1);
    rpc(1);
    stop_child(two);
  }
  const pid_t any = start_echo(KIV_SOCK_PATH, -1);
  proc_readers();
  member_recording();
  launch();
  descriptors_row();
  stop_child(any);
  unpin();
}

}  // namespace bench
