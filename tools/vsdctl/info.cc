// vsdctl list and mem: what the VSDs are and how much memory they use.
#include <string.h>

#include "kiv_vsd.h"
#include "kiv_vsd/vsd_paths.h"
#include "vsdctl.h"

namespace vsdctl {
namespace {

// --json / -j, or an error for anything else.
int json_option(const char* cmd, const Args& args, bool* json) {
  for (size_t i = 1; i < args.size(); ++i) {
    if (args[i] == "--json" || args[i] == "-j") {
      *json = true;
    } else {
      const std::string what(args[i]);
      return fail(cmd, kUsage, "unexpected argument '%s'", what.c_str());
    }
  }
  return kOk;
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
  VsdInfo v{n, "running", netns_pinned(n), false, 0, false, 0, {}};
  if (path_exists(vsd_path(KIV_VSD_DELETE_MARKER, n))) v.state = "stopping";
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
  std::string j = "{\"vsds\":[";
  for (size_t i = 0; i < vsds.size(); ++i) {
    const VsdInfo& v = vsds[i];
    if (i > 0) j += ',';
    j += "{\"vsd\":" + std::to_string(v.vsd_no);
    j += ",\"state\":" + json_string(v.state);
    j += std::string(",\"netns\":") + (v.netns ? "true" : "false");
    j += ",\"memory_limit_kib\":";
    j += v.has_limit && v.limit_kib < kUnlimitedKiB ? std::to_string(v.limit_kib) : "null";
    j += ",\"cpu_shares\":";
    j += v.has_shares ? std::to_string(v.shares) : "null";
    j += ",\"members\":[";
    for (size_t k = 0; k < v.members.size(); ++k) {
      const Member& m = v.members[k];
      if (k > 0) j += ',';
      j += "{\"pid\":" + std::to_string(m.pid) + ",\"state\":" + json_string(m.state) + ",\"name\":";
      j += m.name.empty() ? "null" : json_string(m.name);
      j += '}';
    }
    j += "]}";
  }
  j += "]}\n";
  fputs(j.c_str(), out());
}

}  // namespace

int cmd_list(const Args& args, bool json) {
  const int status = json_option("list", args, &json);
  if (status != kOk) return status;
  std::vector<VsdInfo> vsds;
  for (int n = kiv::vsd::kFirst; n <= kiv::vsd::kLast; ++n) {
    if (vsd_exists(n)) vsds.push_back(describe(n));
  }
  if (json) {
    print_json(vsds);
  } else {
    print_text(vsds);
  }
  return kOk;
}

int cmd_mem(const Args& args, bool json) {
  const int status = json_option("mem", args, &json);
  if (status != kOk) return status;
  fflush(out());
  set_vsd_mem();

  struct Row {
    int vsd_no;
    uint64_t used;
    uint64_t limit;  // 0: none
  };
  std::vector<Row> rows;
  rows.push_back({0, vsd_use_mem(0), 0});
  for (int n = kiv::vsd::kFirst; n <= kiv::vsd::kLast; ++n) {
    if (!vsd_exists(n)) continue;
    const uint64_t limit = is_dir(vsd_path(KIV_VSD_MEM_CGROUP, n)) ? get_maxmem_set(n) : 0;
    rows.push_back({n, vsd_use_mem(n), limit >= kUnlimitedKiB ? 0 : limit});
  }

  FILE* f = out();
  if (json) {
    std::string j = "{\"vsds\":[";
    for (size_t i = 0; i < rows.size(); ++i) {
      if (i > 0) j += ',';
      j += "{\"vsd\":" + std::to_string(rows[i].vsd_no) + ",\"used_kib\":" + std::to_string(rows[i].used) +
           ",\"limit_kib\":" + (rows[i].limit != 0 ? std::to_string(rows[i].limit) : "null") + "}";
    }
    j += "]}\n";
    fputs(j.c_str(), f);
    return kOk;
  }
  fprintf(f, "%-5s %12s %12s\n", "VSD", "USED_KIB", "LIMIT_KIB");
  for (const Row& r : rows) {
    const std::string vsd = r.vsd_no == 0 ? "host" : std::to_string(r.vsd_no);
    const std::string limit = r.limit != 0 ? std::to_string(r.limit) : "-";
    fprintf(f, "%-5s %12llu %12s\n", vsd.c_str(), static_cast<unsigned long long>(r.used), limit.c_str());
  }
  return kOk;
}

}  // namespace vsdctl
