// Line commands that scripts and tests use to steer the units at run time. Each command line
// gets exactly one answer line, "ok ..." or "error ...". The commands are listed in
// sim/README.md and by "help".
#pragma once

#include <string>

#include "sim_unit.h"

// Runs one command line (without its newline) and returns the answer (without newline).
// "quit" sets Ctx.QuitRequested.
std::string SimControlExecute(_SIM_CONTEXT& Ctx, const std::string& Line);

// Creates Count units with consecutive MACs from BaseMac. All or none: on failure no unit of
// this call is left.
bool SimUnitAddMany(_SIM_CONTEXT& Ctx, unsigned Count, const std::string& Profile, const SimMac& BaseMac,
                    const std::string& Iface, std::string* pError);
