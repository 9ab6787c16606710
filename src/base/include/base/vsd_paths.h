// The file-system layout of a VSD, in one place: every module that touches a
// VSD's files formats these templates (the first %d is the VSD number).
// They are macros so that the compiler checks each use's arguments.
#pragma once

namespace kiv::vsd {

constexpr int kFirst = 1;   // VSD numbers are 1..15; 0 is the host
constexpr int kLast = 15;
constexpr int kSlots = 16;  // per-VSD tables, indexed 0..15

// The supplementary group that marks the members of VSD n, and the VSD a
// group names: (group - kGroupBase) / kGroupStep.
constexpr int kGroupBase = 3000;
constexpr int kGroupStep = 100;
constexpr int supplement_id(int n) { return kGroupBase + kGroupStep * n; }

// 1..15, tested the way the kernel-facing callers expect: as an unsigned
// comparison, so that 0 and every negative number fail like 16 and above.
constexpr bool valid(int n) { return static_cast<unsigned>(n) - 1u <= 14u; }

}  // namespace kiv::vsd

#define KIV_VSD_ROOT "/tmp/vsd/%d"                 // TMPDIR of the VSD's processes
#define KIV_VSD_ROOT_SLASH "/tmp/vsd/%d/"          // existence test of the memory poll
#define KIV_VSD_MEMBER_DIR "/tmp/vsd/%d/kiv/"      // one empty file per member pid
#define KIV_VSD_MEMBER_DIR_NOSLASH "/tmp/vsd/%d/kiv"
#define KIV_VSD_MEMBER_FILE "/tmp/vsd/%d/kiv/%d"   // VSD number, pid
#define KIV_VSD_DB_DIR "/tmp/vsd/%d/kiv/db"
#define KIV_VSD_DB_FILE "/tmp/vsd/%d/kiv/db/%s.%d" // VSD number, program name, pid
#define KIV_VSD_STARTTIME "/tmp/vsd/%d/starttime"
#define KIV_VSD_DELETE_MARKER "/tmp/vsd/%d/delete_vsd"
#define KIV_VSD_NETNS_DIR_SUFFIX "/netns"          // appended to KIV_VSD_ROOT
#define KIV_VSD_NETNS_FILE_SUFFIX "/netns/default" // appended to KIV_VSD_ROOT
#define KIV_VSD_MEM_CGROUP "/memory/vsd_%d/"
#define KIV_VSD_MEM_CGROUP_FILE "/memory/vsd_%d/%s"
#define KIV_VSD_MEM_LIMIT "/memory/vsd_%d/memory.limit_in_bytes"
#define KIV_VSD_MEM_SOFT_LIMIT_NAME "memory.soft_limit_in_bytes"
#define KIV_VSD_MEM_LIMIT_NAME "memory.limit_in_bytes"
#define KIV_VSD_MEM_TASKS "/memory/vsd_%d/tasks"
#define KIV_VSD_CPU_CGROUP "/cpu/vsd_%d/"
#define KIV_VSD_CPU_SHARES "/cpu/vsd_%d/cpu.shares"
#define KIV_VSD_CPU_TASKS "/cpu/vsd_%d/tasks"
#define KIV_VSD_QN_CFG_DIR "/qn_cfg/vsd/%d"        // QN_CFG_DIR
#define KIV_VSD_TALU_DIR "/talu/vsd/%d"            // TALU_DIR
#define KIV_VSD_DATA_TALU_DIR "/data/.talu/vsd/%d" // DATA_TALU_DIR
#define KIV_VSD_DATA2 "/data2/"                    // present on devices with a second data partition
#define KIV_VSD_DATA2_TALU_DIR "/data2/.talu/vsd/%d" // DATA_TALU_DIR2
#define KIV_VSD_DATA2_RUN_DIR "/data2/var/run/vsd/%d"
#define KIV_VSD_ETC_DIR "/etc/vsd/%d"
#define KIV_VSD_RUN_DIR "/data/var/run/vsd/%d"     // working directory of the VSD's processes
