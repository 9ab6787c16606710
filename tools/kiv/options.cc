// Parsing the daemon's command line.
#include "options.h"

#include <errno.h>
#include <getopt.h>
#include <math.h>
#include <stdio.h>
#include <stdlib.h>

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
    "  -h, --help              show this text\n"
    "\n"
    "Durations are seconds before scaling. A time value sent for a pid adds\n"
    "that many seconds before each restart of it. A shell registration runs\n"
    "\"/bin/sh SCRIPT\"; a keyword registration runs the program's script from\n"
    "/etc/cmdmap (BASE.sh) with the program's arguments.\n";

enum { kQuick = 256, kBackoff, kBackoffCap, kHealthy, kMaxRestarts, kWindow, kMaxClients };

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
  static const struct option kLong[] = {
      {"foreground", no_argument, nullptr, 'f'},    {"background", no_argument, nullptr, 'b'},
      {"verbose", no_argument, nullptr, 'v'},       {"quiet", no_argument, nullptr, 'q'},
      {"time-scale", required_argument, nullptr, 's'}, {"backoff", required_argument, nullptr, kBackoff},
      {"quick-restarts", required_argument, nullptr, kQuick},
      {"backoff-cap", required_argument, nullptr, kBackoffCap}, {"healthy", required_argument, nullptr, kHealthy},
      {"max-restarts", required_argument, nullptr, kMaxRestarts},
      {"restart-window", required_argument, nullptr, kWindow},
      {"max-clients", required_argument, nullptr, kMaxClients}, {"help", no_argument, nullptr, 'h'},
      {nullptr, 0, nullptr, 0}};
  optind = 1;
  for (;;) {
    const int c = getopt_long(argc, argv, "fbvqs:h", kLong, nullptr);
    if (c == -1) break;
    bool ok = true;
    long n = 0;
    switch (c) {
      case 'f': o->background = false; break;
      case 'b': o->background = true; break;
      case 'v': ++o->verbosity; break;
      case 'q': o->verbosity = 0; break;
      case 's': ok = parse_seconds(optarg, &o->time_scale) && o->time_scale > 0; break;
      case kBackoff: ok = parse_seconds(optarg, &o->limits.backoff_base_s); break;
      case kBackoffCap: ok = parse_seconds(optarg, &o->limits.backoff_cap_s); break;
      case kHealthy: ok = parse_seconds(optarg, &o->limits.healthy_s); break;
      case kWindow: ok = parse_seconds(optarg, &o->limits.window_s); break;
      case kMaxRestarts:
        ok = parse_count(optarg, 0, 1000000, &n);
        o->limits.max_restarts = static_cast<int>(n);
        break;
      case kQuick:
        ok = parse_count(optarg, 0, 1000, &n);
        o->limits.quick_restarts = static_cast<int>(n);
        break;
      case kMaxClients:
        ok = parse_count(optarg, 1, 1000000, &n);
        o->max_clients = static_cast<size_t>(n);
        break;
      case 'h': fputs(kUsage, stdout); return 0;
      default: ok = false; break;
    }
    if (!ok) {
      if (c != '?') fprintf(stderr, "kiv: invalid option value '%s'\n", optarg != nullptr ? optarg : "");
      fputs("Try 'kiv --help' for more information.\n", stderr);
      return 2;
    }
  }
  if (optind < argc) {
    fprintf(stderr, "kiv: unexpected argument '%s'\nTry 'kiv --help' for more information.\n", argv[optind]);
    return 2;
  }
  return -1;
}

}  // namespace kiv::manager
