// vsdctl: create, stop, delete and reload VSDs, list them, launch programs
// into them, set their memory and cpu limits, watch their memory and run
// commands in their network namespaces.
#include <string.h>

#include "kiv_dbg.h"
#include "vsdctl.h"

namespace vsdctl {
namespace {

struct Command {
  const char* name;
  const char* help;
};

constexpr Command kCommands[] = {
    {"create",
     "Usage: vsdctl create VSD\n"
     "\n"
     "Create VSD (1 to 15): its directories, its network namespace and its\n"
     "group; run its start scripts and record the processes they leave\n"
     "running as its members. Waits until the start scripts have finished.\n"},
    {"stop",
     "Usage: vsdctl stop VSD\n"
     "\n"
     "End the VSD's processes (SIGTERM, 5 s later SIGKILL) and, 10 s later,\n"
     "remove its run-time directories and cgroups. Its network namespace and\n"
     "its data directories stay. Takes at least 15 seconds.\n"},
    {"delete",
     "Usage: vsdctl delete VSD\n"
     "\n"
     "End the VSD's processes (SIGTERM, 5 s later SIGKILL) and, 10 s later,\n"
     "remove the VSD entirely: network namespace, directories and cgroups.\n"
     "Takes at least 15 seconds.\n"},
    {"reload",
     "Usage: vsdctl reload VSD\n"
     "\n"
     "End the VSD's processes, renew its run-time directories and create it\n"
     "again. Its network namespace, data directories and cgroups stay; while\n"
     "the namespace is pinned the start scripts are not run again. Takes at\n"
     "least 15 seconds.\n"},
    {"list",
     "Usage: vsdctl list [--json]\n"
     "\n"
     "List the VSDs and their recorded members: state, network namespace,\n"
     "memory limit and cpu shares of each VSD; pid, state and name of each\n"
     "member. A member is 'running', 'exited', or 'reused' when its pid now\n"
     "belongs to a process outside the VSD.\n"
     "\n"
     "  -j, --json   print JSON\n"},
    {"launch",
     "Usage: vsdctl launch [--script] [--wait] VSD COMMAND [ARG...]\n"
     "\n"
     "Start COMMAND inside VSD with the VSD's group, environment, working\n"
     "directory and network namespace, record it as a member and, when the\n"
     "VSD has cgroups, place it in them. COMMAND is a program of /sbin (a\n"
     "name, or a path whose last part names one). Prints the new pid.\n"
     "At most 14 words; words cannot contain blanks.\n"
     "\n"
     "  -s, --script  COMMAND names a script: /bin/sh runs /etc/cmdmap/NAME.sh\n"
     "                for a path ending in /NAME, /etc/cmdmap/NAME for a bare\n"
     "                name\n"
     "  -w, --wait    stay in the foreground, keep standard input and output,\n"
     "                and exit with COMMAND's status\n"},
    {"set",
     "Usage: vsdctl set VSD [--memory SIZE] [--cpu WEIGHT]\n"
     "\n"
     "Create the VSD's memory and cpu cgroups when missing, move every\n"
     "recorded member into them, then set the limits given.\n"
     "\n"
     "  -m, --memory SIZE   hard and soft memory limit; KiB, or with a suffix\n"
     "                      K, M or G (KiB, MiB, GiB)\n"
     "  -c, --cpu WEIGHT    cpu weight in tenths of the default share, 1 to\n"
     "                      2560 (10 is the default; cpu.shares = WEIGHT*1024/10)\n"},
    {"mem",
     "Usage: vsdctl mem [--json]\n"
     "\n"
     "Run one poll of the memory watch: measure the resident memory of every\n"
     "process outside shared libraries, kill the largest member of each VSD\n"
     "over its limit, and print each VSD's use against its limit in KiB (a\n"
     "VSD over its limit shows its limit). Pauses 100 ms per process.\n"
     "\n"
     "  -j, --json   print JSON\n"},
    {"exec",
     "Usage: vsdctl exec VSD COMMAND [ARG...]\n"
     "\n"
     "Run COMMAND (searched in PATH) in the VSD's network namespace. Nothing\n"
     "else changes: group, environment and working directory are the\n"
     "caller's. Exits with COMMAND's status.\n"},
    {"help",
     "Usage: vsdctl help [COMMAND]\n"
     "\n"
     "Show the help of vsdctl or of one command.\n"},
};

constexpr char kUsage_[] =
    "Usage: vsdctl [OPTIONS] COMMAND [ARGS...]\n"
    "\n"
    "Manage VSDs, the device's virtual partitions 1 to 15.\n"
    "\n"
    "Commands:\n"
    "  create VSD                      create a VSD and run its start scripts\n"
    "  stop VSD                        end its processes; keep namespace and data\n"
    "  delete VSD                      end its processes and remove it entirely\n"
    "  reload VSD                      end its processes and create it again\n"
    "  list [--json]                   list VSDs and their members\n"
    "  launch [--script] [--wait] VSD COMMAND [ARG...]\n"
    "                                  start a program or script inside a VSD\n"
    "  set VSD [--memory SIZE] [--cpu WEIGHT]\n"
    "                                  place members in cgroups and set limits\n"
    "  mem [--json]                    one memory-watch poll: use against limits\n"
    "  exec VSD COMMAND [ARG...]       run a command in a VSD's network namespace\n"
    "  help [COMMAND]                  show help\n"
    "\n"
    "Options:\n"
    "  -d, --debug   show the library's log lines (on standard error)\n"
    "  -j, --json    JSON output (list, mem)\n"
    "  -h, --help    show this help\n"
    "\n"
    "Run 'vsdctl COMMAND --help' for a command's options.\n";

int cmd_help(const Args& args) {
  if (args.size() == 1) {
    print_usage(out());
    return kOk;
  }
  const char* help = command_help(args[1]);
  if (help == nullptr || args.size() > 2) {
    const std::string what(args[1]);
    return fail("help", kUsage, "unknown command '%s'", what.c_str());
  }
  fputs(help, out());
  return kOk;
}

}  // namespace

const char* command_help(std::string_view cmd) {
  for (const Command& c : kCommands) {
    if (cmd == c.name) return c.help;
  }
  return nullptr;
}

void print_usage(FILE* f) { fputs(kUsage_, f); }

}  // namespace vsdctl

int main(int argc, char** argv) {
  using namespace vsdctl;
  split_output();

  bool json = false;
  int i = 1;
  for (; i < argc && argv[i][0] == '-'; ++i) {
    const std::string_view opt = argv[i];
    if (opt == "-d" || opt == "--debug") {
      for (int level = 0; level < KIV_DBG_LEVELS; ++level) g_kiv_dbg_level[level] = 0;
    } else if (opt == "-j" || opt == "--json") {
      json = true;
    } else if (is_help(opt)) {
      print_usage(out());
      return kOk;
    } else if (opt == "--") {
      ++i;
      break;
    } else {
      return fail(nullptr, kUsage, "unknown option '%s' (try 'vsdctl --help')", argv[i]);
    }
  }
  if (i >= argc) {
    print_usage(stderr);
    return kUsage;
  }
  const Args args(argv + i, argv + argc);
  const std::string_view cmd = args[0];
  if (cmd != "help" && command_help(cmd) != nullptr) {
    for (size_t k = 1; k < args.size(); ++k) {
      if (args[k] == "--") break;
      // The command of launch and exec may take -h itself.
      if ((cmd == "launch" || cmd == "exec") && !args[k].starts_with("-")) break;
      if (is_help(args[k])) {
        fputs(command_help(cmd), out());
        return kOk;
      }
    }
  }

  int status;
  if (cmd == "create") {
    status = cmd_create(args);
  } else if (cmd == "stop" || cmd == "delete" || cmd == "reload") {
    status = cmd_teardown(args);
  } else if (cmd == "list") {
    status = cmd_list(args, json);
  } else if (cmd == "mem") {
    status = cmd_mem(args, json);
  } else if (cmd == "launch") {
    status = cmd_launch(args);
  } else if (cmd == "set") {
    status = cmd_set(args);
  } else if (cmd == "exec") {
    status = cmd_exec(args);
  } else if (cmd == "help") {
    status = cmd_help(args);
  } else {
    status = fail(nullptr, kUsage, "unknown command '%s' (try 'vsdctl --help')", argv[i]);
  }
  if (fflush(out()) != 0 && status == kOk) status = fail(argv[i], kFailed, "cannot write the output");
  return status;
}
