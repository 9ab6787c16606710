// The daemon's event log: one time-stamped line per event on standard error,
// gathered while the event loop is awake and written before it sleeps.
#pragma once

namespace kiv::manager {

enum LogLevel : int {
  kLogError = 0,  // always printed
  kLogEvent = 1,  // registrations, exits, restarts, hangs (the default)
  kLogDebug = 2,  // connections, acknowledgements, samples
};

// Lines above this level are dropped; set from the command line.
extern int g_log_verbosity;

// Adds "YYYY-mm-dd HH:MM:SS.mmm kiv: " + text + "\n" to the lines not yet
// written; a line that no longer fits writes them first.
void log_line(int level, const char* fmt, ...) __attribute__((format(printf, 2, 3)));

// Writes the gathered lines, whole lines only, in the order they were
// logged. The event loop calls it before each wait and before it returns,
// the supervisor once a restart has started, main() before it returns.
void log_flush();

}  // namespace kiv::manager

#define KIVD_ERROR(...) ::kiv::manager::log_line(::kiv::manager::kLogError, __VA_ARGS__)
#define KIVD_EVENT(...) ::kiv::manager::log_line(::kiv::manager::kLogEvent, __VA_ARGS__)
#define KIVD_DEBUG(...) ::kiv::manager::log_line(::kiv::manager::kLogDebug, __VA_ARGS__)
