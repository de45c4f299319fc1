// The single event loop: one poll over the raw sockets, the control socket and its clients,
// and a signal descriptor, with the timer queue deciding the poll time-out.
#pragma once

#include <string>

#include "sim_fd.h"
#include "sim_unit.h"

// Binds and listens on a Unix stream socket at Path. A stale socket file left by a dead
// process is replaced; a path where another process still listens is refused.
SimFd SimControlListen(const std::string& Path, std::string* pError);

// Runs until "quit", SIGTERM or SIGINT. ControlListen may be invalid (no control socket).
// Returns the process exit status.
int SimLoopRun(_SIM_CONTEXT& Ctx, SimFd ControlListen);
