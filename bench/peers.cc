// Reference peers and socket steps of the benchmark rows.
#include "peers.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <stdio.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include "frame.h"
#include "harness.h"
#include "kiv_rpc.h"

namespace bench {

using kiv::manager::kHeaderLen;
using kiv::manager::kMaxPacket;

pid_t start_echo(const char* path, int cpu) {
  (void)unlink(path);
  const int lsd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
  struct sockaddr_un addr = {};
  addr.sun_family = AF_UNIX;
  snprintf(addr.sun_path, sizeof addr.sun_path, "%s", path);
  if (bind(lsd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || listen(lsd, 256) != 0) {
    perror("bench: echo peer");
    close(lsd);
    return -1;
  }
  const pid_t pid = start_child([&] {
    if (cpu >= 0) (void)pin_to(cpu);
    std::vector<pollfd> fds = {{lsd, POLLIN, 0}};
    static uint8_t buf[kMaxPacket * 64];
    kiv_msg ack = {};
    for (;;) {
      if (poll(fds.data(), fds.size(), -1) < 0) continue;
      for (size_t i = 1; i < fds.size(); ++i) {
        if (fds[i].revents == 0) continue;
        const ssize_t n = recv(fds[i].fd, buf, sizeof buf, MSG_DONTWAIT);
        if (n <= 0) {
          if (n < 0 && errno == EAGAIN) continue;
          close(fds[i].fd);
          fds.erase(fds.begin() + static_cast<long>(i--));
          continue;
        }
        memcpy(&ack.msg_type, buf + offsetof(kiv_msg, msg_type), sizeof ack.msg_type);
        if (ack.msg_type != KIV_MSG_THREAD_BEAT) (void)send(fds[i].fd, &ack, kHeaderLen, MSG_NOSIGNAL);
      }
      if (fds[0].revents & POLLIN) {
        const int sd = accept4(lsd, nullptr, nullptr, SOCK_CLOEXEC);
        if (sd >= 0) fds.push_back({sd, POLLIN, 0});
      }
    }
  });
  close(lsd);
  return pid;
}

int connect_to(const char* path) {
  const int sd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
  struct sockaddr_un addr = {};
  addr.sun_family = AF_UNIX;
  snprintf(addr.sun_path, sizeof addr.sun_path, "%s", path);
  for (int i = 0; i < 500; ++i) {
    if (connect(sd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0) return sd;
    usleep(10000);
  }
  close(sd);
  return -1;
}

bool round_trip(int sd, const std::vector<uint8_t>& frame) {
  uint8_t buf[kMaxPacket];
  if (send(sd, frame.data(), frame.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(frame.size())) return false;
  struct pollfd p = {sd, POLLIN, 0};
  return poll(&p, 1, 5000) == 1 && recv(sd, buf, sizeof buf, 0) == static_cast<ssize_t>(kHeaderLen);
}

pid_t start_manager(int cpu, const std::vector<std::string>& args) {
  return start_child([&] {
    if (cpu >= 0) (void)pin_to(cpu);
    const int null = open("/dev/null", O_WRONLY);
    (void)dup2(null, 1);
    (void)dup2(null, 2);
    std::vector<char*> argv = {const_cast<char*>("kiv")};
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    execv(KIV_BUILD_DIR "/tools/kiv", argv.data());
    _exit(127);
  });
}

bool pin_pid(pid_t pid, int cpu) {
  cpu_set_t set;
  CPU_ZERO(&set);
  for (int i = 0; i < cpus(); ++i) {
    if (cpu < 0 || i == cpu) CPU_SET(i, &set);
  }
  return sched_setaffinity(pid, sizeof set, &set) == 0;
}

std::string probe_path() {
  char self[512] = {};
  if (readlink("/proc/self/exe", self, sizeof self - 1) < 0) return "bench_probe";
  std::string p = self;
  return p.substr(0, p.rfind('/') + 1) + "bench_probe";
}

int open_ready_fifo() {
  (void)unlink(kReadyFifo);
  if (mkfifo(kReadyFifo, 0666) != 0) return -1;
  // Read-write: opening never blocks, and a writer that is gone leaves no
  // end-of-file behind.
  return open(kReadyFifo, O_RDWR | O_CLOEXEC);
}

bool wait_ready(int fifo) {
  struct pollfd p = {fifo, POLLIN, 0};
  char c;
  return poll(&p, 1, 5000) == 1 && read(fifo, &c, 1) == 1;
}

int open_fds() {
  DIR* d = opendir("/proc/self/fd");
  if (d == nullptr) return -1;
  int n = 0;
  while (const dirent* e = readdir(d)) n += e->d_name[0] != '.';
  closedir(d);
  return n - 1;  // the directory's own descriptor
}

}  // namespace bench
