// The directories of a VSD in one table: which creation makes, in which
// order, which environment variable names each, and which teardown
// removes it. Creation, launch and every teardown are driven by it.
#pragma once

#include <stdint.h>
#include <unistd.h>

#include "base/vsd_paths.h"

namespace kiv::vsd {

// The teardowns, as bits of LayoutRow::removed_by.
enum Teardown : uint8_t {
  kDeleteVsd = 1,      // delete_vsd: everything
  kStopVsd = 2,        // stop_vsd: the runtime trees and the cgroups
  kReloadVsd = 4,      // reload_vsd: the runtime trees only
  kDeleteVsdFile = 8,  // delete_vsd_file: the runtime trees and the run directory
};

struct LayoutRow {
  const char* tmpl;    // the path; %d is the VSD number
  const char* env;     // the variable set to the path for the VSD's processes, or nullptr
  bool data2;          // only when the second data partition exists
  bool created;        // made by create_vsd
  uint8_t removal;     // place in the order of removal (1 first); 0: removed with its parent
  uint8_t removed_by;  // Teardown bits
};

constexpr uint8_t kRuntime = kDeleteVsd | kStopVsd | kReloadVsd | kDeleteVsdFile;

// In creation order: the run directory comes last because it is also the
// working directory of the start scripts. The environment is set in this
// order too. Removal begins with the VSD root and ends with the cgroups.
constexpr LayoutRow kLayout[] = {
    {KIV_VSD_QN_CFG_DIR, "QN_CFG_DIR", false, true, 7, kDeleteVsd},
    {KIV_VSD_TALU_DIR, "TALU_DIR", false, true, 8, kDeleteVsd},
    {KIV_VSD_DATA_TALU_DIR, "DATA_TALU_DIR", false, true, 4, kDeleteVsd},
    {KIV_VSD_DATA2_TALU_DIR, "DATA_TALU_DIR2", true, true, 5, kDeleteVsd},
    {KIV_VSD_DATA2_RUN_DIR, nullptr, true, true, 6, kDeleteVsd},
    {KIV_VSD_ETC_DIR, nullptr, false, true, 2, kRuntime},
    {KIV_VSD_ROOT, "TMPDIR", false, true, 1, kRuntime},
    {KIV_VSD_MEMBER_DIR_NOSLASH, nullptr, false, true, 0, 0},
    {KIV_VSD_DB_DIR, nullptr, false, true, 0, 0},
    {KIV_VSD_RUN_DIR, nullptr, false, true, 3, kDeleteVsd | kDeleteVsdFile},
    {KIV_VSD_MEM_CGROUP, nullptr, false, false, 9, kDeleteVsd | kStopVsd},
    {KIV_VSD_CPU_CGROUP, nullptr, false, false, 10, kDeleteVsd | kStopVsd},
};
constexpr int kLayoutRows = static_cast<int>(sizeof kLayout / sizeof kLayout[0]);

// Every removal place from 1 to kLayoutRows is held by at most one row.
constexpr bool removal_order_is_strict() {
  for (int i = 0; i < kLayoutRows; ++i) {
    for (int j = i + 1; j < kLayoutRows; ++j) {
      if (kLayout[i].removal != 0 && kLayout[i].removal == kLayout[j].removal) return false;
    }
    if (kLayout[i].removal > kLayoutRows) return false;
  }
  return true;
}
static_assert(removal_order_is_strict(), "one row per removal place");

// Whether the second data partition exists.
inline bool have_data2() { return access(KIV_VSD_DATA2, F_OK) == 0; }

}  // namespace kiv::vsd
