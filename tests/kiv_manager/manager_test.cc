// The Manager end to end: the real daemon binary, device programs that
// register through the library (the mgr_client mode of the test program),
// and other users' raw packets and held connections, in the sandbox, at a
// time scale of 0.01 unless a test says otherwise (120 s last 1.2 s).
#include <gtest/gtest.h>
#include <stddef.h>
#include <sys/stat.h>

#include <memory>

#include "base/unique_fd.h"
#include "daemon.h"
#include "frame.h"
#include "kiv_vsd.h"

namespace kiv::manager::test {
namespace {

// The tests that wait out a watchdog window or measure a second of CPU.
class ManagerSlow : public ManagerTest {};

std::string kivctl(bool json, int expect_status = 0) {
  kiv::test::ProgramCommand command(kKivctlPath, {kKivctlPath, "status", json ? "--json" : "--"});
  const kiv::test::ChildResult r = kiv::test::run_in_child([&] { return command.exec(), 127; }, 5);
  EXPECT_EQ(expect_status, kiv::test::exit_code(r)) << r.output;
  return r.output;
}

size_t live_clients() {
  size_t n = 0;
  for (const std::string& pid : kiv::test::list_dir("/proc")) {
    n += read_file("/proc/" + pid + "/cmdline").rfind(kClientPath, 0) == 0 && alive(atoi(pid.c_str()));
  }
  return n;
}

int sockets_of(pid_t pid) {
  const std::string dir = "/proc/" + std::to_string(pid) + "/fd/";
  int n = 0;
  for (const std::string& fd : kiv::test::list_dir(dir)) {
    char buf[64] = {};
    n += readlink((dir + fd).c_str(), buf, sizeof buf - 1) > 0 && strncmp(buf, "socket:", 7) == 0;
  }
  return n;
}

double cpu_s(pid_t pid) {
  const std::string stat = read_file("/proc/" + std::to_string(pid) + "/stat");
  unsigned long utime = 0, stime = 0;  // fields 14 and 15; field 3 follows ')'
  (void)sscanf(stat.c_str() + stat.rfind(')') + 1, " %*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %lu %lu", &utime,
               &stime);
  return static_cast<double>(utime + stime) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

// fn as uid 65534 in a child that runs on until the test ends it; back once
// fn has called ready.
std::unique_ptr<kiv::test::Child> stranger(const std::function<void(const std::function<void()>&)>& fn) {
  int p[2];
  if (pipe2(p, O_CLOEXEC) != 0) return nullptr;
  auto child = std::make_unique<kiv::test::Child>([&] {
    if (setresuid(65534, 65534, 65534) != 0) return 1;
    fn([&] { (void)!write(p[1], "r", 1); });
    for (;;) pause();
  });
  close(p[1]);
  char c;
  const bool ok = read(p[0], &c, 1) == 1;
  close(p[0]);
  return ok ? std::move(child) : nullptr;
}

// Many deaths at once, three times over, with the default policy in real
// time: each comes back at once as exactly one copy, every copy that ends
// is reaped, also once its registration is withdrawn.
TEST_F(ManagerTest, EachDeathRestartsOneCopyAtOnceAndEveryCopyIsReaped) {
  constexpr size_t kClients = 10;
  Daemon d(std::vector<std::string>{});
  ASSERT_TRUE(d.start()) << d.log();
  std::vector<std::unique_ptr<Client>> clients;
  for (size_t i = 0; i < kClients; ++i) clients.push_back(std::make_unique<Client>(std::vector<std::string>{"-r"}));
  for (auto& c : clients) {
    std::string ms;
    ASSERT_TRUE(c->wait_line("registered ", 10000, &ms)) << d.log();
    EXPECT_LT(atol(ms.c_str()), 4000) << "an acknowledgement was waited for";
  }
  for (size_t round = 1; round <= 3; ++round) {
    std::vector<pid_t> old;
    for (auto& c : clients) old.push_back(c->starts().back());
    const int64_t t0 = monotonic_ms();
    for (pid_t p : old) kill(p, SIGKILL);
    for (auto& c : clients) ASSERT_GT(c->wait_start(round + 1, 3000), 0) << round << "\n" << d.log();
    EXPECT_LT(monotonic_ms() - t0, 1000) << round;  // a restart held back waits a second
    // Each copy registers itself again; an extra copy would show by then.
    ASSERT_TRUE(d.wait_log("registered for restart", 5000, static_cast<int>(kClients * (round + 1))));
    usleep(200000);
    EXPECT_EQ(kClients, live_clients()) << round;
    EXPECT_GE(1, sockets_of(clients[0]->starts().back())) << "the Manager's connections inherited";
    for (pid_t p : old) {
      if (round == 1) (void)waitpid(p, nullptr, 0);  // the test's own children
      EXPECT_TRUE(reaped_within(p, 1000)) << p << " round " << round;
    }
  }
  const pid_t last = clients[0]->starts().back();
  kiv::unique_fd sd(connect_raw());
  EXPECT_EQ(5, ask(sd.get(), make_frame(5, "", make_cancel(0, last)), 1000));
  kill(last, SIGKILL);
  EXPECT_TRUE(reaped_within(last, 1000)) << d.log();
  usleep(100000);
  EXPECT_EQ(4u, clients[0]->starts().size());
}

// Restarts, shell scripts and restart scripts of uid 65534 run as it; a
// program of a VSD is started inside it, with its group. Each starts in a
// session of its own.
TEST_F(ManagerTest, StartsRunAsTheRegistrantAndInItsVsd) {
  const std::string who = "f=/tmp/who.${1:-shell}; { id -u; id -g; id -G; pwd;"
                          " echo $(($(cut -d' ' -f6 /proc/$$/stat) == $$)); } > $f.new; mv $f.new $f; exec sleep 60\n";
  kiv::test::write_file("/tmp/who.sh", who);
  kiv::test::write_file("/etc/cmdmap/who_kw.sh", who);
  kiv::test::write_file("/sbin/who_vsd", "#!/bin/sh\n" + who, 0755);
  ASSERT_EQ(0, create_vsd(1));
  Daemon d;
  ASSERT_TRUE(d.start());
  const struct {
    uint32_t type;
    const char *name, *cmdline;  // the output goes to /tmp/who.<last word>
    int vsd;
    const char* ids;
  } rows[] = {
      {1, "", "/bin/sh /tmp/who.sh restart", 0, "65534\n65534\n65534 4242\n/"},
      {2, "/tmp/who.sh", "/bin/sh shell", 0, "65534\n65534\n65534 4242\n/"},
      {2, "", "/usr/bin/who_kw keyword", 0, "65534\n65534\n65534 4242\n/"},
      {1, "", "/sbin/who_vsd vsd", 1, "0\n0\n0 3100\n/data/var/run/vsd/1"},  // root's
  };
  for (const auto& r : rows) {
    const std::string ids = r.ids + std::string("\n1\n");
    auto registrant = [&] {  // registers itself and ends
      kiv::unique_fd sd(connect_raw());
      return ask(sd.get(), make_frame(r.type, r.name, make_exit_action(getpid(), r.vsd, r.cmdline)), 2000) == r.type;
    };
    EXPECT_EQ(1, r.vsd != 0 ? kiv::test::exit_code(kiv::test::run_in_child(registrant)) : as_nobody(registrant));
    const std::string out = "/tmp/who." + std::string(strrchr(r.cmdline, ' ') + 1);
    EXPECT_TRUE(wait_until([&] { return read_file(out) == ids; }, 3000)) << out << ": " << read_file(out) << d.log();
  }
}

// Killed and started again, the Manager keeps a registration, a pending
// delayed restart and a watched thread (whose table entry the new one
// cleared, so the thread registers anew).
TEST_F(ManagerTest, RegistrationsPendingRestartsAndWatchesSurviveAManagerRestart) {
  EXPECT_NE(std::string::npos, kivctl(false, 3).find("manager: down"));
  auto d = std::make_unique<Daemon>();
  ASSERT_TRUE(d->start());
  Client c({"-r", "-w", "2"}), delayed({"-r", "-t", "100"});  // 100 s: a second at this scale
  std::string tid;
  const pid_t pid = c.wait_start(1, 3000);
  ASSERT_TRUE(c.wait_line("thread ", 3000, &tid));
  ASSERT_TRUE(delayed.wait_line("registered ", 3000));
  const std::string watched = "thread " + tid + " of pid " + std::to_string(pid) + " watched";
  ASSERT_TRUE(d->wait_log(watched, 3000)) << d->log();
  const std::string json = kivctl(true);
  for (const std::string& want : {"\"manager\":{\"up\":true,\"pid\":" + std::to_string(d->pid()),
                                  "\"pid\":" + std::to_string(pid) + ",\"kind\":\"restart\"",
                                  "{\"tid\":" + tid + ",\"pid\":" + std::to_string(pid) + ",\"seq\":"}) {
    EXPECT_NE(std::string::npos, json.find(want)) << want << "\n" << json;
  }
  const int64_t killed_at = monotonic_ms();
  kill(delayed.wait_start(1, 0), SIGKILL);
  ASSERT_TRUE(d->wait_log(" in 1000 ms", 1000)) << d->log();
  usleep(100000);  // a busy Manager saves at most every 50 ms
  d = std::make_unique<Daemon>();  // the old one killed first
  ASSERT_TRUE(d->start()) << d->log();
  EXPECT_TRUE(d->wait_log(watched, 3000)) << d->log();
  kill(pid, SIGKILL);
  EXPECT_GT(c.wait_start(2, 1000), 0) << d->log();
  EXPECT_GT(delayed.wait_start(2, 3000), 0) << d->log();
  EXPECT_GE(monotonic_ms() - killed_at, 900);
}

// The service manager's end of the readiness protocol, a datagram socket
// named by a path or (leading '@') by an abstract name; one instance only;
// the exit marker while none runs. Traps in the world-writable directories
// stall neither start nor status: a FIFO swapped with a file under one
// name, and a run directory another user made first.
TEST_F(ManagerTest, ReadinessOneInstanceExitMarkerAndTraps) {
  ASSERT_EQ(0, chmod("/tmp/vsd/0/kiv/db", 01777));
  auto attacker = stranger([](const std::function<void()>& ready) {
    ready();
    for (int i = 0;; ++i) {
      if (i % 2 == 0) (void)close(open("/tmp/vsd/0/kiv/db/.swap", O_WRONLY | O_CREAT | O_CLOEXEC, 0644));
      if (i % 2 == 1) (void)mkfifo("/tmp/vsd/0/kiv/db/.swap", 0666);
      (void)rename("/tmp/vsd/0/kiv/db/.swap", "/tmp/vsd/0/kiv/db/swap.79");
    }
  });
  ASSERT_NE(nullptr, attacker);
  ASSERT_EQ(0, chown("/tmp/kiv", 65534, 65534));
  for (const std::string name : {"@kiv-test-notify", "/tmp/notify.sock"}) {
    kiv::unique_fd sock(socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    struct sockaddr_un addr = {};
    addr.sun_family = AF_UNIX;
    memcpy(addr.sun_path, name.data(), name.size());
    if (name[0] == '@') addr.sun_path[0] = '\0';
    ASSERT_EQ(0, bind(sock.get(), reinterpret_cast<sockaddr*>(&addr),
                      static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + name.size())));
    auto next = [&] {
      struct pollfd p = {sock.get(), POLLIN, 0};
      char buf[64] = {};
      return poll(&p, 1, 2000) == 1 && recv(p.fd, buf, sizeof buf - 1, 0) > 0 ? std::string(buf) : "none";
    };
    // A socket file left by a dead Manager is replaced; an old exit marker goes.
    kiv::test::write_file(KIV_SOCK_PATH);
    kiv::test::write_file(KIV_STATUS_FILE);
    setenv("NOTIFY_SOCKET", name.c_str(), 1);
    Daemon d, second;
    ASSERT_TRUE(d.start()) << d.log();
    EXPECT_FALSE(second.start());
    unsetenv("NOTIFY_SOCKET");
    EXPECT_EQ("READY=1", next()) << name;
    EXPECT_FALSE(kiv::test::exists(KIV_STATUS_FILE));
    (void)kivctl(false);
    Client c({"-r"});  // what it starts does not report in its name
    ASSERT_TRUE(c.wait_line("registered ", 3000));
    kill(c.wait_start(1, 0), SIGKILL);
    const pid_t restarted = c.wait_start(2, 2000);
    ASSERT_GT(restarted, 0) << d.log();
    EXPECT_EQ(std::string::npos, read_file("/proc/" + std::to_string(restarted) + "/environ").find("NOTIFY_SOCKET"));
    EXPECT_EQ(0, d.stop());
    EXPECT_EQ("STOPPING=1", next()) << name;
    EXPECT_TRUE(kiv::test::exists(KIV_STATUS_FILE));
    EXPECT_FALSE(kiv::test::exists(KIV_SOCK_PATH));
    (void)unlink("/tmp/notify.sock");
  }
  struct stat st;
  ASSERT_EQ(0, lstat("/tmp/kiv", &st));
  EXPECT_EQ(0u, st.st_uid);
}

// A thread that stops advancing its byte in the alive table is aborted and
// its process restarted; one that ignores the abort lives on.
TEST_F(ManagerSlow, HungThreadIsAbortedUnlessItsProcessIgnoresAborts) {
  Daemon d;
  ASSERT_TRUE(d.start());
  Client hangs({"-r", "-w", "2", "-H", "300"}), ignores({"-r", "-n", "-w", "2", "-H", "300"});
  ASSERT_GT(hangs.wait_start(2, 4000), 0) << d.log();
  ASSERT_TRUE(d.wait_log("hung: no progress", 2000, 2)) << d.log();
  usleep(100000);
  EXPECT_TRUE(alive(ignores.wait_start(1, 0)));
  EXPECT_EQ(1u, ignores.starts().size());
}

// Malformed packets close their connection only, and a time value is not
// answered. Another user's requests about root's process are acknowledged,
// refused and counted; a connection over its limit is turned away, an idle
// one closed.
TEST_F(ManagerTest, BadPacketsAndAnotherUsersRequestsAreRefusedAndItsIdleConnectionClosed) {
  Daemon d({"-s", "0.01", "--idle-timeout", "0.3", "--max-per-user", "2"});
  ASSERT_TRUE(d.start());
  auto long_len = make_frame(1, "", make_exit_action(1, 0, "/x"));
  long_len[4] = 0x41;  // msg_len one more than the payload
  for (const auto& p : {std::vector<uint8_t>(7, 1), long_len, make_frame(5, "", {})}) {
    kiv::unique_fd sd(connect_raw());
    EXPECT_EQ(-2, ask(sd.get(), p, 2000)) << p.size() << " bytes";
  }
  Client victim({"-r"});
  const pid_t pid = victim.wait_start(1, 3000);
  ASSERT_TRUE(victim.wait_line("registered ", 3000));
  kiv::unique_fd sd(connect_raw());
  EXPECT_EQ(-1, ask(sd.get(), make_frame(1, "", make_exit_action(getpid(), 0, "", 5, "test-1")), 200));
  EXPECT_EQ(5, ask(sd.get(), make_frame(5, "", make_cancel(0, getpid())), 1000));
  const int64_t t0 = monotonic_ms();
  EXPECT_EQ(0, as_nobody([&] {
    kiv::unique_fd sd(connect_raw());
    kiv::unique_fd second(connect_raw()), third(connect_raw());  // one over its limit
    return (ask(sd.get(), make_frame(1, "", make_exit_action(pid, 0, "/bin/evil")), 2000) != 1) +
           (ask(sd.get(), make_frame(5, "", make_cancel(0, pid)), 2000) != 5) * 2 +
           (ask(third.get(), {}, 200) != -2) * 4 + (ask(second.get(), {}, 0) != -1) * 8 +
           (ask(sd.get(), {}, 2000) != -2) * 16;
  }));
  EXPECT_GE(monotonic_ms() - t0, 300);
  std::string status;
  EXPECT_TRUE(wait_until([&] {
    status = kivctl(false);
    return status.find("refused requests: 2\n") != std::string::npos &&
           status.find("closed idle: 0\n") == std::string::npos;
  }, 3000)) << status;
  kill(pid, SIGKILL);
  EXPECT_GT(victim.wait_start(2, 1000), 0) << d.log();
}

// One user's held connections, or no descriptor left at all, starve
// neither restarts nor root's registrations nor the CPU.
TEST_F(ManagerSlow, HeldConnectionsAndNoDescriptorsStarveNothing) {
  // nofile 0: the default; -1: no new descriptor at all.
  for (const auto& [nofile, connections] : {std::pair{64, 1024}, {0, 1024}, {-1, 50}}) {
    SCOPED_TRACE(nofile);
    (void)unlink("/tmp/kiv/registrations");  // the last row's clients stay ended
    Daemon d;
    ASSERT_TRUE(d.start(nofile > 0 ? nofile : 0));
    Client service({"-r"});
    const pid_t first = service.wait_start(1, 3000);
    ASSERT_TRUE(service.wait_line("registered ", 3000));
    struct rlimit before;
    ASSERT_EQ(0, prlimit(d.pid(), RLIMIT_NOFILE, nullptr, &before));
    const struct rlimit none = {3, before.rlim_max};
    ASSERT_EQ(0, prlimit(d.pid(), RLIMIT_NOFILE, nofile < 0 ? &none : nullptr, nullptr));
    auto attacker = stranger([&](const std::function<void()>& ready) {
      for (int i = 0; i < connections; ++i) (void)connect_raw();  // kept open
      ready();
    });
    ASSERT_NE(nullptr, attacker);
    usleep(100000);
    auto restart_and_register = [&] {
      const int64_t t1 = monotonic_ms();
      kill(first, SIGKILL);
      EXPECT_GT(service.wait_start(2, 1000), 0) << d.log();
      EXPECT_LT(monotonic_ms() - t1, 1000);
      Client late({"-r"});  // root registers anew while the connections are held
      std::string ms;
      EXPECT_TRUE(late.wait_line("registered ", 3000, &ms)) << d.log();
      EXPECT_LT(atol(ms.c_str()), 1000);
    };
    const double cpu0 = cpu_s(d.pid());
    const int64_t t0 = monotonic_ms();
    if (nofile >= 0) restart_and_register();
    while (monotonic_ms() - t0 < 1000) usleep(10000);
    EXPECT_LT((cpu_s(d.pid()) - cpu0) / static_cast<double>(monotonic_ms() - t0) * 1000, 0.05);
    if (nofile < 0) {
      ASSERT_EQ(0, prlimit(d.pid(), RLIMIT_NOFILE, &before, nullptr));
      restart_and_register();
    } else {
      EXPECT_EQ(std::string::npos, kivctl(false).find("connections turned away: 0,"));
    }
  }
}

}  // namespace
}  // namespace kiv::manager::test
