// Readiness and stopping reports to the service manager that started the
// daemon, by the datagram protocol of $NOTIFY_SOCKET: one "KEY=VALUE"
// datagram per report, sent to the socket the variable names (a path, or
// an abstract name written with a leading '@').
#pragma once

namespace kiv::manager {

// Takes the socket's name from the environment and removes the variable,
// so that no program the daemon starts reports in its name. Call once,
// before the first child is started.
void notify_init();
// Sends text ("READY=1", "STOPPING=1") when a socket was named. False,
// logged, when it could not be sent.
bool notify(const char* text);

}  // namespace kiv::manager
