// vsdctl list and mem: what the VSDs are and how much memory they use.
#include <dirent.h>
#include <stdlib.h>
#include <string.h>

#include "base/pid_walk.h"
#include "base/vsd_paths.h"
#include "json.h"
#include "kiv_vsd.h"
#include "vsdctl.h"

namespace vsdctl {
namespace {

int no_operands(const char* cmd, const Args& args) {
  if (args.size() <= 1) return kOk;
  const std::string what(args[1]);
  return fail(cmd, kUsage, "unexpected argument '%s'", what.c_str());
}

struct Member {
  int pid;
  const char* state;
  std::string name;
};

struct VsdInfo {
  int vsd_no;
  const char* state;
  bool netns;
  bool has_limit;
  unsigned long long limit_kib;  // kUnlimitedKiB and up: none
  bool has_shares;
  unsigned long long shares;
  std::vector<Member> members;
};

VsdInfo describe(int n) {
  VsdInfo v{n, vsd_state(n), netns_pinned(n), false, 0, false, 0, {}};
  unsigned long long bytes = 0;
  if (read_number(vsd_path(KIV_VSD_MEM_LIMIT, n), &bytes)) {
    v.has_limit = true;
    v.limit_kib = bytes / 1024;
  }
  v.has_shares = read_number(vsd_path(KIV_VSD_CPU_SHARES, n), &v.shares);
  for (int pid : members_of(n)) {
    Member m{pid, "exited", {}};
    if (process_runs(pid)) {
      m.state = get_vsdid(pid) == n ? "running" : "reused";
      m.name = process_name(pid);
    }
    v.members.push_back(std::move(m));
  }
  return v;
}

std::string limit_text(const VsdInfo& v) {
  if (!v.has_limit) return "-";
  if (v.limit_kib >= kUnlimitedKiB) return "unlimited";
  return std::to_string(v.limit_kib) + "K";
}

void print_text(const std::vector<VsdInfo>& vsds) {
  FILE* f = out();
  fprintf(f, "%-4s %-9s %-6s %-12s %-10s %s\n", "VSD", "STATE", "NETNS", "MEMORY", "CPU_SHARES", "MEMBERS");
  for (const VsdInfo& v : vsds) {
    const std::string shares = v.has_shares ? std::to_string(v.shares) : "-";
    fprintf(f, "%-4d %-9s %-6s %-12s %-10s %zu\n", v.vsd_no, v.state, v.netns ? "pinned" : "-",
            limit_text(v).c_str(), shares.c_str(), v.members.size());
    for (const Member& m : v.members)
      fprintf(f, "     %-8d %-8s %s\n", m.pid, m.state, m.name.empty() ? "-" : m.name.c_str());
  }
}

void print_json(const std::vector<VsdInfo>& vsds) {
  kiv::tools::Json j;
  j.begin_object().key("vsds").begin_array();
  for (const VsdInfo& v : vsds) {
    j.begin_object().key("vsd").num(v.vsd_no).key("state").str(v.state).key("netns").boolean(v.netns);
    const bool limited = v.has_limit && v.limit_kib < kUnlimitedKiB;
    j.key("memory_limit_kib").num_or_null(limited, static_cast<long long>(v.limit_kib));
    j.key("cpu_shares").num_or_null(v.has_shares, static_cast<long long>(v.shares));
    j.key("members").begin_array();
    for (const Member& m : v.members) {
      j.begin_object().key("pid").num(m.pid).key("state").str(m.state).key("name").str_or_null(m.name).end_object();
    }
    j.end_array().end_object();
  }
  j.end_array().end_object();
  fprintf(out(), "%s\n", j.text().c_str());
}

// What the memory watch would add up, without acting on it: the resident
// memory outside libraries of every process, per VSD.
void measure(uint64_t table[KIV_VSD_SLOTS]) {
  (void)kiv::for_each_pid([table](pid_t pid) {
    char path[64];
    snprintf(path, sizeof path, "/proc/%d/smaps", pid);
    // A VSD number that can't be read is the host's, as in the watch.
    const int n = get_vsdid(pid);
    (void)get_vsd_mem(path, n < 0 ? 0 : n, table);
    return true;
  });
}

}  // namespace

int cmd_list(const Args& args, const Flags& f) {
  const int status = no_operands("list", args);
  if (status != kOk) return status;
  std::vector<VsdInfo> vsds;
  for (int n = kiv::vsd::kFirst; n <= kiv::vsd::kLast; ++n) {
    if (f.all || strcmp(vsd_state(n), "absent") != 0) vsds.push_back(describe(n));
  }
  if (f.json) {
    print_json(vsds);
  } else {
    print_text(vsds);
  }
  return kOk;
}

int cmd_mem(const Args& args, const Flags& f) {
  const int status = no_operands("mem", args);
  if (status != kOk) return status;
  fflush(out());
  uint64_t used[KIV_VSD_SLOTS] = {};
  if (f.enforce) {
    set_vsd_mem();
    for (int n = 0; n < KIV_VSD_SLOTS; ++n) used[n] = vsd_use_mem(n);
  } else {
    measure(used);
  }

  struct Row {
    int vsd_no;
    uint64_t used;
    uint64_t limit;  // 0: none
  };
  std::vector<Row> rows;
  rows.push_back({0, used[0], 0});
  for (int n = kiv::vsd::kFirst; n <= kiv::vsd::kLast; ++n) {
    if (!vsd_exists(n)) continue;
    const uint64_t limit = is_dir(vsd_path(KIV_VSD_MEM_CGROUP, n)) ? get_maxmem_set(n) : 0;
    rows.push_back({n, used[n], limit >= kUnlimitedKiB ? 0 : limit});
  }

  FILE* out_f = out();
  if (f.json) {
    kiv::tools::Json j;
    j.begin_object().key("vsds").begin_array();
    for (const Row& r : rows) {
      j.begin_object().key("vsd").num(r.vsd_no).key("used_kib").num(static_cast<long long>(r.used));
      j.key("limit_kib").num_or_null(r.limit != 0, static_cast<long long>(r.limit));
      j.key("over_limit").boolean(r.limit != 0 && r.used > r.limit).end_object();
    }
    j.end_array().end_object();
    fprintf(out_f, "%s\n", j.text().c_str());
    return kOk;
  }
  fprintf(out_f, "%-5s %12s %12s\n", "VSD", "USED_KIB", "LIMIT_KIB");
  for (const Row& r : rows) {
    const std::string vsd = r.vsd_no == 0 ? "host" : std::to_string(r.vsd_no);
    const std::string limit = r.limit != 0 ? std::to_string(r.limit) : "-";
    fprintf(out_f, "%-5s %12llu %12s%s\n", vsd.c_str(), static_cast<unsigned long long>(r.used), limit.c_str(),
            r.limit != 0 && r.used > r.limit ? "  over" : "");
  }
  return kOk;
}

}  // namespace vsdctl
