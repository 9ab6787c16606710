// Saving and loading the daemon's registrations across its own restarts.
#include "state.h"

#include <ctype.h>
#include <errno.h>
#include <fcntl.h>
#include <inttypes.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "kiv_utils.h"
#include "base/unique_fd.h"
#include "log.h"

namespace kiv::manager {

namespace {

constexpr size_t kMaxStateBytes = 8u << 20;  // far above 4096 full registrations

std::string escape(const std::string& s) {
  std::string out;
  for (const unsigned char c : s) {
    if (c > ' ' && c < 0x7f && c != '%') {
      out += static_cast<char>(c);
    } else {
      char hex[4];
      snprintf(hex, sizeof hex, "%%%02X", c);
      out += hex;
    }
  }
  return out;
}

bool unescape(const std::string& s, std::string* out) {
  out->clear();
  for (size_t i = 0; i < s.size(); ++i) {
    if (s[i] != '%') {
      *out += s[i];
      continue;
    }
    if (i + 2 >= s.size() || !isxdigit(static_cast<unsigned char>(s[i + 1])) ||
        !isxdigit(static_cast<unsigned char>(s[i + 2]))) {
      return false;
    }
    *out += static_cast<char>(strtol(s.substr(i + 1, 2).c_str(), nullptr, 16));
    i += 2;
  }
  return true;
}

bool parse_int(const std::string& s, long long lo, long long hi, long long* out) {
  char* end = nullptr;
  errno = 0;
  const long long v = strtoll(s.c_str(), &end, 10);
  if (s.empty() || errno != 0 || *end != '\0' || v < lo || v > hi) return false;
  *out = v;
  return true;
}

// Comma-separated ids, at most as many as a process can carry.
bool parse_groups(const std::string& s, std::vector<gid_t>* out) {
  out->clear();
  for (size_t i = 0; i < s.size();) {
    size_t end = s.find(',', i);
    if (end == std::string::npos) end = s.size();
    long long g = 0;
    if (!parse_int(s.substr(i, end - i), 0, UINT32_MAX - 1, &g) || out->size() >= NGROUPS_MAX) return false;
    out->push_back(static_cast<gid_t>(g));
    i = end + 1;
    if (end + 1 == s.size()) return false;  // a trailing comma
  }
  return true;
}

// The kernel's id of this boot: a file written during another boot names
// pids and clock readings that mean nothing now.
std::string boot_id() {
  char buf[64] = {};
  if (kiv_read_to_buf("/proc/sys/kernel/random/boot_id", buf, sizeof buf) <= 0) return "unknown";
  buf[strcspn(buf, "\n")] = '\0';
  return buf;
}

// Owned by this user and writable by nobody else.
bool private_to_us(const struct stat& st) { return st.st_uid == geteuid() && (st.st_mode & 022) == 0; }

}  // namespace

std::string format_saved(const ProcReg& r) {
  char head[192];
  snprintf(head, sizeof head, "reg pid=%d ticks=%" PRIu64 " vsd=%d type=%u kind=%d delay=%u due=%" PRId64, r.pid,
           r.start_ticks, r.vsd, r.type, static_cast<int>(r.kind), r.delay_s, r.due_ms);
  std::string line = std::string(head) + (r.db_file ? " db=1" : "");
  // The credentials every start of the registration runs under: a program
  // that ends while no daemon runs can no longer be asked for them.
  if (r.cred.known) {
    line += " uid=" + std::to_string(r.cred.uid) + " gid=" + std::to_string(r.cred.gid) + " groups=";
    for (size_t i = 0; i < r.cred.groups.size(); ++i) line += (i ? "," : "") + std::to_string(r.cred.groups[i]);
  }
  return line + " cmd=" + escape(r.cmdline) + " shell=" + escape(r.shell) + "\n";
}

bool parse_saved(const std::string& line, ProcReg* r) {
  if (line.compare(0, 4, "reg ") != 0) return false;
  *r = ProcReg();
  unsigned seen = 0;
  size_t i = 4;
  while (i < line.size()) {
    size_t end = line.find(' ', i);
    if (end == std::string::npos) end = line.size();
    const std::string word = line.substr(i, end - i);
    i = end + 1;
    const size_t eq = word.find('=');
    if (eq == std::string::npos) return false;
    const std::string k = word.substr(0, eq), v = word.substr(eq + 1);
    long long n = 0;
    bool ok = true;
    if (k == "cmd") {
      ok = unescape(v, &r->cmdline);
    } else if (k == "shell") {
      ok = unescape(v, &r->shell);
    } else if (k == "pid" && (ok = parse_int(v, 1, INT32_MAX, &n))) {
      r->pid = static_cast<pid_t>(n);
      seen |= 1;
    } else if (k == "ticks" && (ok = parse_int(v, 0, INT64_MAX, &n))) {
      r->start_ticks = static_cast<uint64_t>(n);
    } else if (k == "vsd" && (ok = parse_int(v, 0, 15, &n))) {
      r->vsd = static_cast<int32_t>(n);
    } else if (k == "type" && (ok = parse_int(v, 0, UINT32_MAX, &n))) {
      r->type = static_cast<uint32_t>(n);
    } else if (k == "kind" && (ok = parse_int(v, 0, static_cast<int>(ExitKind::kScript), &n))) {
      r->kind = static_cast<ExitKind>(n);
      seen |= 2;
    } else if (k == "delay" && (ok = parse_int(v, 0, UINT32_MAX, &n))) {
      r->delay_s = static_cast<uint32_t>(n);
    } else if (k == "due" && (ok = parse_int(v, -1, INT64_MAX, &n))) {
      r->due_ms = n;
    } else if (k == "db" && (ok = parse_int(v, 0, 1, &n))) {
      r->db_file = n == 1;
    } else if (k == "uid" && (ok = parse_int(v, 0, UINT32_MAX - 1, &n))) {
      r->cred.uid = static_cast<uid_t>(n);
      seen |= 4;
    } else if (k == "gid" && (ok = parse_int(v, 0, UINT32_MAX - 1, &n))) {
      r->cred.gid = static_cast<gid_t>(n);
      seen |= 8;
    } else if (k == "groups") {
      ok = parse_groups(v, &r->cred.groups);
    }
    if (!ok) return false;
  }
  // Credentials count only whole: a line without them restores a
  // registration that starts nothing until its living process is read.
  r->cred.known = (seen & 12) == 12;
  if (!r->cred.known) r->cred = Credentials();
  // Nothing to start without a command line (or a script for a shell one).
  const bool action = r->kind == ExitKind::kShell ? !r->shell.empty() : !r->cmdline.empty();
  return (seen & 3) == 3 && action;
}

bool save_registrations(const char* path, const std::vector<const ProcReg*>& regs) {
  std::string text = "boot " + boot_id() + "\n";
  for (const ProcReg* r : regs) text += format_saved(*r);
  const std::string tmp = std::string(path) + ".new";
  (void)unlink(tmp.c_str());
  kiv::unique_fd fd(open(tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
  if (!fd.ok() || safe_write(fd.get(), text.data(), text.size()) != static_cast<ssize_t>(text.size())) {
    KIVD_ERROR("cannot save the registrations to %s: %m", tmp.c_str());
    (void)unlink(tmp.c_str());
    return false;
  }
  fd.reset();
  if (rename(tmp.c_str(), path) != 0) {
    KIVD_ERROR("cannot save the registrations to %s: %m", path);
    (void)unlink(tmp.c_str());
    return false;
  }
  return true;
}

std::vector<ProcReg> load_registrations(const char* path) {
  std::vector<ProcReg> out;
  const std::string dir(path, strrchr(path, '/') - path);
  struct stat st, dst;
  kiv::unique_fd fd(open(path, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
  if (!fd.ok()) {
    if (errno != ENOENT) KIVD_ERROR("saved registrations %s: %m", path);
    return out;
  }
  if (fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode) || !private_to_us(st) ||
      static_cast<size_t>(st.st_size) > kMaxStateBytes || stat(dir.c_str(), &dst) != 0 || !private_to_us(dst)) {
    KIVD_ERROR("saved registrations %s ignored: not a private regular file of this user's", path);
    return out;
  }
  std::string text(static_cast<size_t>(st.st_size) + 1, '\0');
  const ssize_t n = safe_read(fd.get(), text.data(), text.size());
  if (n < 0) {
    KIVD_ERROR("saved registrations %s: %m", path);
    return out;
  }
  text.resize(static_cast<size_t>(n));
  size_t pos = text.find('\n');
  if (pos == std::string::npos || text.compare(0, pos, "boot " + boot_id()) != 0) {
    KIVD_EVENT("saved registrations %s are from another boot, ignored", path);
    return out;
  }
  for (++pos; pos < text.size();) {
    size_t end = text.find('\n', pos);
    if (end == std::string::npos) end = text.size();
    ProcReg r;
    if (parse_saved(text.substr(pos, end - pos), &r)) {
      out.push_back(std::move(r));
    } else {
      KIVD_ERROR("saved registrations %s: bad line skipped", path);
    }
    pos = end + 1;
  }
  return out;
}

}  // namespace kiv::manager
