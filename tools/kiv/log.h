// The daemon's event log: one time-stamped line per event on standard error.
#pragma once

namespace kiv::manager {

enum LogLevel : int {
  kLogError = 0,  // always printed
  kLogEvent = 1,  // registrations, exits, restarts, hangs (the default)
  kLogDebug = 2,  // connections, acknowledgements, samples
};

// Lines above this level are dropped; set from the command line.
extern int g_log_verbosity;

// Prints "YYYY-mm-dd HH:MM:SS.mmm kiv: " + text + "\n" in one write, so
// that lines from the daemon and its children never interleave mid-line.
void log_line(int level, const char* fmt, ...) __attribute__((format(printf, 2, 3)));

}  // namespace kiv::manager

#define KIVD_ERROR(...) ::kiv::manager::log_line(::kiv::manager::kLogError, __VA_ARGS__)
#define KIVD_EVENT(...) ::kiv::manager::log_line(::kiv::manager::kLogEvent, __VA_ARGS__)
#define KIVD_DEBUG(...) ::kiv::manager::log_line(::kiv::manager::kLogDebug, __VA_ARGS__)
