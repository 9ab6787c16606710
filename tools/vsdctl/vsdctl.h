// vsdctl: what the command's files share: its output stream, error
// reporting, argument parsing and the VSD facts that several commands read.
#pragma once

#include <stdint.h>
#include <stdio.h>

#include <string>
#include <string_view>
#include <vector>

#include "cli.h"

namespace vsdctl {

using kiv::tools::Opt;
using kiv::tools::Parser;

// Exit statuses.
inline constexpr int kOk = 0;
inline constexpr int kFailed = 1;
inline constexpr int kUsage = 2;

// The tool's own output. Standard output (descriptor 1) carries the
// library's log and progress lines, which are sent to standard error, so
// that listings and JSON stay well-formed whatever the library prints.
FILE* out();
// Moves descriptor 1 over to standard error and keeps the original for
// out(). Also makes sure descriptors 0 to 2 are open.
void split_output();
// In a child about to exec a user's command: descriptor 1 is the original
// standard output again.
void restore_output();

// "vsdctl: CMD: message" (without "CMD: " for a null cmd) on standard
// error; returns status.
int fail(const char* cmd, int status, const char* fmt, ...) __attribute__((format(printf, 3, 4)));

// A command's name and then its operands.
using Args = std::vector<std::string_view>;

// The options given to a command (and the global --json).
struct Flags {
  bool json = false;
  bool all = false;      // list: also absent VSDs
  bool enforce = false;  // mem: kill over the limit
  bool script = false;   // launch
  bool wait = false;     // launch
  const char* memory = nullptr;  // set
  const char* cpu = nullptr;     // set
};

// Plain decimal digits, at most max_len of them (no sign, no blank).
bool parse_digits(std::string_view text, size_t max_len, unsigned* value);
// A VSD number, 1 to 15, written in decimal; false otherwise.
bool parse_vsd(std::string_view text, int* vsd_no);
// The VSD argument of CMD or a usage error (reported); 0 on success.
int vsd_arg(const char* cmd, const Args& args, size_t at, int* vsd_no);

// Per-VSD paths (the templates of the library's layout).
std::string vsd_path(const char* tmpl, int vsd_no);
bool vsd_exists(int vsd_no);         // its root directory is there
// "running", "stopping", "stopped" or "absent", as its files show.
const char* vsd_state(int vsd_no);
bool netns_pinned(int vsd_no);       // a namespace is mounted on its file
bool is_dir(const std::string& path);
bool path_exists(const std::string& path);
// A kernel control file's first number; false when it can't be read.
bool read_number(const std::string& path, unsigned long long* value);
// A process's name (/proc/PID/comm), empty when it is gone.
std::string process_name(int pid);
// Whether pid runs (exists and is not a zombie).
bool process_runs(int pid);
// The numeric entries of the VSD's member directory, in ascending order.
std::vector<int> members_of(int vsd_no);
// KiB limits at or above this are the kernel's "no limit".
inline constexpr uint64_t kUnlimitedKiB = 1ull << 50;


// The commands: args[0] is the command's name.
int cmd_create(const Args& args);
int cmd_teardown(const Args& args);  // stop, delete, reload
int cmd_list(const Args& args, const Flags& f);
int cmd_mem(const Args& args, const Flags& f);
int cmd_launch(const Args& args, const Flags& f);
int cmd_set(const Args& args, const Flags& f);
int cmd_exec(const Args& args);

// The help text of a command (nullptr for an unknown one) and the whole
// tool's.
const char* command_help(std::string_view cmd);
void print_usage(FILE* f);

}  // namespace vsdctl
