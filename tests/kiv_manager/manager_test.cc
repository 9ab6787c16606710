// The Manager end to end: the real daemon binary, client processes that
// register, beat and withdraw through the library as device programs do,
// and raw packets on the real socket, in the sandbox, at a time scale of
// 0.01 (a 120-s watchdog window lasts 1.2 s).
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <stddef.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "daemon.h"
#include "frame.h"
#include "kiv_comp_config.h"
#include "kiv_pidfile.h"
#include "base/unique_fd.h"
#include "kiv_vsd.h"
#include "support/fixture.h"

namespace kiv::manager::test {
namespace {

class ManagerTest : public kiv::test::SandboxTest {
 protected:
  void SetUp() override {
    SandboxTest::SetUp();
    if (IsSkipped()) return;
    ASSERT_EQ(0, access(kDaemonPath, X_OK)) << kDaemonPath;
  }
  void TearDown() override {
    if (!IsSkipped()) end_other_processes();
    SandboxTest::TearDown();
  }
};

bool kernel_at_least(int major, int minor) {
  struct utsname u;
  int a = 0, b = 0;
  return uname(&u) == 0 && sscanf(u.release, "%d.%d", &a, &b) == 2 && (a > major || (a == major && b >= minor));
}

bool write_proc(const char* path, const std::string& value) {
  FILE* f = fopen(path, "we");
  if (f == nullptr) return false;
  const bool ok = fputs(value.c_str(), f) >= 0;
  return fclose(f) == 0 && ok;
}

std::string self_cmdline_of(pid_t pid) {
  char path[64], buf[256] = {};
  snprintf(path, sizeof path, "/proc/%d/exe", pid);
  const ssize_t n = readlink(path, buf, sizeof buf - 1);
  return n > 0 ? std::string(buf, static_cast<size_t>(n)) : std::string();
}

// Live processes of the test client program, zombies not counted.
std::vector<pid_t> live_clients() {
  std::vector<pid_t> out;
  std::string ps;
  (void)run_capture({"/bin/ps", "-e", "-o", "pid=,stat=,args="}, &ps);
  std::istringstream in(ps);
  pid_t pid;
  std::string stat, prog;
  while (in >> pid >> stat >> prog) {
    if (prog == kClientPath && stat[0] != 'Z') out.push_back(pid);
    std::getline(in, prog);
  }
  return out;
}

// Gone from /proc: ended and reaped by its parent.
bool reaped_within(pid_t pid, int timeout_ms) {
  const std::string path = "/proc/" + std::to_string(pid);
  const int64_t end = now_ms() + timeout_ms;
  while (access(path.c_str(), F_OK) == 0) {
    if (now_ms() > end) return false;
    usleep(5000);
  }
  return true;
}

TEST_F(ManagerTest, WithDefaultOptionsAClientKilledThreeTimesIsBackWithinOneSecondEachTime) {
  Daemon d(std::vector<std::string>{});  // real time, default policy
  ASSERT_TRUE(d.start()) << d.log();
  Client c({"-r"});
  pid_t pid = c.wait_start(1, 3000);
  ASSERT_GT(pid, 0);
  ASSERT_TRUE(c.wait_line("registered ", 3000));
  for (size_t n = 2; n <= 4; ++n) {
    ASSERT_TRUE(d.wait_log("pid " + std::to_string(pid) + " registered for restart", 2000)) << d.log();
    const int64_t t0 = now_ms();
    kill(pid, SIGKILL);
    const pid_t next = c.wait_start(n, 1000);
    ASSERT_GT(next, 0) << "death " << n - 1 << "\n" << d.log();
    EXPECT_LT(now_ms() - t0, 1000);
    EXPECT_TRUE(alive(next));
    EXPECT_TRUE(d.wait_log("as pid " + std::to_string(next) + " (was pid " + std::to_string(pid) + ")", 1000));
    pid = next;
  }
  EXPECT_EQ(3, d.count_log("killed by signal 9"));
}

TEST_F(ManagerTest, FiftyClientsKilledTogetherComeBackAsExactlyFiftyAndTheOldAreReaped) {
  constexpr int kClients = 50;
  Daemon d;
  ASSERT_TRUE(d.start());
  std::vector<std::unique_ptr<Client>> clients;
  for (int i = 0; i < kClients; ++i) clients.push_back(std::make_unique<Client>(std::vector<std::string>{"-r"}));
  ASSERT_TRUE(d.wait_log("registered for restart", 20000, kClients)) << d.log();
  for (size_t round = 1; round <= 3; ++round) {
    std::vector<pid_t> old;
    for (auto& c : clients) old.push_back(c->starts().back());
    for (pid_t p : old) kill(p, SIGKILL);
    for (auto& c : clients) ASSERT_GT(c->wait_start(round + 1, 5000), 0) << "round " << round << "\n" << d.log();
    // Each new instance registers itself again; extra copies would show by now.
    ASSERT_TRUE(d.wait_log("registered for restart", 10000, kClients * static_cast<int>(round + 1))) << d.log();
    usleep(300000);
    EXPECT_EQ(static_cast<size_t>(kClients), live_clients().size()) << "round " << round;
    for (pid_t p : old) {
      if (round == 1) (void)waitpid(p, nullptr, 0);  // the first ones are this test's children
      EXPECT_TRUE(reaped_within(p, 1000)) << "pid " << p << " round " << round;
    }
  }
  EXPECT_EQ(3 * kClients, d.count_log("restarted "));
  d.kill_hard();
}

TEST_F(ManagerTest, RestartedProgramIsReapedAfterItsRegistrationIsWithdrawn) {
  Daemon d;
  ASSERT_TRUE(d.start());
  Client c({"-r"});
  const pid_t first = c.wait_start(1, 3000);
  ASSERT_TRUE(d.wait_log("pid " + std::to_string(first) + " registered", 3000)) << d.log();
  kill(first, SIGKILL);
  const pid_t second = c.wait_start(2, 2000);
  ASSERT_GT(second, 0) << d.log();
  ASSERT_TRUE(d.wait_log("pid " + std::to_string(second) + " registered", 3000)) << d.log();
  kiv::unique_fd sd(connect_raw());
  const auto cancel = make_frame(5, "", make_cancel(0, second));
  ASSERT_EQ(static_cast<ssize_t>(cancel.size()), send(sd.get(), cancel.data(), cancel.size(), MSG_NOSIGNAL));
  EXPECT_EQ(5, answer(sd.get(), 1000));
  kill(second, SIGKILL);
  EXPECT_TRUE(reaped_within(second, 1000)) << d.log();
  EXPECT_EQ(2u, c.starts().size());
}

// The Manager restarted (killed, or stopped) while a delayed restart is
// pending and after it restarted a program that another process had
// registered: the new Manager honours both, also when that program ended
// while no Manager ran.
TEST_F(ManagerTest, PendingRestartAndThirdPartyRegistrationSurviveAManagerRestart) {
  for (const bool hard : {true, false}) {
    SCOPED_TRACE(hard ? "SIGKILL" : "SIGTERM");
    auto d = std::make_unique<Daemon>();
    ASSERT_TRUE(d->start());
    Client target({});
    const pid_t t1 = target.wait_start(1, 3000);
    ASSERT_GT(t1, 0);
    Client registrant({"-r", "-p", std::to_string(t1)});
    ASSERT_TRUE(registrant.wait_line("registered ", 3000));
    kill(t1, SIGKILL);
    const pid_t t2 = target.wait_start(2, 2000);
    ASSERT_GT(t2, 0) << d->log();
    // 100 s at the test scale: restarted one second after its death.
    Client delayed({"-r", "-t", "100"});
    ASSERT_TRUE(delayed.wait_line("registered ", 3000));
    ASSERT_TRUE(d->wait_log("restart delay 100 s", 1000));
    const int64_t killed_at = now_ms();
    kill(delayed.wait_start(1, 0), SIGKILL);
    ASSERT_TRUE(d->wait_log(" in 1000 ms", 1000)) << d->log();
    usleep(100000);  // a busy Manager saves at most every 50 ms
    if (hard) {
      d->kill_hard();
    } else {
      ASSERT_EQ(0, d->stop());
      kill(t2, SIGKILL);
      ASSERT_TRUE(reaped_within(t2, 1000));
    }
    d = std::make_unique<Daemon>();
    ASSERT_TRUE(d->start()) << d->log();
    const std::string restored = "pid " + std::to_string(t2) + " registered for restart (vsd 0, restored, uid 0)";
    EXPECT_EQ(hard ? 1 : 0, d->count_log(restored)) << d->log();
    ASSERT_GT(delayed.wait_start(2, 3000), 0) << d->log();
    EXPECT_GE(now_ms() - killed_at, 900);
    if (hard) kill(t2, SIGKILL);
    EXPECT_GT(target.wait_start(3, 2000), 0) << d->log();
    d->kill_hard();
    end_other_processes();
    (void)unlink("/tmp/kiv/registrations");
  }
}

TEST_F(ManagerTest, ProcessOfAVsdIsRestartedInsideItsVsd) {
  ASSERT_EQ(0, create_vsd(1));
  (void)unlink("/sbin/mgr_client");
  ASSERT_EQ(0, symlink(kClientPath, "/sbin/mgr_client"));  // programs of a VSD live in /sbin
  Daemon d;
  ASSERT_TRUE(d.start());
  Client c({"-r"}, 1);
  const pid_t first = c.wait_start(1, 3000);
  ASSERT_TRUE(d.wait_log("pid " + std::to_string(first) + " registered for restart (vsd 1", 3000)) << d.log();
  kill(first, SIGKILL);
  const pid_t second = c.wait_start(2, 2000);
  ASSERT_GT(second, 0) << d.log();
  // It carries the VSD's group and has its member file.
  std::string status;
  ASSERT_EQ(0, run_capture({"/bin/grep", "^Groups:", "/proc/" + std::to_string(second) + "/status"}, &status));
  EXPECT_EQ("Groups:\t3100 \n", status);
  EXPECT_EQ(0, access(("/tmp/vsd/1/kiv/" + std::to_string(second)).c_str(), F_OK));
  c.kill_all();
  (void)unlink("/sbin/mgr_client");
}

TEST_F(ManagerTest, WithdrawnRegistrationIsNotRestartedAndTimeValueDelays) {
  Daemon d;
  ASSERT_TRUE(d.start());
  Client cancelled({"-r", "-c"});
  ASSERT_TRUE(cancelled.wait_line("cancel 0", 8000));
  ASSERT_TRUE(d.wait_log("registration withdrawn", 1000)) << d.log();
  kill(cancelled.wait_start(1, 0), SIGKILL);
  // A delayed restart: 50 s at the test scale is half a second.
  Client delayed({"-r", "-t", "50"});
  ASSERT_TRUE(delayed.wait_line("registered ", 3000));
  const int64_t t0 = now_ms();
  kill(delayed.wait_start(1, 0), SIGKILL);
  ASSERT_GT(delayed.wait_start(2, 3000), 0) << d.log();
  EXPECT_GE(now_ms() - t0, 450);
  EXPECT_TRUE(d.wait_log("restart delay 50 s", 100));
  EXPECT_EQ(1u, cancelled.starts().size()) << d.log();
}

TEST_F(ManagerTest, CrashLoopGuardStopsAProgramThatDiesAtOnce) {
  Daemon d({"-s", "0.01", "--max-restarts", "3", "--restart-window", "600", "--quick-restarts", "1"});
  ASSERT_TRUE(d.start());
  Client c({"-r", "-x"});
  ASSERT_TRUE(d.wait_log("crash loop: no longer restarted", 5000)) << d.log();
  usleep(200000);
  EXPECT_EQ(4u, c.starts().size()) << d.log();  // the first run and three restarts
  EXPECT_EQ(3, d.count_log("restarted "));
  // The delays grew: 0, then 1 s and 2 s at the test scale.
  EXPECT_EQ(1, d.count_log("in 10 ms"));
  EXPECT_EQ(1, d.count_log("in 20 ms"));
  EXPECT_EQ(4, d.count_log("exit status 3"));
}

TEST_F(ManagerTest, ShellAndKeywordRegistrationsRunTheirScripts) {
  {
    FILE* f = fopen("/tmp/action.sh", "we");
    ASSERT_NE(nullptr, f);
    fputs("echo shell-ran > /tmp/action.out\n", f);
    fclose(f);
    // The keyword registration runs the program's script with its arguments.
    f = fopen("/etc/cmdmap/mgr_client.sh", "we");
    ASSERT_NE(nullptr, f);
    fputs("echo \"$@\" > /tmp/keyword.out\n", f);
    fclose(f);
  }
  Daemon d;
  ASSERT_TRUE(d.start());
  Client shell({"-S", "/tmp/action.sh"});
  Client keyword({"-K"});
  ASSERT_TRUE(keyword.wait_line("registered ", 3000));
  ASSERT_TRUE(d.wait_log("registered for shell restart", 2000)) << d.log();
  ASSERT_TRUE(d.wait_log("registered for script restart", 2000)) << d.log();
  kill(shell.wait_start(1, 0), SIGKILL);
  kill(keyword.wait_start(1, 0), SIGKILL);
  ASSERT_TRUE(d.wait_log("finished: exit status 0", 3000, 2)) << d.log();
  std::string out;
  ASSERT_EQ(0, run_capture({"/bin/cat", "/tmp/action.out", "/tmp/keyword.out"}, &out));
  EXPECT_EQ("shell-ran\n-o " + keyword.out_path() + " -K\n", out);
}

TEST_F(ManagerTest, HungThreadIsAbortedAndItsProcessRestarted) {
  Daemon d;
  ASSERT_TRUE(d.start());
  // Preset (5, 120): sampled every 50 ms, hung after 1.2 s without progress.
  Client c({"-r", "-w", "2", "-H", "300"});
  const pid_t first = c.wait_start(1, 3000);
  ASSERT_TRUE(d.wait_log("watched: sampled every 5 s, hung after 120 s", 3000)) << d.log();
  const int64_t t0 = now_ms();
  ASSERT_TRUE(d.wait_log("hung: no progress", 3000)) << d.log();
  const int64_t detected = now_ms() - t0;
  EXPECT_GE(detected, 1200 + 300 - 200);  // not before the window has passed
  EXPECT_LE(detected, 1200 + 300 + 500);
  EXPECT_TRUE(d.wait_log("killed by signal 6", 1000)) << d.log();
  const pid_t second = c.wait_start(2, 1000);
  EXPECT_GT(second, 0);
  EXPECT_NE(first, second);
}

TEST_F(ManagerTest, HangOfAProcessRegisteredWithoutAbortIsLoggedAndItLivesOn) {
  Daemon d;
  ASSERT_TRUE(d.start());
  // Registered for restart too: an abort that ended it would show.
  Client c({"-r", "-n", "-w", "1", "-H", "0"});  // odd time: hung after 180 s, 1.8 s here
  const pid_t pid = c.wait_start(1, 3000);
  ASSERT_TRUE(c.wait_line("watch 0", 3000));
  ASSERT_TRUE(d.wait_log("hung: no progress", 4000)) << d.log();
  ASSERT_TRUE(d.wait_log("sending SIGABRT", 0));
  usleep(100000);
  EXPECT_TRUE(alive(pid));
  EXPECT_EQ(0, d.count_log("exited"));
  EXPECT_EQ(1u, c.starts().size());
}

TEST_F(ManagerTest, ThreadThatEndsOrWithdrawsIsUnregistered) {
  Daemon d;
  ASSERT_TRUE(d.start());
  Client ends({"-w", "2", "-E", "100"});
  Client withdraws({"-w", "2", "-E", "100", "-U"});
  const pid_t pid = ends.wait_start(1, 3000);
  std::string tid;
  ASSERT_TRUE(withdraws.wait_line("thread ", 3000, &tid));
  ASSERT_TRUE(d.wait_log("watched", 3000, 2)) << d.log();
  ASSERT_TRUE(d.wait_log("of pid " + std::to_string(pid) + " is gone, no longer watched", 2000)) << d.log();
  ASSERT_TRUE(withdraws.wait_line("unwatched", 2000));
  EXPECT_TRUE(d.wait_log("thread " + tid + ": watch withdrawn", 1000)) << d.log();
  std::string out;
  EXPECT_EQ(0, run_capture({kKivctlPath, "status"}, &out));
  EXPECT_NE(std::string::npos, out.find("threads: 0")) << out;
  EXPECT_EQ(1, d.count_log("no longer watched")) << d.log();
  EXPECT_EQ(0, d.count_log("hung:"));
  EXPECT_TRUE(alive(pid));
}

TEST_F(ManagerTest, ThreadOutsideTheTableIsJudgedByHeartbeatMessages) {
  // Ids from 163840 on have no table entry; the next-pid setting of the
  // sandbox's pid namespace gives the client such ids. Before Linux 6.14
  // the pid limit is one for the whole machine: it is raised only where
  // each pid namespace has its own.
  std::string old_max;
  ASSERT_EQ(0, run_capture({"/bin/cat", "/proc/sys/kernel/pid_max"}, &old_max));
  const bool own_limit = kernel_at_least(6, 14);
  struct Restore {
    std::string max;
    bool own_limit;
    ~Restore() {
      if (own_limit) write_proc("/proc/sys/kernel/pid_max", max);
      write_proc("/proc/sys/kernel/ns_last_pid", "1000");
    }
  } restore{old_max, own_limit};
  if (atol(old_max.c_str()) <= 180000 && (!own_limit || !write_proc("/proc/sys/kernel/pid_max", "400000"))) {
    GTEST_SKIP() << "pid limit " << atol(old_max.c_str()) << " is below the ids needed";
  }
  if (!write_proc("/proc/sys/kernel/ns_last_pid", "170000")) GTEST_SKIP() << "cannot choose pids here";
  Daemon d;
  ASSERT_TRUE(d.start());  // takes a few of the new pids itself
  Client c({"-r", "-w", "2", "-H", "300"});
  std::string tid;
  ASSERT_TRUE(c.wait_line("thread ", 3000, &tid));
  ASSERT_GT(atol(tid.c_str()), 170000);
  ASSERT_TRUE(c.wait_line("watch 0", 3000));
  ASSERT_TRUE(d.wait_log("thread " + tid + " of pid", 0)) << d.log();
  ASSERT_TRUE(d.wait_log("120 s without a heartbeat", 0)) << d.log();
  const int64_t t0 = now_ms();
  ASSERT_TRUE(d.wait_log("hung: no progress", 3000)) << d.log();
  EXPECT_GE(now_ms() - t0, 1200 + 300 - 200);
  EXPECT_TRUE(d.wait_log("killed by signal 6", 1000)) << d.log();
}

TEST_F(ManagerTest, RegistrationSurvivesAManagerKilledAndStartedAgain) {
  // A database file without a living holder is only reported.
  FILE* ghost = fopen("/tmp/vsd/0/kiv/db/ghost.31999", "we");
  ASSERT_NE(nullptr, ghost);
  fputs("31999\n2\n/bin/ghost", ghost);
  fclose(ghost);
  auto d = std::make_unique<Daemon>();
  ASSERT_TRUE(d->start());
  Client c({"-r", "-w", "2"});
  const pid_t pid = c.wait_start(1, 3000);
  std::string tid;
  ASSERT_TRUE(c.wait_line("registered ", 3000));
  ASSERT_TRUE(c.wait_line("thread ", 3000, &tid));
  ASSERT_TRUE(d->wait_log("watched", 3000));
  d->kill_hard();
  ASSERT_EQ(0, unlink("/tmp/kiv/registrations"));  // what the Manager saved: only the files are left
  d = std::make_unique<Daemon>();
  ASSERT_TRUE(d->start()) << d->log();
  // The registration file the library wrote, still locked by the client.
  const std::string p = std::to_string(pid);
  EXPECT_TRUE(d->wait_log("pid " + p + " registered for restart (vsd 0, adopted from /tmp/vsd/0/kiv/db/mgr_client." + p,
                          100))
      << d->log();
  EXPECT_TRUE(d->wait_log("stale registration file /tmp/vsd/0/kiv/db/ghost.31999 (pid 31999", 0)) << d->log();
  EXPECT_EQ(0, access("/tmp/vsd/0/kiv/db/ghost.31999", F_OK));
  // The new Manager cleared the alive table: the thread's next heartbeat
  // finds itself unregistered and registers anew over a new connection.
  EXPECT_TRUE(d->wait_log("thread " + tid + " of pid " + p + " watched", 5000)) << d->log();
  EXPECT_EQ(0, d->count_log("by request"));
  // The registration taken over is honoured.
  kill(pid, SIGKILL);
  const pid_t next = c.wait_start(2, 1000);
  ASSERT_GT(next, 0) << d->log();
  EXPECT_TRUE(d->wait_log("as pid " + std::to_string(next) + " (was pid " + p + ")", 1000)) << d->log();
}

// While the Manager is stopped, clients send nothing (the exit marker says
// so): a withdrawal then only removes the database file, and the next
// Manager must not bring the saved registration back, not even when another
// user puts a file of that name into the world-writable directory.
TEST_F(ManagerTest, RegistrationWithdrawnWhileTheManagerIsStoppedStaysWithdrawn) {
  for (const bool planted : {false, true}) {
    SCOPED_TRACE(planted ? "file planted by another user" : "file gone");
    auto d = std::make_unique<Daemon>();
    ASSERT_TRUE(d->start());
    Client c({"-r", "-c", "-D", "300"});
    ASSERT_TRUE(c.wait_line("registered ", 3000));
    ASSERT_EQ(0, d->stop());
    ASSERT_TRUE(c.wait_line("cancel 0", 3000));
    const pid_t pid = c.wait_start(1, 0);
    char name[256];
    ASSERT_GT(kiv_get_db_file_name(0, pid, "mgr_client", name, sizeof name), 0);
    if (planted) {
      const int fd = open(name, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
      ASSERT_GE(fd, 0) << name;
      ASSERT_EQ(0, fchown(fd, 65534, 65534));
      close(fd);
    }
    kill(pid, SIGKILL);
    ASSERT_EQ(pid, waitpid(pid, nullptr, 0));  // this test's child
    d = std::make_unique<Daemon>();
    ASSERT_TRUE(d->start());
    EXPECT_TRUE(d->wait_log("pid " + std::to_string(pid) + ": registration withdrawn while no daemon ran", 0))
        << d->log();
    usleep(200000);
    EXPECT_EQ(1u, c.starts().size()) << d->log();
    (void)unlink(name);
    ASSERT_EQ(0, d->stop());
  }
}

// The service manager's end of the readiness protocol: a datagram socket,
// named by a path or (leading '@') by an abstract name.
TEST_F(ManagerTest, ReadinessAndStoppingAreReportedThroughTheNotifySocket) {
  for (const std::string name : {"@kiv-test-notify", "/tmp/notify.sock"}) {
    SCOPED_TRACE(name);
    kiv::unique_fd sock(socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    const int sd = sock.get();
    struct sockaddr_un addr = {};
    addr.sun_family = AF_UNIX;
    memcpy(addr.sun_path, name.data(), name.size());
    if (name[0] == '@') addr.sun_path[0] = '\0';
    ASSERT_EQ(0, bind(sd, reinterpret_cast<sockaddr*>(&addr),
                      static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + name.size())));
    setenv("NOTIFY_SOCKET", name.c_str(), 1);
    Daemon d;
    const bool started = d.start();
    unsetenv("NOTIFY_SOCKET");
    ASSERT_TRUE(started);
    auto next = [sd]() {
      struct pollfd p = {sd, POLLIN, 0};
      char buf[64] = {};
      return poll(&p, 1, 2000) == 1 && recv(sd, buf, sizeof buf - 1, 0) > 0 ? std::string(buf) : std::string("none");
    };
    EXPECT_EQ("READY=1", next());
    // What it starts does not report in its name.
    Client c({"-r"});
    ASSERT_TRUE(d.wait_log("registered for restart", 3000));
    kill(c.wait_start(1, 0), SIGKILL);
    const pid_t restarted = c.wait_start(2, 2000);
    ASSERT_GT(restarted, 0) << d.log();
    std::string env;
    ASSERT_EQ(0, run_capture({"/bin/cat", "/proc/" + std::to_string(restarted) + "/environ"}, &env));
    EXPECT_NE(std::string::npos, env.find("DATA_TALU_DIR="));
    EXPECT_EQ(std::string::npos, env.find("NOTIFY_SOCKET"));
    EXPECT_EQ(0, d.stop());
    EXPECT_EQ("STOPPING=1", next());
    // The next round starts afresh.
    end_other_processes();
    (void)unlink("/tmp/notify.sock");
    (void)unlink("/tmp/kiv/registrations");
  }
}

// The unit file's template (the install step only fills in the program's
// directory), with the daemon built here as its program.
TEST_F(ManagerTest, ServiceUnitVerifiesCleanly) {
  std::string unit;
  ASSERT_EQ(0, run_capture({"/bin/sed", std::string("s|^ExecStart=.*|ExecStart=") + kDaemonPath + "|",
                            KIV_SOURCE_DIR "/tools/kiv/kiv.service.in"},
                           &unit));
  ASSERT_NE(std::string::npos, unit.find("\nType=notify\n"));
  FILE* f = fopen("/tmp/kiv.service", "we");
  ASSERT_NE(nullptr, f);
  fputs(unit.c_str(), f);
  fclose(f);
  std::string out;
  EXPECT_EQ(0, run_capture({"/bin/sh", "-c", "systemd-analyze verify --man=no /tmp/kiv.service 2>&1"}, &out));
  EXPECT_EQ("", out);
}

TEST_F(ManagerTest, MalformedPacketsCloseOnlyTheirConnection) {
  Daemon d;
  ASSERT_TRUE(d.start());
  std::mt19937 rng(20240611);
  int sd = -1;
  for (int i = 0; i < 200; ++i) {
    if (sd < 0) sd = connect_raw();
    ASSERT_GE(sd, 0);
    std::vector<uint8_t> p(rng() % 1200);
    for (auto& b : p) b = static_cast<uint8_t>(rng());
    if (p.size() >= 8) {
      // Never a valid frame: the length is negative or does not match.
      int32_t len = static_cast<int32_t>(rng());
      if (len >= 0 && static_cast<size_t>(len) + kHeaderLen == p.size()) len = -len - 1;
      memcpy(p.data() + offsetof(kiv_msg, msg_len), &len, sizeof len);
    }
    ASSERT_GE(send(sd, p.data(), p.size(), MSG_NOSIGNAL), 0);
    EXPECT_EQ(-2, answer(sd, 2000)) << "packet " << i << " of " << p.size() << " bytes";
    close(sd);
    sd = -1;
  }
  // Written before the daemon sleeps again, a moment after the hang-up.
  EXPECT_TRUE(d.wait_log("malformed frame", 2000, 200)) << d.log();
  EXPECT_EQ(200, d.count_log("malformed frame")) << d.log();
  sd = connect_raw();
  const auto reg = make_frame(1, "", make_exit_action(getpid(), 0, self_cmdline_of(getpid())));
  ASSERT_EQ(static_cast<ssize_t>(reg.size()), send(sd, reg.data(), reg.size(), MSG_NOSIGNAL));
  EXPECT_EQ(1, answer(sd, 1000));
  // The acknowledgement rule: a tagged time value gets no answer, the
  // connection stays open and serves the next request.
  const auto tv = make_frame(1, "", make_exit_action(getpid(), 0, "", 5, "test-1"));
  ASSERT_GE(send(sd, tv.data(), tv.size(), MSG_NOSIGNAL), 0);
  EXPECT_EQ(-1, answer(sd, 200));
  const auto cancel = make_frame(5, "", make_cancel(0, getpid()));
  ASSERT_GE(send(sd, cancel.data(), cancel.size(), MSG_NOSIGNAL), 0);
  EXPECT_EQ(5, answer(sd, 1000));
  close(sd);
}

TEST_F(ManagerTest, HundredClientsRegisteringAtOnceAreAllAcknowledged) {
  Daemon d;
  ASSERT_TRUE(d.start());
  std::vector<std::unique_ptr<Client>> clients;
  for (int i = 0; i < 100; ++i) clients.push_back(std::make_unique<Client>(std::vector<std::string>{"-r"}));
  for (auto& c : clients) {
    std::string ms;
    ASSERT_TRUE(c->wait_line("registered ", 10000));
    ASSERT_TRUE(c->wait_line("registered ", 0, &ms));
    EXPECT_GE(atol(ms.c_str()), 0);
    EXPECT_LT(atol(ms.c_str()), 4000) << "an acknowledgement was waited for";
  }
  EXPECT_TRUE(d.wait_log("registered for restart", 2000, 100));
  d.kill_hard();  // before the clients go, or they would be restarted
}

TEST_F(ManagerTest, OneInstanceStopsCleanlyAndLeavesTheExitMarker) {
  ASSERT_EQ(0, mkdir("/tmp/kiv", 0755) == 0 || errno == EEXIST ? 0 : -1);
  // A socket file left by a dead Manager is replaced; an old exit marker goes.
  int fd = open(KIV_SOCK_PATH, O_CREAT | O_WRONLY | O_CLOEXEC, 0644);
  close(fd);
  fd = open(KIV_STATUS_FILE, O_CREAT | O_WRONLY | O_CLOEXEC, 0644);
  close(fd);
  Daemon d;
  ASSERT_TRUE(d.start()) << d.log();
  EXPECT_NE(0, access(KIV_STATUS_FILE, F_OK));
  Daemon second;
  EXPECT_FALSE(second.start());
  EXPECT_NE(std::string::npos, second.log().find("another kiv is running")) << second.log();
  EXPECT_EQ(0, d.stop());
  EXPECT_EQ(0, access(KIV_STATUS_FILE, F_OK));
  EXPECT_NE(0, access(KIV_SOCK_PATH, F_OK));
  EXPECT_TRUE(d.wait_log("stopping on signal 15", 0));
}

TEST_F(ManagerTest, KivctlShowsRegistrationsThreadsAndTheManager) {
  std::string out;
  EXPECT_EQ(3, run_capture({kKivctlPath, "status"}, &out));
  EXPECT_NE(std::string::npos, out.find("manager: down")) << out;
  Daemon d;
  ASSERT_TRUE(d.start());
  Client c({"-r", "-w", "2"});
  const pid_t pid = c.wait_start(1, 3000);
  ASSERT_TRUE(d.wait_log("watched", 3000));
  EXPECT_EQ(0, run_capture({kKivctlPath, "--json", "status"}, &out));
  const std::string p = std::to_string(pid);
  EXPECT_NE(std::string::npos, out.find("\"manager\":{\"up\":true,\"pid\":" + std::to_string(d.pid()))) << out;
  EXPECT_NE(std::string::npos, out.find("\"pid\":" + p + ",\"kind\":\"restart\"")) << out;
  EXPECT_NE(std::string::npos, out.find("\"holder\":" + p + ",\"pid_alive\":true")) << out;
  EXPECT_NE(std::string::npos, out.find("\"threads\":[{\"tid\":")) << out;
  EXPECT_NE(std::string::npos, out.find(",\"pid\":" + p + ",\"seq\":")) << out;
  EXPECT_EQ(0, run_capture({kKivctlPath, "status"}, &out));
  EXPECT_NE(std::string::npos, out.find("registrations: 1")) << out;
  EXPECT_NE(std::string::npos, out.find("threads: 1")) << out;
  EXPECT_EQ(2, run_capture({kKivctlPath, "bogus"}, &out));
}

}  // namespace
}  // namespace kiv::manager::test
