// File helpers for tests, the capture of standard output, and log text compared without source lines.
#pragma once

#include <sys/sem.h>
#include <sys/types.h>

#include <functional>
#include <string>
#include <vector>

namespace kiv::test {

std::string read_file(const std::string& path);  // empty when unreadable
// Creates or truncates path; a failure fails the test.
void write_file(const std::string& path, const std::string& text = "", mode_t mode = 0644);
void remove_tree(const std::string& path);  // not following links
bool wait_until(const std::function<bool()>& cond, int timeout_ms);  // cond asked every 5 ms
bool exists(const std::string& path);                        // a dangling link counts
int mode_of(const std::string& path);                        // permission bits, or -1
unsigned long long inode_of(const std::string& path);        // of the target, or 0
std::vector<std::string> list_dir(const std::string& path);  // without . and ..

// The pid holding a write lock on path (F_GETLK), 0 when none, -1 on error.
// Asked from a child: closing a descriptor of ours on it would drop our locks.
pid_t lock_holder(const std::string& path);

struct semid_ds sem_stat(int id);  // a System V set's record; all zero when unreadable

// fn's writes to stdout (the stream and descriptor 1), through a memory file.
std::string capture_stdout(const std::function<void()>& fn);

// out with the line of every "[KIV:module:LINE]" and "[KIV]<file, step, LINE>:" made N.
std::string without_line_numbers(const std::string& out);
int count_of(const std::string& text, const std::string& what);  // not overlapping

}  // namespace kiv::test
