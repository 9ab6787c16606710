// What the daemon saves so that a daemon started after it (killed, stopped,
// restarted by the service manager) keeps every registration it held and
// every restart it had pending: the registrations of processes it started
// or that were registered by others have no database file of their own,
// and a pending restart exists nowhere else.
#pragma once

#include <stdint.h>

#include <string>
#include <vector>

#include "registry.h"

namespace kiv::manager {

constexpr char kStatePath[] = "/tmp/kiv/registrations";

// One registration as a line of "key=value" words; text values have every
// byte outside '!'..'~' and '%' written as %XX, so no value can end its
// line or start another. A pending restart carries its due time.
std::string format_saved(const ProcReg& r);
// The inverse; false for a line that is not one (unknown keys are skipped,
// so that a newer daemon's lines still load).
bool parse_saved(const std::string& line, ProcReg* r);

// Writes the registrations to path, atomically (a new file renamed over
// the old), readable by the owner only. False, logged, on failure.
bool save_registrations(const char* path, const std::vector<const ProcReg*>& regs);
// The registrations saved at path during this boot of the machine. Nothing
// from a file that is not a regular file of this user's, writable by no
// one else, in a directory writable by no one else (logged).
std::vector<ProcReg> load_registrations(const char* path);

}  // namespace kiv::manager
