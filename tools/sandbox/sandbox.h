// The throwaway sandbox in which the tests, the benchmarks and kiv-sandbox run: private mount, pid,
// ipc, uts and net namespaces, an overlay over / whose changes live in a
// tmpfs, fresh /proc, /tmp and /dev/shm, cgroup v1 memory and cpu
// hierarchies of this run at /memory and /cpu, and the device's directories.
// Nothing a test does there reaches the host; when the sandbox's first
// process ends, every process in it is gone.
#pragma once

#include <string>

namespace kiv::sandbox {

// Called first thing by main(). As root with namespace support it returns
// inside the sandbox (in pid 2 of the new pid namespace; pid 1 only reaps)
// and the host-side parent exits with the test run's status once it is over.
// Otherwise it returns in the original process and records why, so that
// tests needing the sandbox skip with that reason.
void enter_sandbox();

// Empty inside the sandbox; else why the sandbox could not be made.
const std::string& sandbox_unavailable_reason();

// Whether /memory and /cpu are real cgroup v1 hierarchies in this sandbox;
// if not, cgroup_unavailable_reason() says why.
bool have_cgroups();
const std::string& cgroup_unavailable_reason();

// The device's directories that the sandbox makes, each of them empty.
// reset_device_tree() removes whatever tests left under them and makes
// them again (the cgroup mounts are left alone).
void make_device_tree();
void reset_device_tree();

}  // namespace kiv::sandbox
