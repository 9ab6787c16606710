// The Manager against another local user: requests of uid 65534 about
// root's processes, restarts and scripts of an unprivileged registrant,
// held connections under a low descriptor limit, and traps in the
// world-writable database directory. The attacker is a forked child of the
// test that has become uid 65534 (with one supplementary group).
#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "daemon.h"
#include "frame.h"
#include "kiv_utils.h"
#include "support/fixture.h"

namespace kiv::manager::test {
namespace {

constexpr uid_t kNobody = 65534;
constexpr gid_t kGroup = 4242;
constexpr char kDbDir[] = "/tmp/vsd/0/kiv/db";
// Every start writes who it ran as, then stays (a restarted program that
// ended at once would be restarted again and again).
constexpr char kWhoScript[] =
    "f=/tmp/who.${1:-shell}; { id -u; id -g; id -G; } > $f.new; mv $f.new $f; exec sleep 60\n";
constexpr char kNobodyIds[] = "65534\n65534\n65534 4242\n";

class HostileTest : public kiv::test::SandboxTest {
 protected:
  void SetUp() override {
    SandboxTest::SetUp();
    if (IsSkipped()) return;
    ASSERT_EQ(0, chmod(kDbDir, 01777));  // as on the device
  }
  void TearDown() override {
    if (!IsSkipped()) end_other_processes();
    SandboxTest::TearDown();
  }
};

// fn runs in a child that has become uid and gid 65534; its result is the
// child's exit status. Returns the child's pid.
pid_t as_nobody(const std::function<int()>& fn) {
  const pid_t pid = fork();
  if (pid != 0) return pid;
  const struct rlimit rl = {4096, 4096};
  if (setrlimit(RLIMIT_NOFILE, &rl) != 0 || setgroups(1, &kGroup) != 0 || setresgid(kNobody, kNobody, kNobody) != 0 ||
      setresuid(kNobody, kNobody, kNobody) != 0) {
    _exit(120);
  }
  _exit(fn());
}

// Starts fn as nobody and returns once fn has called ready() (its traps are
// set) or ended; *ok tells which.
pid_t as_nobody_ready(const std::function<int(const std::function<void()>&)>& fn, bool* ok) {
  int ready[2];
  *ok = false;
  if (pipe2(ready, O_CLOEXEC) != 0) return -1;
  const pid_t pid = as_nobody([&] { return fn([&] { (void)!write(ready[1], "r", 1); }); });
  close(ready[1]);
  char c;
  *ok = read(ready[0], &c, 1) == 1;
  close(ready[0]);
  return pid;
}

int finish(pid_t pid) {
  int status = 0;
  if (waitpid(pid, &status, 0) != pid) return -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

bool put_file(const std::string& path, const std::string& text) {
  FILE* f = fopen(path.c_str(), "we");
  if (f == nullptr) return false;
  fputs(text.c_str(), f);
  return fclose(f) == 0;
}

bool wait_file(const std::string& path, const std::string& want, int timeout_ms) {
  const int64_t end = now_ms() + timeout_ms;
  while (slurp(path) != want && now_ms() < end) usleep(10000);
  return slurp(path) == want;
}

// Waits until kivctl status shows line (the counters are written at most
// once a second).
bool wait_status(const std::string& line, int timeout_ms) {
  const int64_t end = now_ms() + timeout_ms;
  std::string out;
  do {
    if (run_capture({kKivctlPath, "status"}, &out) == 0 && out.find(line) != std::string::npos) return true;
    usleep(50000);
  } while (now_ms() < end);
  return false;
}

uint64_t cpu_ticks(pid_t pid) {
  const std::string stat = slurp("/proc/" + std::to_string(pid) + "/stat");
  const size_t paren = stat.rfind(')');
  unsigned long utime = 0, stime = 0;
  // Fields 14 and 15; the text after ')' starts at field 3.
  if (paren == std::string::npos ||
      sscanf(stat.c_str() + paren + 1, " %*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %lu %lu", &utime, &stime) != 2) {
    return 0;
  }
  return utime + stime;
}

TEST_F(HostileTest, RequestsAboutRootsProcessesAreAcknowledgedRefusedAndCounted) {
  ASSERT_TRUE(put_file("/tmp/evil.sh", "id -u > /tmp/evil.out\n"));
  Daemon d;
  ASSERT_TRUE(d.start());
  Client victim({"-r", "-w", "2"});  // root's: a restart registration and a watched thread
  const pid_t pid = victim.wait_start(1, 3000);
  std::string tid_text;
  ASSERT_TRUE(victim.wait_line("thread ", 3000, &tid_text));
  ASSERT_TRUE(d.wait_log("watched", 3000)) << d.log();
  const int32_t tid = atoi(tid_text.c_str());
  const std::string evil = "/bin/sh /tmp/evil.sh";
  struct Attack {
    uint32_t type;
    std::string name;
    std::vector<uint8_t> payload;  // empty: its own restart in VSD 3, which it is not in
    int64_t ack;                   // -1: none is due
  };
  const std::vector<Attack> attacks = {
      {1, "", make_exit_action(pid, 0, evil), 1},                              // restart as root
      {2, "/tmp/evil.sh", make_exit_action(pid, 0, evil), 2},                  // script on root's exit
      {3, "", make_thread_notify(tid, pid, 1, 1), 3},                          // a 1-s window: abort
      {4, "", make_thread_notify(tid, pid, 1, 1), -1},                         // heartbeat
      {5, "", make_cancel(0, pid), 5},                                         // withdraw the restart
      {5, "", make_cancel(1, tid), 5},                                         // withdraw the watch
      {1, "", make_exit_action(pid, 0, "", 0xffffffffu, "test-1"), -1},        // postpone forever
      {1, "", {}, 1},
  };
  const int failed = finish(as_nobody([&] {
    int mask = 0;
    for (size_t i = 0; i < attacks.size(); ++i) {
      const Attack& a = attacks[i];
      const auto payload = a.payload.empty() ? make_exit_action(getpid(), 3, evil) : a.payload;
      const int sd = connect_raw();
      if (ask(sd, make_frame(a.type, a.name, payload), a.ack < 0 ? 200 : 2000) != a.ack) mask |= 1 << i;
      close(sd);
    }
    return mask;
  }));
  EXPECT_EQ(0, failed) << "rows answered wrongly (bit mask)";
  // One line per refusal, each with the client's pid and uid.
  ASSERT_TRUE(d.wait_log("(uid 65534): ", 2000, 8)) << d.log();
  EXPECT_EQ(7, d.count_log("refused: not a process of that user"));
  EXPECT_EQ(1, d.count_log("refused: the process lacks that VSD's group"));
  EXPECT_TRUE(wait_status("refused requests: 8\n", 3000));
  usleep(100000);  // an accepted 1-s watch would have aborted the thread by now
  EXPECT_TRUE(alive(pid));
  kill(pid, SIGKILL);
  const int64_t t0 = now_ms();
  const pid_t second = victim.wait_start(2, 1000);
  EXPECT_GT(second, 0) << d.log();
  EXPECT_LT(now_ms() - t0, 1000);
  EXPECT_TRUE(d.wait_log("killed by signal 9", 0));
  for (const char* never : {"withdrawn", "restart delay", "hung:", "shell restart", "vsd 3"}) {
    EXPECT_EQ(0, d.count_log(never)) << never << "\n" << d.log();
  }
  EXPECT_NE(0, access("/tmp/evil.out", F_OK));
  // Root's own time values are cut to the maximum too.
  const int sd = connect_raw();
  EXPECT_EQ(-1, ask(sd, make_frame(1, "", make_exit_action(second, 0, "", 0xffffffffu, "test-1")), 100));
  close(sd);
  EXPECT_TRUE(d.wait_log("restart delay 600 s (4294967295 s asked, 600 s at most)", 1000)) << d.log();
}

TEST_F(HostileTest, RestartsAndScriptsRunAsTheRegistrant) {
  ASSERT_TRUE(put_file("/tmp/who.sh", kWhoScript));
  ASSERT_TRUE(put_file("/etc/cmdmap/who_kw.sh", kWhoScript));
  // Taken over at start-up: a database file of its own, which it locks.
  bool ready_ok = false;
  const pid_t adopted = as_nobody_ready([&](const std::function<void()>& ready) {
    const std::string path = std::string(kDbDir) + "/who." + std::to_string(getpid());
    const int fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    const std::string text = std::to_string(getpid()) + "\n2\n/bin/sh /tmp/who.sh adopted";
    struct flock fl = {};
    fl.l_type = F_WRLCK;
    if (fd < 0 || write(fd, text.data(), text.size()) < 0 || fcntl(fd, F_SETLK, &fl) != 0) return 1;
    ready();
    pause();
    return 0;
  }, &ready_ok);
  ASSERT_TRUE(ready_ok);
  Daemon d;
  ASSERT_TRUE(d.start());
  ASSERT_TRUE(d.wait_log("pid " + std::to_string(adopted) + " registered for restart", 1000)) << d.log();
  kill(adopted, SIGKILL);
  (void)finish(adopted);
  struct Row {
    uint32_t type;
    const char* name;
    const char* cmdline;
    const char* out;
  };
  for (const Row& r : {Row{1, "", "/bin/sh /tmp/who.sh restart", "/tmp/who.restart"},
                       Row{2, "/tmp/who.sh", "/bin/true", "/tmp/who.shell"},
                       Row{2, "", "/usr/bin/who_kw keyword", "/tmp/who.keyword"}}) {
    // The registrant registers itself and ends.
    EXPECT_EQ(0, finish(as_nobody([&] {
      const int sd = connect_raw();
      return ask(sd, make_frame(r.type, r.name, make_exit_action(getpid(), 0, r.cmdline)), 2000) == r.type ? 0 : 1;
    })));
    EXPECT_TRUE(wait_file(r.out, kNobodyIds, 3000)) << r.out << ": " << slurp(r.out) << d.log();
  }
  EXPECT_TRUE(wait_file("/tmp/who.adopted", kNobodyIds, 3000)) << slurp("/tmp/who.adopted") << d.log();
}

// A registration taken back by a new Manager keeps its registrant's
// credentials: read again from a process that still runs, saved for one
// that ended while no Manager ran.
TEST_F(HostileTest, RestoredRegistrationRestartsAsTheRegistrant) {
  ASSERT_TRUE(put_file("/tmp/who.sh", kWhoScript));
  for (const bool ended : {true, false}) {
    SCOPED_TRACE(ended ? "ended while no Manager ran" : "ended later");
    (void)unlink("/tmp/who.restored");
    auto d = std::make_unique<Daemon>();
    ASSERT_TRUE(d->start());
    const pid_t registrant = as_nobody([] {
      const int sd = connect_raw();
      const auto reg = make_frame(1, "", make_exit_action(getpid(), 0, "/bin/sh /tmp/who.sh restored"));
      if (ask(sd, reg, 2000) != 1) return 1;
      pause();
      return 0;
    });
    ASSERT_TRUE(d->wait_log("pid " + std::to_string(registrant) + " registered", 2000)) << d->log();
    ASSERT_EQ(0, d->stop());
    d = std::make_unique<Daemon>();
    if (ended) {
      kill(registrant, SIGKILL);
      (void)finish(registrant);
    }
    ASSERT_TRUE(d->start()) << d->log();
    if (!ended) {
      ASSERT_TRUE(d->wait_log("restored, uid 65534", 1000)) << d->log();
      kill(registrant, SIGKILL);
      (void)finish(registrant);
    }
    EXPECT_TRUE(wait_file("/tmp/who.restored", kNobodyIds, 3000)) << slurp("/tmp/who.restored") << d->log();
    d->kill_hard();
    end_other_processes();
    (void)unlink("/tmp/kiv/registrations");
  }
}

TEST_F(HostileTest, HeldConnectionsStarveNeitherRestartsNorRootNorTheCpu) {
  struct Row {
    const char* what;
    int nofile;
  };
  for (const Row& row : {Row{"descriptor limit of 64", 64}, Row{"one user's 1024 connections", 0}}) {
    SCOPED_TRACE(row.what);
    Daemon d;
    ASSERT_TRUE(d.start(row.nofile));
    auto service = std::make_unique<Client>(std::vector<std::string>{"-r"});
    const pid_t first = service->wait_start(1, 3000);
    ASSERT_TRUE(d.wait_log("pid " + std::to_string(first) + " registered", 3000)) << d.log();
    bool ready_ok = false;
    const pid_t attacker = as_nobody_ready([&](const std::function<void()>& ready) {
      std::vector<int> held;
      for (int i = 0; i < 1024; ++i) held.push_back(connect_raw());
      ready();
      pause();
      return 0;
    }, &ready_ok);
    ASSERT_TRUE(ready_ok);
    usleep(200000);  // the daemon turns the surplus away
    const uint64_t cpu0 = cpu_ticks(d.pid());
    const int64_t t0 = now_ms();
    kill(first, SIGKILL);
    EXPECT_GT(service->wait_start(2, 1000), 0) << d.log();
    EXPECT_LT(now_ms() - t0, 1000);
    Client late({"-r"});  // root registers anew while the connections are held
    std::string ms;
    ASSERT_TRUE(late.wait_line("registered ", 5000, &ms)) << d.log();
    EXPECT_LT(atol(ms.c_str()), 1000);
    while (now_ms() - t0 < 2000) usleep(10000);
    const double share = static_cast<double>(cpu_ticks(d.pid()) - cpu0) / sysconf(_SC_CLK_TCK) /
                         (static_cast<double>(now_ms() - t0) / 1000);
    EXPECT_LT(share, 0.05) << d.log().substr(0, 4000);
    EXPECT_TRUE(wait_status("connections turned away: ", 2000));
    EXPECT_FALSE(wait_status("connections turned away: 0,", 0));
    kill(attacker, SIGKILL);
    (void)finish(attacker);
    service.reset();
    late.kill_all();
  }
}

TEST_F(HostileTest, RunningOutOfDescriptorsPausesAcceptingInsteadOfSpinning) {
  Daemon d;
  ASSERT_TRUE(d.start());
  struct rlimit before;
  ASSERT_EQ(0, prlimit(d.pid(), RLIMIT_NOFILE, nullptr, &before));
  // With a soft limit of 3 no new descriptor can be had at all.
  const struct rlimit none = {3, before.rlim_max};
  ASSERT_EQ(0, prlimit(d.pid(), RLIMIT_NOFILE, &none, nullptr));
  const pid_t attacker = as_nobody([] {
    for (int i = 0; i < 50; ++i) (void)connect_raw();  // they wait in the backlog
    pause();
    return 0;
  });
  usleep(100000);
  const uint64_t cpu0 = cpu_ticks(d.pid());
  const int64_t t0 = now_ms();
  usleep(1000000);
  const double share = static_cast<double>(cpu_ticks(d.pid()) - cpu0) / sysconf(_SC_CLK_TCK) /
                       (static_cast<double>(now_ms() - t0) / 1000);
  EXPECT_LT(share, 0.05);
  EXPECT_GT(d.count_log("not accepting clients for 100 ms"), 3) << d.log();
  EXPECT_LT(d.count_log("not accepting clients for 100 ms"), 30) << d.log();
  ASSERT_EQ(0, prlimit(d.pid(), RLIMIT_NOFILE, &before, nullptr));
  Client late({"-r"});
  std::string ms;
  EXPECT_TRUE(late.wait_line("registered ", 3000, &ms)) << d.log();
  EXPECT_LT(atol(ms.c_str()), 1000);
  kill(attacker, SIGKILL);
  (void)finish(attacker);
}

TEST_F(HostileTest, IdleConnectionIsClosed) {
  Daemon d({"-s", "0.01", "--idle-timeout", "0.2"});
  ASSERT_TRUE(d.start());
  const int64_t t0 = now_ms();
  EXPECT_EQ(0, finish(as_nobody([] { return answer(connect_raw(), 2000) == -2 ? 0 : 1; })));
  EXPECT_GE(now_ms() - t0, 200);
  EXPECT_TRUE(wait_status("closed idle: 1\n", 2000));
}

TEST_F(HostileTest, TrapsInSharedDirectoriesStallNeitherStartNorStatus) {
  // Root's process, and a file of another user that claims it.
  const pid_t victim = fork();
  if (victim == 0) {
    execl("/bin/sleep", "sleep", "60", nullptr);
    _exit(127);
  }
  usleep(50000);
  char cmd[256] = {};
  ASSERT_EQ(0, kiv_get_cmdline(victim, cmd, 255));
  const std::string db = kDbDir;
  bool ready_ok = false;
  const pid_t attacker = as_nobody_ready([&](const std::function<void()>& ready) {
    const int fd = open((db + "/forged." + std::to_string(victim)).c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    const std::string text = std::to_string(victim) + "\n2\n" + cmd;
    struct flock fl = {};
    fl.l_type = F_WRLCK;
    if (fd < 0 || write(fd, text.data(), text.size()) < 0 || fcntl(fd, F_SETLK, &fl) != 0 ||
        mkfifo((db + "/fifo.77").c_str(), 0666) != 0 || symlink("fifo.77", (db + "/link.78").c_str()) != 0) {
      return 1;
    }
    ready();
    // A FIFO and a file swapped in turn under one name, as fast as it can.
    const std::string name = db + "/swap.79", tmp = db + "/.swap";
    for (int i = 0;; ++i) {
      if (i % 2 == 0) {
        (void)close(open(tmp.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644));
      } else {
        (void)mkfifo(tmp.c_str(), 0666);
      }
      (void)rename(tmp.c_str(), name.c_str());
    }
  }, &ready_ok);
  ASSERT_TRUE(ready_ok);
  // The run directory made by that user first is not used.
  ASSERT_EQ(0, chown("/tmp/kiv", kNobody, kNobody));
  for (int round = 0; round < 5; ++round) {
    Daemon d;
    ASSERT_TRUE(d.start()) << "round " << round << "\n" << d.log();
    EXPECT_TRUE(d.wait_log("fifo.77 is not a regular file, left alone", 0)) << d.log();
    EXPECT_TRUE(d.wait_log("link.78 is a symbolic link, left alone", 0)) << d.log();
    EXPECT_TRUE(d.wait_log("owner uid 65534 is not pid " + std::to_string(victim) + "'s uid 0, left alone", 0))
        << d.log();
    std::string out;
    EXPECT_EQ(0, run_capture({"/usr/bin/timeout", "5", kKivctlPath, "status"}, &out)) << out;
    EXPECT_NE(std::string::npos, out.find("not a regular file, skipped: /tmp/vsd/0/kiv/db/fifo.77")) << out;
    EXPECT_EQ(round == 0 ? 1 : 0, d.count_log("/tmp/kiv was not a directory of this user only: moved to")) << d.log();
  }
  struct stat st;
  ASSERT_EQ(0, lstat("/tmp/kiv", &st));
  EXPECT_EQ(0u, st.st_uid);
  std::string out;
  EXPECT_EQ(0, run_capture({"/bin/sh", "-c", "rm -r /tmp/kiv.untrusted.*"}, &out));
  kill(attacker, SIGKILL);
  (void)finish(attacker);
  kill(victim, SIGKILL);
  (void)finish(victim);
}

}  // namespace
}  // namespace kiv::manager::test
