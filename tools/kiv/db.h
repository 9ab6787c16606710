// The pid database as the daemon and kivctl read it: one file per
// registration under each VSD's database directory, write-locked by the
// registrant for as long as it lives.
#pragma once

#include <stdint.h>
#include <sys/types.h>

#include <string>
#include <vector>

#include "kiv_pidfile.h"

namespace kiv::manager {

constexpr int kDbKindRestart = KIV_DB_KIND_RESTART;  // written for a restart registration
constexpr int kDbKindOther = KIV_DB_KIND_OTHER;      // every other exit action

struct DbEntry {
  std::string path;
  int32_t vsd = 0;
  bool readable = false;  // the content parsed
  pid_t pid = 0;
  int kind = 0;
  std::string cmdline;
  pid_t holder = 0;  // the process holding the file's lock, 0 when none
  uid_t owner = 0;   // the file's owner
  const char* skipped = nullptr;  // why the entry is not a database file, or null
};

// The process holding a write lock on path (a pid database or lock file),
// 0 when none. Opens without following a link or blocking.
pid_t lock_holder(const char* path);
// Every entry of the database directories of the host and of VSDs 1..15.
// The directories are world-writable: an entry that is not a regular file
// (a FIFO, a link, a device) is listed with the reason in skipped and is
// neither opened for reading nor followed.
std::vector<DbEntry> scan_database();
// Whether pid runs cmdline now (as the library records command lines).
bool db_cmdline_matches(pid_t pid, const std::string& cmdline);
// Whether the database file of pid's registration exists as a regular file
// (not followed when it is a link) owned by root or by owner.
bool db_file_exists(int32_t vsd, pid_t pid, const std::string& cmdline, uid_t owner);
// Removes the database file of a registrant that has exited.
void remove_db_file(int32_t vsd, pid_t pid, const std::string& cmdline);

}  // namespace kiv::manager
