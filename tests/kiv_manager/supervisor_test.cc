// The daemon's supervisors driven directly, with the test's clock and a
// launcher that records what it starts: who may ask what, the watchdog's
// abort, and what a new daemon takes back from the saved state and the
// database files.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <map>
#include <set>

#include "base/unique_fd.h"
#include "db.h"
#include "events.h"
#include "kiv_pidfile.h"
#include "kiv_utils.h"
#include "proc_supervisor.h"
#include "procs.h"
#include "state.h"
#include "support/child.h"
#include "support/files.h"
#include "support/fixture.h"
#include "thread_supervisor.h"

namespace kiv::manager {
namespace {

std::vector<std::string> g_launches;  // "program|script|shell TEXT uid N"
std::vector<pid_t> g_children;        // every process the test started

pid_t fake(const std::string& what, const Credentials& as) {
  const pid_t pid = fork();
  if (pid == 0) _exit(0);
  g_launches.push_back(what + " uid " + std::to_string(as.uid));
  g_children.push_back(pid);
  return pid;
}
pid_t fake_program(const std::string& c, int32_t, const Credentials& as) { return fake("program " + c, as); }
pid_t fake_script(const std::string& c, int32_t, const Credentials& as) { return fake("script " + c, as); }
pid_t fake_shell(const std::string& s, const Credentials& as) { return fake("shell " + s, as); }

// A process that waits, as uid, after writing text to the database file
// db (when given; "PID" in either stands for its own pid) and locking it.
// A turncoat keeps root as its saved uid and takes it back on SIGUSR1.
pid_t waiter(uid_t uid, std::string db = "", std::string text = "", bool turncoat = false) {
  int ready[2];
  if (pipe2(ready, O_CLOEXEC) != 0) return -1;
  const pid_t pid = fork();
  if (pid == 0) {
    struct flock lock = {};
    lock.l_type = F_WRLCK;
    for (std::string* s : {&db, &text}) {
      if (size_t at = s->find("PID"); at != std::string::npos) s->replace(at, 3, std::to_string(getpid()));
    }
    if (turncoat) signal(SIGUSR1, [](int) { (void)setresuid(0, 0, 0); });
    if (uid != 0 && (setresgid(uid, uid, uid) != 0 || setresuid(uid, uid, turncoat ? 0 : uid) != 0)) _exit(120);
    const int fd = db.empty() ? -1 : open(db.c_str(), O_RDWR | O_CREAT, 0644);
    if (!db.empty() && (fd < 0 || write(fd, text.data(), text.size()) < 0 || fcntl(fd, F_SETLK, &lock) != 0)) {
      _exit(121);
    }
    (void)!write(ready[1], "r", 1);
    for (;;) pause();
  }
  char c;
  close(ready[1]);
  const bool ok = read(ready[0], &c, 1) == 1;
  close(ready[0]);
  g_children.push_back(pid);
  return ok ? pid : -1;
}

// The supervisors over one registry, as the daemon holds them.
struct World {
  World() { EXPECT_TRUE(events.open()); }
  Registry reg;
  EventSet events;
  ThreadSupervisor threads{reg, TimeScale{}, false};
  ProcSupervisor sup{reg, events, TimeScale{}, RestartLimits{},
                     Launcher{fake_program, fake_script, fake_shell}, &threads};
  // The pidfd of pid's watch once that process has ended, or -1.
  int ended(pid_t pid) {
    ProcReg* r = reg.watched(pid);
    struct pollfd p = {r != nullptr ? r->pidfd.get() : -1, POLLIN, 0};
    return r != nullptr && poll(&p, 1, 5000) == 1 ? p.fd : -1;
  }
  // A request as the control socket hands it on.
  Refusal handle(const std::vector<uint8_t>& packet, const Peer& peer, int64_t now) {
    Frame f;
    EXPECT_EQ(FrameCheck::kOk, parse_frame(packet.data(), packet.size(), &f));
    const RequestKind kind = classify(f);
    if (kind == RequestKind::kTimeValue) return sup.on_time_value(f, peer);
    if (kind == RequestKind::kThreadRegister || kind == RequestKind::kThreadBeat) {
      return threads.on_thread(f, kind == RequestKind::kThreadBeat, peer, now);
    }
    if (kind != RequestKind::kCancel) return sup.on_exit_action(f, peer, now);
    const CancelReq c = decode_cancel(f.payload);
    return c.kind == KIV_CANCEL_THREAD ? threads.on_cancel(c.id, peer) : sup.on_cancel(c.id, peer);
  }
};

class SupervisorTest : public kiv::test::SandboxTest {
 protected:
  void TearDown() override {
    for (pid_t p : g_children) (void)kill(p, SIGKILL);
    while (waitpid(-1, nullptr, 0) > 0) {
    }
    g_launches.clear(), g_children.clear();
    SandboxTest::TearDown();
  }
};

// Requests of uid 65534 about root's process and thread are refused;
// what each user may do is done, and every start runs as the registrant.
TEST_F(SupervisorTest, RequestsAreJudgedByThePeerAndActionsRunAsTheRegistrant) {
  World w;
  const pid_t root = waiter(0), own = waiter(65534), turncoat = waiter(65534, "", "", true);
  ASSERT_TRUE(root > 0 && own > 0 && turncoat > 0);
  const Peer su{1, 0}, nobody{2, 65534};
  const char* other = "not a process of that user";
  const struct {
    Peer peer;
    std::vector<uint8_t> packet;
    const char* refused;
  } rows[] = {
      {nobody, make_frame(1, "", make_exit_action(root, 0, "", 5, "test-1")), other},  // not yet registered
      {nobody, make_frame(3, "", make_thread_notify(root, root, 1, 1)), other},        // not yet watched
      {su, make_frame(1, "", make_exit_action(root, 0, "/bin/prog r")), nullptr},
      {nobody, make_frame(3, "", make_thread_notify(turncoat, turncoat, 4, 180)), nullptr},
      {su, make_frame(3, "", make_thread_notify(root, root, 4, 180)), nullptr},
      {su, make_frame(4, "", make_thread_notify(root, root, 4, 180)), nullptr},  // a heartbeat message
      {nobody, make_frame(1, "", make_exit_action(root, 0, "/bin/evil")), other},
      {nobody, make_frame(3, "", make_thread_notify(root, root, 1, 1)), other},
      {nobody, make_frame(4, "", make_thread_notify(root, root, 1, 1)), other},
      {nobody, make_frame(5, "", make_cancel(1, root)), other},
      {nobody, make_frame(1, "", make_exit_action(own, 3, "/bin/own")), "the process lacks that VSD's group"},
      {nobody, make_frame(2, "/tmp/s.sh", make_exit_action(own, 0, "/bin/own", 0, "test-1")), nullptr},
      {su, make_frame(1, "", make_exit_action(root, 0, "", 0xffffffffu, "test-1")), nullptr},  // cut to 600 s
  };
  int64_t now = 0;
  for (const auto& r : rows) {
    const Refusal got = w.handle(r.packet, r.peer, now += 10000);
    EXPECT_STREQ(r.refused, got ? got.why : nullptr) << &r - rows;
  }
  // Root's thread beat last at 60 s: hung at 240 s, unless a refused
  // request fed or replaced its watch. The turncoat's, hung too, is no
  // longer of the user who asked.
  ASSERT_EQ(0, kill(turncoat, SIGUSR1));
  const std::string status = "/proc/" + std::to_string(turncoat) + "/status";
  for (int i = 0; i < 1000 && kiv::test::read_file(status).find("Uid:\t0\t") == std::string::npos; ++i) usleep(1000);
  w.threads.tick(235000);
  usleep(50000);
  EXPECT_FALSE(pidfd_ended(w.reg.watched(root)->pidfd.get())) << "aborted before its window had passed";
  w.threads.tick(now = 245000);
  const int root_fd = w.ended(root);
  ASSERT_GE(root_fd, 0) << "not aborted";
  w.sup.on_exit(root_fd, now);
  ASSERT_EQ(0, kill(own, SIGKILL));
  w.sup.on_exit(w.ended(own), now);
  EXPECT_EQ(nullptr, w.reg.thread(root));
  EXPECT_EQ(0, waitpid(turncoat, nullptr, WNOHANG)) << "aborted for another user";
  w.sup.tick(now + 600000 - 1);
  EXPECT_EQ(std::vector<std::string>{"shell /tmp/s.sh uid 65534"}, g_launches);
  w.sup.tick(now + 600000);
  EXPECT_EQ("program /bin/prog r uid 0", g_launches.back());
}

// A new daemon takes back what the last one saved, and the database files
// whose locks living registrants hold, but nothing a stranger planted.
TEST_F(SupervisorTest, SavedStateAndHeldDatabaseFilesAreTakenBack) {
  const std::string db = "/tmp/vsd/0/kiv/db/";
  ASSERT_EQ(0, chmod(db.c_str(), 01777));
  const pid_t victim = waiter(0), restored = waiter(0), withdrawn = waiter(0);
  char victim_cmd[256] = {}, name[256];
  ASSERT_EQ(0, kiv_get_cmdline(victim, victim_cmd, 255));
  const pid_t adopted = waiter(65534, db + "who.PID", "PID\n2\n/bin/who adopted");
  ASSERT_GT(adopted, 0);
  ASSERT_GT(waiter(65534, db + "forged." + std::to_string(victim), std::to_string(victim) + "\n2\n" + victim_cmd), 0);
  // Links, to a held file of root's and to a directory holding it: a
  // VSD's database directory replaced.
  ASSERT_EQ(0, mkdir("/tmp/linked", 0755));
  ASSERT_GT(waiter(0, "/tmp/linked/held.1", "PID\n2\n/bin/linked"), 0);
  ASSERT_EQ(0, symlink("/tmp/linked/held.1", (db + "link.78").c_str()));
  ASSERT_EQ(0, system("mkdir -p /tmp/vsd/3/kiv && ln -s /tmp/linked /tmp/vsd/3/kiv/db"));
  const pid_t unlocked = waiter(0);  // a living process whose file no one holds
  kiv::test::write_file(db + "unlocked." + std::to_string(unlocked), std::to_string(unlocked) + "\n2\n" + victim_cmd);
  ASSERT_EQ(0, mkfifo((db + "fifo.77").c_str(), 0666));
  // Held open with bytes in it, so that a reader that wrongly reads it
  // gets them instead of hanging the test.
  kiv::unique_fd fifo(open((db + "fifo.77").c_str(), O_RDWR | O_CLOEXEC));
  for (int i = 0; i < 64; ++i) ASSERT_EQ(15, write(fifo.get(), "77\n2\n/bin/fifo\n", 15));
  // The registration withdrawn while no daemon ran: only a stranger's
  // file of its name is left.
  ASSERT_GT(kiv_get_db_file_name(0, withdrawn, "/bin/withdrawn", name, sizeof name), 0);
  kiv::test::write_file(name);
  ASSERT_EQ(0, chown(name, 65534, 65534));

  auto saved = [](pid_t pid, const char* cmd, uid_t uid) {
    ProcReg r;
    r.pid = pid, r.cmdline = cmd, r.cred = Credentials{uid, uid, {}, true};
    return r;
  };
  // The pid of "ended" now names a later process: its start time differs.
  ProcReg ended = saved(waiter(0), "/bin/ended", 65534), live = saved(restored, "/bin/restored", 0),
          pending = saved(31998, "/bin/pending", 0), gone = saved(withdrawn, "/bin/withdrawn", 1000);
  ended.start_ticks = 1;
  live.start_ticks = start_ticks(restored);
  pending.due_ms = 300;
  gone.db_file = true;
  ASSERT_TRUE(save_registrations(kStatePath, {&ended, &live, &pending, &gone}));

  std::map<std::string, std::string> skipped;
  for (const DbEntry& e : scan_database()) {
    if (e.skipped != nullptr) skipped[e.path] = e.skipped;
  }
  EXPECT_EQ((std::map<std::string, std::string>{{db + "fifo.77", "not a regular file"},
                                                {db + "link.78", "a symbolic link"}}),
            skipped);
  World w;
  w.sup.restore_saved(100);
  w.sup.adopt_database(100);
  EXPECT_EQ(std::vector<std::string>{"program /bin/ended uid 65534"}, g_launches);
  std::set<pid_t> watched;
  for (const auto& [pid, r] : w.reg.all_watched()) watched.insert(pid);
  EXPECT_EQ((std::set<pid_t>{g_children.back(), restored, adopted}), watched);
  ASSERT_NE(nullptr, w.reg.watched(adopted));
  EXPECT_EQ(65534u, w.reg.watched(adopted)->cred.uid);
  EXPECT_EQ(300, w.reg.next_due_ms());
  w.sup.tick(300);
  EXPECT_EQ("program /bin/pending uid 0", g_launches.back());
}

}  // namespace
}  // namespace kiv::manager
