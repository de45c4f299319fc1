// Command line of qorsim.
#pragma once

#include <string>
#include <vector>

#include "sim_wire.h"

struct _SIM_UNIT_ARG {
    std::string Profile;
    SimMac Mac{};
    std::string Iface;
};

struct _SIM_OPTIONS {
    std::string ControlPath;
    std::vector<_SIM_UNIT_ARG> Units;
    unsigned UnitsCount = 0;  // --units-count: how many units from UnitsFrom
    bool HaveUnitsFrom = false;
    _SIM_UNIT_ARG UnitsFrom;  // --units-from: profile, first MAC, interface
    std::vector<std::string> ProfileDirs;
    std::vector<std::string> CheckProfiles;
    bool Verbose = false;
    bool Help = false;
};

// "PROFILE,MAC,IFACE"; the profile path may itself contain commas (the last two fields are
// split off).
bool SimUnitArgParse(const std::string& Text, _SIM_UNIT_ARG* pOut, std::string* pError);

// Parses argv; false with a message on a usage error.
bool SimOptionsParse(int argc, const char* const* argv, _SIM_OPTIONS* pOut, std::string* pError);

// The usage text.
const char* SimUsage();
