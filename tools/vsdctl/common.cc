// vsdctl: output streams, errors, argument parsing and the VSD facts that
// several commands read.
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <linux/magic.h>
#include <stdarg.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <algorithm>

#include "base/file_io.h"
#include "base/pid_walk.h"
#include "base/proc.h"
#include "base/vsd_paths.h"
#include "kiv_vsd.h"
#include "vsdctl.h"

namespace vsdctl {
namespace {

FILE* g_out = nullptr;
int g_out_fd = -1;

}  // namespace

FILE* out() { return g_out != nullptr ? g_out : stdout; }

void split_output() {
  // A descriptor the library opens must never land on 0, 1 or 2 and so mix
  // with a standard stream.
  for (int fd = 0; fd <= 2; ++fd) {
    if (fcntl(fd, F_GETFD) < 0) {
      const int null = open("/dev/null", O_RDWR);
      if (null >= 0 && null != fd) close(null);
    }
  }
  g_out_fd = fcntl(1, F_DUPFD_CLOEXEC, 3);
  if (g_out_fd < 0) return;
  g_out = fdopen(g_out_fd, "w");
  if (g_out == nullptr || dup2(2, 1) < 0) {
    if (g_out != nullptr) fclose(g_out);
    g_out = nullptr;
    g_out_fd = -1;
    return;
  }
  // The library's lines interleave with the tool's errors in time order.
  setvbuf(stdout, nullptr, _IOLBF, 0);
}

void restore_output() {
  if (g_out != nullptr) fflush(g_out);
  fflush(stdout);
  if (g_out_fd >= 0) (void)dup2(g_out_fd, 1);
}

int fail(const char* cmd, int status, const char* fmt, ...) {
  fflush(out());
  fflush(stdout);
  if (cmd != nullptr) {
    fprintf(stderr, "vsdctl: %s: ", cmd);
  } else {
    fputs("vsdctl: ", stderr);
  }
  va_list ap;
  va_start(ap, fmt);
  vfprintf(stderr, fmt, ap);
  va_end(ap);
  fputc('\n', stderr);
  return status;
}

bool parse_digits(std::string_view text, size_t max_len, unsigned* value) {
  if (text.empty() || text.size() > max_len) return false;
  unsigned n = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    n = n * 10 + static_cast<unsigned>(c - '0');
  }
  *value = n;
  return true;
}

bool parse_vsd(std::string_view text, int* vsd_no) {
  unsigned n = 0;
  if (!parse_digits(text, 2, &n) || !kiv::vsd::valid(static_cast<int>(n))) return false;
  *vsd_no = static_cast<int>(n);
  return true;
}

int vsd_arg(const char* cmd, const Args& args, size_t at, int* vsd_no) {
  if (at >= args.size()) return fail(cmd, kUsage, "missing VSD number (try 'vsdctl %s --help')", cmd);
  if (!parse_vsd(args[at], vsd_no)) {
    const std::string text(args[at]);
    return fail(cmd, kUsage, "invalid VSD number '%s' (VSDs are 1 to 15)", text.c_str());
  }
  return kOk;
}

std::string vsd_path(const char* tmpl, int vsd_no) {
  char path[256];
  snprintf(path, sizeof path, tmpl, vsd_no);
  return path;
}

bool is_dir(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool path_exists(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0;
}

bool vsd_exists(int vsd_no) { return is_dir(vsd_path(KIV_VSD_ROOT, vsd_no)); }

const char* vsd_state(int vsd_no) {
  if (path_exists(vsd_path(KIV_VSD_DELETE_MARKER, vsd_no))) return "stopping";
  if (is_dir(vsd_path(KIV_VSD_MEMBER_DIR, vsd_no))) return "running";
  // A stop leaves the pinned namespace (and the directories that hold it)
  // and the data directory; a delete leaves neither.
  if (vsd_exists(vsd_no) || is_dir(vsd_path(KIV_VSD_DATA_TALU_DIR, vsd_no))) return "stopped";
  return "absent";
}

bool netns_pinned(int vsd_no) {
  // The file carries the namespace while the namespace file system's inode
  // is mounted on it; the bare file left behind is an ordinary empty file.
  struct statfs fs;
  const std::string file = vsd_path(KIV_VSD_ROOT KIV_VSD_NETNS_FILE_SUFFIX, vsd_no);
  return statfs(file.c_str(), &fs) == 0 && static_cast<unsigned long>(fs.f_type) == NSFS_MAGIC;
}

bool read_number(const std::string& path, unsigned long long* value) {
  char text[64];
  const ssize_t n = kiv::read_small_file(path.c_str(), text, sizeof text);
  if (n <= 0 || text[0] < '0' || text[0] > '9') return false;
  *value = strtoull(text, nullptr, 10);
  return true;
}

std::string process_name(int pid) {
  char name[64];
  const ssize_t n = kiv::read_proc_file(pid, "comm", name, sizeof name);
  if (n <= 0) return {};
  std::string s(name, static_cast<size_t>(n));
  if (!s.empty() && s.back() == '\n') s.pop_back();
  return s;
}

bool process_runs(int pid) {
  char text[kiv::kProcStatLen];
  return kiv::read_proc_file(pid, "stat", text, sizeof text) > 0 && kiv::stat_says_alive(text);
}

std::vector<int> members_of(int vsd_no) {
  std::vector<int> pids;
  (void)kiv::for_each_member(
      vsd_path(KIV_VSD_MEMBER_DIR, vsd_no).c_str(), [&](pid_t pid) { pids.push_back(pid); },
      [](int) {});
  std::sort(pids.begin(), pids.end());
  return pids;
}

}  // namespace vsdctl
