// vsdctl create, stop, delete and reload: the life of a VSD.
#include <string.h>

#include "kiv_vsd.h"
#include "vsdctl.h"

namespace vsdctl {
namespace {

// The VSD argument and nothing after it.
int only_vsd(const char* cmd, const Args& args, int* vsd_no) {
  const int status = vsd_arg(cmd, args, 1, vsd_no);
  if (status != kOk) return status;
  if (args.size() > 2) {
    const std::string extra(args[2]);
    return fail(cmd, kUsage, "unexpected argument '%s'", extra.c_str());
  }
  return kOk;
}

}  // namespace

int cmd_create(const Args& args) {
  int n = 0;
  const int status = only_vsd("create", args, &n);
  if (status != kOk) return status;
  // A pinned namespace is what makes a VSD: a second creation would stop
  // before the start scripts, since the namespace can't be replaced.
  if (netns_pinned(n)) return fail("create", kFailed, "vsd %d already exists", n);

  fflush(out());
  if (create_vsd(n) != 0) return fail("create", kFailed, "cannot create vsd %d", n);
  // Failures inside the creation reach nobody but the log; what shows is
  // a VSD without its namespace, whose start scripts did not run.
  if (!netns_pinned(n)) {
    return fail("create", kFailed,
                "vsd %d was not started: its creation stopped before the start scripts "
                "(run with --debug for the cause)",
                n);
  }
  return kOk;
}

int cmd_teardown(const Args& args) {
  const std::string cmd(args[0]);
  int n = 0;
  const int status = only_vsd(cmd.c_str(), args, &n);
  if (status != kOk) return status;
  if (!vsd_exists(n)) return fail(cmd.c_str(), kFailed, "vsd %d does not exist", n);

  fflush(out());
  int r;
  if (cmd == "stop") {
    r = stop_vsd(n);
  } else if (cmd == "delete") {
    r = delete_vsd(n);
  } else {
    r = reload_vsd(n);
  }
  if (r == 0) return kOk;
  if (cmd == "delete" && r == -1)
    return fail(cmd.c_str(), kFailed, "vsd %d: its network namespace could not be removed", n);
  return fail(cmd.c_str(), kFailed, "vsd %d: %s", n, strerror(-r));
}

}  // namespace vsdctl
