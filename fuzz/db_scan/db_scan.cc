// The Manager's scan of the pid database directories, which any local user
// can write to. Each input builds a tree under /tmp/vsd, record by record:
//   VSD number, kind (file, directory, link), name length, name,
//   content length, content (a file's bytes, or a link's target).
// The target takes a private mount namespace with a tmpfs on /tmp first
// (as root), so nothing reaches the host's /tmp.
#include <errno.h>
#include <fcntl.h>
#include <ftw.h>
#include <sched.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "db.h"
#include "input.h"

using kiv::manager::DbEntry;

namespace {

int remove_entry(const char* path, const struct stat*, int, struct FTW*) {
  (void)remove(path);
  return 0;
}

// A file name from fuzz bytes: no '/', no NUL, not "." or "..".
std::string file_name(const uint8_t* p, size_t n) {
  std::string s(reinterpret_cast<const char*>(p), n);
  for (char& c : s) {
    if (c == '/' || c == '\0') c = '_';
  }
  if (s.empty() || s == "." || s == "..") s += "x";
  return s;
}

void build_tree(kiv::fuzz::Cursor& in) {
  while (in.left() > 0) {
    const int vsd = in.byte() % 17;  // 16 is beyond the scan
    const int kind = in.byte() % 3;
    size_t n;
    const uint8_t* name_bytes = in.take(in.byte() % 64, &n);
    const std::string name = file_name(name_bytes, n);
    const uint8_t* content = in.take(in.byte(), &n);
    char dir[64];
    snprintf(dir, sizeof dir, "/tmp/vsd/%d/kiv/db", vsd);
    if (mkdir("/tmp/vsd", 0777) != 0 && errno != EEXIST) abort();
    for (const char* sub : {"", "/kiv", "/kiv/db"}) {
      const std::string d = "/tmp/vsd/" + std::to_string(vsd) + sub;
      if (mkdir(d.c_str(), 0777) != 0 && errno != EEXIST) abort();
    }
    const std::string path = std::string(dir) + "/" + name;
    if (kind == 0) {
      const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0644);
      if (fd >= 0) {
        (void)!write(fd, content, n);
        (void)close(fd);
      }
    } else if (kind == 1) {
      (void)mkdir(path.c_str(), 0777);
    } else {
      // Targets stay inside the tree: what a link may reach outside it is
      // the opening code's concern, not the parser's.
      const std::string target = "/tmp/vsd/" + file_name(content, n);
      (void)symlink(target.c_str(), path.c_str());
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  if (unshare(CLONE_NEWNS) != 0 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
      mount("fuzz-tmp", "/tmp", "tmpfs", 0, "size=64m") != 0) {
    fprintf(stderr, "fuzz_db_scan needs root (a private mount namespace): %s\n", strerror(errno));
    exit(1);
  }
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  (void)nftw("/tmp/vsd", remove_entry, 16, FTW_DEPTH | FTW_PHYS);
  kiv::fuzz::Cursor in(data, size);
  build_tree(in);
  for (const DbEntry& e : kiv::manager::scan_database()) {
    if (e.vsd < 0 || e.vsd > 15 || e.path.rfind("/tmp/vsd/", 0) != 0) abort();
    if (e.readable && (e.cmdline.size() > 255 || e.cmdline[0] != '/')) abort();
  }
  return 0;
}
