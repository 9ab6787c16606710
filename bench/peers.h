// The reference peers the benchmark rows measure against, and the small
// socket steps they share.
#pragma once

#include <stdint.h>
#include <sys/types.h>

#include <string>
#include <vector>

namespace bench {

constexpr char kEchoPath[] = "/tmp/bench-echo";
constexpr char kReadyFifo[] = "/tmp/bench-ready";

// A SOCK_SEQPACKET server on path, pinned to cpu (-1: anywhere), that
// answers every packet but thread heartbeats (type 4) with a bare header
// at once: the floor of a request the Manager acknowledges.
pid_t start_echo(const char* path, int cpu);
int connect_to(const char* path);
// One send and its acknowledgement; false on any failure.
bool round_trip(int sd, const std::vector<uint8_t>& frame);

// The Manager of the build tree with extra arguments, pinned to cpu.
pid_t start_manager(int cpu, const std::vector<std::string>& args);
// Pins a process we started to one CPU; -1 lets it run anywhere.
bool pin_pid(pid_t pid, int cpu);

// Path of the probe program (bench_probe) next to this binary.
std::string probe_path();
// Opens the readiness FIFO the probe writes one byte to when it runs.
int open_ready_fifo();
// Waits up to 5 s for one byte on the FIFO.
bool wait_ready(int fifo);

// Descriptors open in this process.
int open_fds();

}  // namespace bench
