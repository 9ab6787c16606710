// Reports to the service manager through $NOTIFY_SOCKET.
#include "notify.h"

#include <errno.h>
#include <stddef.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/un.h>

#include <string>

#include "base/unique_fd.h"
#include "log.h"

namespace kiv::manager {

namespace {

std::string g_socket;  // set once at start-up, before any thread or child

}  // namespace

void notify_init() {
  const char* s = getenv("NOTIFY_SOCKET");
  if (s != nullptr) g_socket = s;
  (void)unsetenv("NOTIFY_SOCKET");
}

bool notify(const char* text) {
  if (g_socket.empty()) return true;
  struct sockaddr_un addr = {};
  addr.sun_family = AF_UNIX;
  if ((g_socket[0] != '/' && g_socket[0] != '@') || g_socket.size() >= sizeof addr.sun_path) {
    KIVD_ERROR("NOTIFY_SOCKET %s: not a socket this daemon can report to", g_socket.c_str());
    return false;
  }
  memcpy(addr.sun_path, g_socket.data(), g_socket.size());
  // An abstract name starts with a NUL byte and is exactly as long as the
  // address length says; a path name ends at its NUL.
  socklen_t len = static_cast<socklen_t>(offsetof(struct sockaddr_un, sun_path) + g_socket.size());
  if (g_socket[0] == '@') {
    addr.sun_path[0] = '\0';
  } else {
    ++len;
  }
  kiv::unique_fd sd(socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0));
  ssize_t n = -1;
  if (sd.ok()) {
    do {
      n = sendto(sd.get(), text, strlen(text), MSG_NOSIGNAL, reinterpret_cast<sockaddr*>(&addr), len);
    } while (n < 0 && errno == EINTR);
  }
  if (n < 0) {
    KIVD_ERROR("cannot report %s to %s: %m", text, g_socket.c_str());
    return false;
  }
  return true;
}

}  // namespace kiv::manager
