// A process's VSD number, the /sbin/ test, and the device-monitor and debug
// markers.
#include "support/vsd_world.h"

namespace kiv::test {
namespace {

using IdentityTest = VsdTest;

TEST_F(IdentityTest, VsdNumberFollowsTheFirstSupplementaryGroup) {
  const std::pair<std::vector<gid_t>, int> rows[] = {  // the kernel sorts the groups; the first counts
      {{3200, 3500}, 2}, {{3500, 3200}, 2}, {{}, -30}, {{3000}, 0}, {{3099}, 0}, {{2901}, 0}, {{3100}, 1},
      {{3199}, 1}, {{4500}, 15}, {{2900}, -1}, {{4600}, 16}, {{13100}, 101},
      {{2147483648u}, -21474866}};  // reads as INT_MIN, minus 3000 without overflow
  for (const auto& [groups, want] : rows) EXPECT_EQ(want, get_vsdid(Hog(0, groups).pid())) << groups.size();
  EXPECT_EQ(-ENOENT, get_vsdid(ended_pid()));
}

// The entry counts, not its target: vsd_probe_x is a dangling link.
TEST_F(IdentityTest, SbinEntryByExactName) {
  install_probe("vsd_probe_x");
  make_dirs({"/sbin/vsd_probe_dir"});
  const std::string long_name(300, 'x');
  const std::pair<const char*, int> rows[] = {
      {"vsd_probe_x", 1}, {"vsd_probe_dir", 1}, {"vsd_probe_", 0}, {"vsd_probe_x_", 0}, {"vsd_probe_dir/x", 0},
      {".", 0}, {"..", 0}, {"", 0}, {"vsd_probe_dir/", 0}, {long_name.c_str(), 0}, {nullptr, 0}};
  for (const auto& [name, want] : rows) EXPECT_EQ(want, check_sbin(name)) << (name != nullptr ? name : "null");
}

// Steps in turn, /etc/debug_log present throughout: a call, its result,
// whether /etc/dev_mon is there after it.
TEST_F(IdentityTest, MarkersAreCreatedTestedAndRemovedSilently) {
  write_file("/etc/debug_log");
  const struct {
    int (*op)();
    int want;
    bool dev_mon;
  } rows[] = {{del_dev_mon_log, -ENOENT, false}, {del_dev_mon_restart, -ENOENT, false}, {debug_log, 0, false},
              {dev_mon_restart, 0, true},        {dev_mon_restart, 0, true},            {del_dev_mon_log, 0, true},
              {debug_log, 0, true},              {del_dev_mon_restart, 0, false},
              {del_dev_mon_restart, -ENOENT, false}};
  EXPECT_EQ("", logged([&] {
    for (const auto& row : rows) EXPECT_EQ(row.want * 10 + row.dev_mon, row.op() * 10 + exists("/etc/dev_mon"));
  }));
}

}  // namespace
}  // namespace kiv::test
