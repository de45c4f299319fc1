#include "sim_options.h"

#include <cstdlib>

const char* SimUsage() {
    return "usage: qorsim [options]\n"
           "  --unit PROFILE,MAC,IFACE    play one unit (repeatable)\n"
           "  --units-count N             with --units-from: N units (1..255) with consecutive MACs\n"
           "  --units-from PROFILE,MAC,IFACE\n"
           "                              profile, first MAC and interface of the --units-count units\n"
           "  --control PATH              Unix stream socket for line commands (see sim/README.md)\n"
           "  --profile-dir DIR           look up bare profile names in DIR first (repeatable)\n"
           "  --check-profile FILE        parse FILE, print its errors and warnings, exit (repeatable)\n"
           "  --verbose                   print every frame received and sent\n"
           "  --help                      this text\n"
           "qorsim prints \"ready\" on standard output once its sockets are open.\n";
}

bool SimUnitArgParse(const std::string& Text, _SIM_UNIT_ARG* pOut, std::string* pError) {
    const size_t last = Text.rfind(',');
    const size_t mid = last == std::string::npos || last == 0 ? std::string::npos : Text.rfind(',', last - 1);
    if (mid == std::string::npos) {
        *pError = "'" + Text + "' is not PROFILE,MAC,IFACE";
        return false;
    }
    _SIM_UNIT_ARG unitArg;
    unitArg.Profile = Text.substr(0, mid);
    unitArg.Iface = Text.substr(last + 1);
    const std::string mac = Text.substr(mid + 1, last - mid - 1);
    if (unitArg.Profile.empty() || unitArg.Iface.empty()) {
        *pError = "'" + Text + "' is not PROFILE,MAC,IFACE";
        return false;
    }
    if (!SimMacParse(mac, &unitArg.Mac)) {
        *pError = "'" + mac + "' is not a MAC address (aa:bb:cc:dd:ee:ff)";
        return false;
    }
    *pOut = unitArg;
    return true;
}

bool SimOptionsParse(int argc, const char* const* argv, _SIM_OPTIONS* pOut, std::string* pError) {
    _SIM_OPTIONS o;
    bool haveCount = false;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        auto value = [&](std::string* out) {
            if (i + 1 >= argc) {
                *pError = a + " needs a value";
                return false;
            }
            *out = argv[++i];
            return true;
        };
        std::string v;
        if (a == "--help" || a == "-h") {
            o.Help = true;
        } else if (a == "--verbose" || a == "-v") {
            o.Verbose = true;
        } else if (a == "--control") {
            if (!value(&o.ControlPath)) return false;
        } else if (a == "--unit") {
            _SIM_UNIT_ARG unitArg;
            if (!value(&v) || !SimUnitArgParse(v, &unitArg, pError)) return false;
            o.Units.push_back(unitArg);
        } else if (a == "--units-count") {
            if (!value(&v)) return false;
            char* end = nullptr;
            const long n = std::strtol(v.c_str(), &end, 10);
            if (v.empty() || *end != '\0' || n < 1 || n > 255) {
                *pError = "--units-count must be 1..255";
                return false;
            }
            o.UnitsCount = static_cast<unsigned>(n);
            haveCount = true;
        } else if (a == "--units-from") {
            if (!value(&v) || !SimUnitArgParse(v, &o.UnitsFrom, pError)) return false;
            o.HaveUnitsFrom = true;
        } else if (a == "--profile-dir") {
            if (!value(&v)) return false;
            o.ProfileDirs.push_back(v);
        } else if (a == "--check-profile") {
            if (!value(&v)) return false;
            o.CheckProfiles.push_back(v);
        } else {
            *pError = "unknown option '" + a + "'";
            return false;
        }
    }
    if (haveCount != o.HaveUnitsFrom) {
        *pError = "--units-count and --units-from go together";
        return false;
    }
    if (o.Units.size() + o.UnitsCount > 255) {
        *pError = "at most 255 units";
        return false;
    }
    *pOut = std::move(o);
    return true;
}
