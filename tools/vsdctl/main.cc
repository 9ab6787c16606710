// vsdctl: create, stop, delete and reload VSDs, list them, launch programs
// into them, set their memory and cpu limits, watch their memory and run
// commands in their network namespaces.
#include <string.h>
#include <unistd.h>

#include "cli.h"
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
     "Usage: vsdctl list [--all] [--json]\n"
     "\n"
     "List the VSDs and their recorded members: state, network namespace,\n"
     "memory limit and cpu shares of each VSD; pid, state and name of each\n"
     "member. A VSD is 'running' (created, its member directory present),\n"
     "'stopping' (a teardown is under way), 'stopped' (its members ended,\n"
     "its namespace or data directory left) or 'absent'. A member is\n"
     "'running', 'exited', or 'reused' when its pid now belongs to a process\n"
     "outside the VSD.\n"
     "\n"
     "  -a, --all    also list the absent VSDs\n"
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
     "Usage: vsdctl mem [--enforce] [--json]\n"
     "\n"
     "Measure the resident memory of every process outside shared libraries\n"
     "and print each VSD's use against its memory limit in KiB. Changes\n"
     "nothing.\n"
     "\n"
     "  -e, --enforce  run one poll of the memory watch instead: it also kills\n"
     "                 the largest member of each VSD over its limit, pauses\n"
     "                 100 ms per process, and shows a VSD over its limit with\n"
     "                 its limit as its use\n"
     "  -j, --json     print JSON\n"},
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
    "  list [--all] [--json]           list VSDs and their members\n"
    "  launch [--script] [--wait] VSD COMMAND [ARG...]\n"
    "                                  start a program or script inside a VSD\n"
    "  set VSD [--memory SIZE] [--cpu WEIGHT]\n"
    "                                  place members in cgroups and set limits\n"
    "  mem [--enforce] [--json]        memory use against limits; --enforce kills\n"
    "  exec VSD COMMAND [ARG...]       run a command in a VSD's network namespace\n"
    "  help [COMMAND]                  show help\n"
    "\n"
    "Options:\n"
    "  -d, --debug   show the library's log lines (on standard error)\n"
    "  -j, --json    JSON output (list, mem)\n"
    "  -h, --help    show this help\n"
    "  -V, --version show the version\n"
    "\n"
    "Run 'vsdctl COMMAND --help' for a command's options. Every command but\n"
    "list and help must be run as root.\n";

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

namespace {

// A command's own options. launch and exec stop at their first operand:
// what follows is a command line of its own.
Parser command_parser(std::string_view cmd, const std::string& who, const std::string& hint) {
  const bool in_order = cmd == "launch" || cmd == "exec";
  if (cmd == "list") return Parser(who.c_str(), hint.c_str(), {Opt{"json", 'j', false}, Opt{"all", 'a', false}}, false);
  if (cmd == "mem") return Parser(who.c_str(), hint.c_str(), {Opt{"json", 'j', false}, Opt{"enforce", 'e', false}}, false);
  if (cmd == "launch") return Parser(who.c_str(), hint.c_str(), {Opt{"script", 's', false}, Opt{"wait", 'w', false}}, true);
  if (cmd == "set") return Parser(who.c_str(), hint.c_str(), {Opt{"memory", 'm', true}, Opt{"cpu", 'c', true}}, false);
  return Parser(who.c_str(), hint.c_str(), {}, in_order);
}

}  // namespace
}  // namespace vsdctl

int main(int argc, char** argv) {
  using namespace vsdctl;
  split_output();

  Flags flags;
  Parser global("vsdctl", "vsdctl --help", {Opt{"debug", 'd', false}, Opt{"json", 'j', false}}, true);
  const char* value = nullptr;
  for (int c; (c = global.next(argc, argv, &value)) != -1;) {
    switch (c) {
      case 'd':
        for (int level = 0; level < KIV_DBG_LEVELS; ++level) g_kiv_dbg_level[level] = 0;
        break;
      case 'j': flags.json = true; break;
      case kiv::tools::kHelp: print_usage(out()); return kOk;
      case kiv::tools::kVersion: kiv::tools::print_version("vsdctl", out()); return kOk;
      default: return kUsage;
    }
  }
  int i = global.index();
  if (i >= argc) {
    print_usage(stderr);
    return kUsage;
  }
  const std::string_view cmd = argv[i];
  if (command_help(cmd) == nullptr) return fail(nullptr, kUsage, "unknown command '%s' (try 'vsdctl --help')", argv[i]);

  const std::string who = "vsdctl: " + std::string(cmd);
  const std::string hint = "vsdctl " + std::string(cmd) + " --help";
  Parser p = command_parser(cmd, who, hint);
  const int cmd_argc = argc - i;
  char** cmd_argv = argv + i;
  for (int c; (c = p.next(cmd_argc, cmd_argv, &value)) != -1;) {
    switch (c) {
      case 'j': flags.json = true; break;
      case 'a': flags.all = true; break;
      case 'e': flags.enforce = true; break;
      case 's': flags.script = true; break;
      case 'w': flags.wait = true; break;
      case 'm': flags.memory = value; break;
      case 'c': flags.cpu = value; break;
      case kiv::tools::kHelp: fputs(command_help(cmd), out()); return kOk;
      case kiv::tools::kVersion: kiv::tools::print_version("vsdctl", out()); return kOk;
      default: return kUsage;
    }
  }
  // The command's name, then its operands.
  Args args{cmd};
  for (int k = p.index(); k < cmd_argc; ++k) args.emplace_back(cmd_argv[k]);

  // Only the reading commands work for everyone; the others change VSDs,
  // read every process's memory or enter namespaces.
  if (cmd != "list" && cmd != "help" && geteuid() != 0) return fail(argv[i], kFailed, "must be run as root");

  int status;
  if (cmd == "create") {
    status = cmd_create(args);
  } else if (cmd == "stop" || cmd == "delete" || cmd == "reload") {
    status = cmd_teardown(args);
  } else if (cmd == "list") {
    status = cmd_list(args, flags);
  } else if (cmd == "mem") {
    status = cmd_mem(args, flags);
  } else if (cmd == "launch") {
    status = cmd_launch(args, flags);
  } else if (cmd == "set") {
    status = cmd_set(args, flags);
  } else if (cmd == "exec") {
    status = cmd_exec(args);
  } else {
    status = cmd_help(args);
  }
  if (fflush(out()) != 0 && status == kOk) status = fail(argv[i], kFailed, "cannot write the output");
  return status;
}
