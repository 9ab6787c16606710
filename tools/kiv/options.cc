// Parsing the daemon's command line.
#include "options.h"

#include <errno.h>
#include <math.h>
#include <stdio.h>
#include <stdlib.h>

#include "cli.h"

namespace kiv::manager {

namespace {

constexpr char kUsage[] =
    "Usage: kiv [OPTION]...\n"
    "Process high-availability daemon. Serves the control socket /tmp/kiv/.kiv:\n"
    "restarts registered programs when they exit (on the host or in their VSD),\n"
    "runs their shell or restart scripts, watches registered threads and sends\n"
    "SIGABRT to a thread that stops making progress. Registrations and pending\n"
    "restarts are saved in /tmp/kiv/registrations and taken back at start-up\n"
    "(a program that ended meanwhile is restarted then), as are registrations\n"
    "whose pid database files are still locked. SIGTERM or SIGINT stop it: it\n"
    "leaves /data/.kiv_status and removes the socket. Logs one time-stamped\n"
    "line per event on standard error; reports readiness to $NOTIFY_SOCKET.\n"
    "\n"
    "  -f, --foreground        stay in the foreground (the default)\n"
    "  -b, --background        detach once the control socket is ready\n"
    "  -v, --verbose           more detail: connections and acknowledgements;\n"
    "                          twice also the library's own log on stdout\n"
    "  -q, --quiet             errors only\n"
    "  -s, --time-scale F      multiply every duration of the watchdog and the\n"
    "                          restart policy by F (default 1; tests use 0.01)\n"
    "      --quick-restarts N  quick deaths in a row (a run shorter than\n"
    "                          --healthy) restarted at once (default 3)\n"
    "      --backoff S         delay after the next quick death, doubled\n"
    "                          after each further one (default 1)\n"
    "      --backoff-cap S     the longest such delay (default 30)\n"
    "      --healthy S         a run this long clears the delay (default 30)\n"
    "      --max-restarts N    restarts allowed within the window; one more\n"
    "                          stops restarting the program (default 5)\n"
    "      --restart-window S  the window in seconds (default 60)\n"
    "      --max-clients N     simultaneous client connections (default 1024)\n"
    "      --max-per-user N    connections of one user other than root\n"
    "                          (default 64)\n"
    "      --idle-timeout S    close a connection silent this long (default\n"
    "                          30; not scaled); clients reconnect on their own\n"
    "  -h, --help              show this text\n"
    "  -V, --version           show the version\n"
    "\n"
    "Durations are seconds before scaling. A time value sent for a pid adds\n"
    "that many seconds before each restart of it. A shell registration runs\n"
    "\"/bin/sh SCRIPT\"; a keyword registration runs the program's script from\n"
    "/etc/cmdmap (BASE.sh) with the program's arguments.\n"
    "\n"
    "Who may ask what. Every user may connect; each request is judged by the\n"
    "credentials the kernel recorded for its connection (SO_PEERCRED). Root may\n"
    "act on any process. Any other user may register, time, watch and withdraw\n"
    "only processes and threads whose real uid is its own (checked in /proc\n"
    "while a pidfd holds the process), and ask for a VSD only when the process\n"
    "carries that VSD's group. Other requests are refused: acknowledged as\n"
    "usual, logged once per connection with the client's pid and uid, and\n"
    "counted in 'kivctl status'. Restarts, shell and restart scripts run with\n"
    "the registered process's real uid, gid and supplementary groups (plus its\n"
    "VSD's group), never as kiv itself; registrations taken over at start-up\n"
    "use those of the living process, and only from a file owned by root or\n"
    "by that process's user. A time value is cut to 600 s. A hung thread is\n"
    "sent SIGABRT only while its process still has the uid of the user who\n"
    "asked for the watch.\n"
    "\n"
    "Limits. Connections never use the last 32 descriptors, which stay for\n"
    "restarts; when descriptors run out anyway, accepting pauses for 100 ms\n"
    "while restarts and the watchdog go on. A client of root is admitted even\n"
    "when the limits are reached, in place of the longest idle connection of\n"
    "another user. Lines about refusals and shortages are limited to 20 a\n"
    "second.\n";

enum { kQuick = 256, kBackoff, kBackoffCap, kHealthy, kMaxRestarts, kWindow, kMaxClients, kMaxPerUser, kIdle };

bool parse_seconds(const char* s, double* out) {
  char* end = nullptr;
  errno = 0;
  const double v = strtod(s, &end);
  if (errno != 0 || end == s || *end != '\0' || !isfinite(v) || v < 0 || v > 1e9) return false;
  *out = v;
  return true;
}

bool parse_count(const char* s, long lo, long hi, long* out) {
  char* end = nullptr;
  errno = 0;
  const long v = strtol(s, &end, 10);
  if (errno != 0 || end == s || *end != '\0' || v < lo || v > hi) return false;
  *out = v;
  return true;
}

}  // namespace

int parse_options(int argc, char** argv, Options* o) {
  using kiv::tools::Opt;
  kiv::tools::Parser p("kiv", "kiv --help",
                       {Opt{"foreground", 'f', false}, Opt{"background", 'b', false}, Opt{"verbose", 'v', false},
                        Opt{"quiet", 'q', false}, Opt{"time-scale", 's', true}, Opt{"quick-restarts", kQuick, true},
                        Opt{"backoff", kBackoff, true}, Opt{"backoff-cap", kBackoffCap, true},
                        Opt{"healthy", kHealthy, true},
                        Opt{"max-restarts", kMaxRestarts, true}, Opt{"restart-window", kWindow, true},
                        Opt{"max-clients", kMaxClients, true}, Opt{"max-per-user", kMaxPerUser, true},
                        Opt{"idle-timeout", kIdle, true}},
                       false);
  const char* value = nullptr;
  for (int c; (c = p.next(argc, argv, &value)) != -1;) {
    bool ok = true;
    long n = 0;
    switch (c) {
      case 'f': o->background = false; break;
      case 'b': o->background = true; break;
      case 'v': ++o->verbosity; break;
      case 'q': o->verbosity = 0; break;
      case 's': ok = parse_seconds(value, &o->time_scale) && o->time_scale > 0; break;
      case kBackoff: ok = parse_seconds(value, &o->limits.backoff_base_s); break;
      case kBackoffCap: ok = parse_seconds(value, &o->limits.backoff_cap_s); break;
      case kHealthy: ok = parse_seconds(value, &o->limits.healthy_s); break;
      case kWindow: ok = parse_seconds(value, &o->limits.window_s); break;
      case kMaxRestarts:
        ok = parse_count(value, 0, 1000000, &n);
        o->limits.max_restarts = static_cast<int>(n);
        break;
      case kQuick:
        ok = parse_count(value, 0, 1000, &n);
        o->limits.quick_restarts = static_cast<int>(n);
        break;
      case kMaxClients:
        ok = parse_count(value, 1, 1000000, &n);
        o->max_clients = static_cast<size_t>(n);
        break;
      case kMaxPerUser:
        ok = parse_count(value, 1, 1000000, &n);
        o->max_per_uid = static_cast<size_t>(n);
        break;
      case kIdle: ok = parse_seconds(value, &o->idle_s) && o->idle_s > 0; break;
      case kiv::tools::kHelp: fputs(kUsage, stdout); return 0;
      case kiv::tools::kVersion: kiv::tools::print_version("kiv"); return 0;
      default: return kiv::tools::kExitUsage;
    }
    if (!ok) {
      (void)p.bad_value(value);
      return kiv::tools::kExitUsage;
    }
  }
  if (p.index() < argc) {
    fprintf(stderr, "kiv: unexpected argument '%s' (try 'kiv --help')\n", argv[p.index()]);
    return kiv::tools::kExitUsage;
  }
  return -1;
}

}  // namespace kiv::manager
