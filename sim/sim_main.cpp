// qorsim: plays one or many Varnel units on raw Ethernet interfaces, for trying the system
// without hardware and for the system tests.
#include <signal.h>
#include <unistd.h>

#include <cstdio>

#include "sim_control.h"
#include "sim_loop.h"
#include "sim_options.h"
#include "sim_unit.h"

#ifndef QORSIM_PROFILE_DIRS
#define QORSIM_PROFILE_DIRS ""
#endif

static int _CheckProfiles(const std::vector<std::string>& Paths) {
    int bad = 0;
    for (const auto& path : Paths) {
        _SIM_PROFILE p;
        std::string err;
        if (!SimProfileLoad(path, &p, &err)) {
            std::fprintf(stderr, "%s\n", err.c_str());
            ++bad;
            continue;
        }
        const auto warnings = SimProfileCheck(p);
        for (const auto& w : warnings) std::fprintf(stderr, "%s\n", w.c_str());
        std::printf("%s: ok, %zu channels, %zu warnings\n", path.c_str(), p.Dibs.size(), warnings.size());
    }
    return bad ? 1 : 0;
}

int main(int argc, char** argv) {
    _SIM_OPTIONS opt;
    std::string err;
    if (!SimOptionsParse(argc, argv, &opt, &err)) {
        std::fprintf(stderr, "qorsim: %s\n%s", err.c_str(), SimUsage());
        return 2;
    }
    if (opt.Help) {
        std::printf("%s", SimUsage());
        return 0;
    }
    if (!opt.CheckProfiles.empty()) return _CheckProfiles(opt.CheckProfiles);

    signal(SIGPIPE, SIG_IGN);
    _SIM_CONTEXT ctx;
    ctx.StartMs = ctx.Now();
    ctx.Verbose = opt.Verbose;
    ctx.ProfileDirs = opt.ProfileDirs;
    // Built-in places: the installed profiles, then the ones in the source tree.
    std::string builtin = QORSIM_PROFILE_DIRS;
    for (size_t pos = 0; pos < builtin.size();) {
        size_t end = builtin.find(':', pos);
        if (end == std::string::npos) end = builtin.size();
        if (end > pos) ctx.ProfileDirs.push_back(builtin.substr(pos, end - pos));
        pos = end + 1;
    }

    for (const auto& u : opt.Units) {
        if (!SimUnitAdd(ctx, u.Profile, u.Mac, u.Iface, &err)) {
            std::fprintf(stderr, "qorsim: unit %s: %s\n", SimMacFormat(u.Mac).c_str(), err.c_str());
            return 1;
        }
    }
    if (opt.UnitsCount > 0 && !SimUnitAddMany(ctx, opt.UnitsCount, opt.UnitsFrom.Profile, opt.UnitsFrom.Mac,
                                              opt.UnitsFrom.Iface, &err)) {
        std::fprintf(stderr, "qorsim: --units-count: %s\n", err.c_str());
        return 1;
    }
    SimFd control;
    if (!opt.ControlPath.empty()) {
        control = SimControlListen(opt.ControlPath, &err);
        if (!control.Valid()) {
            std::fprintf(stderr, "qorsim: %s\n", err.c_str());
            return 1;
        }
    }
    if (ctx.Units.empty() && !control.Valid()) {
        std::fprintf(stderr, "qorsim: nothing to play: give --unit, --units-count or --control\n");
        return 2;
    }
    // SIGINT and SIGTERM wait (blocked) for the loop's signalfd from here on: a stop sent right
    // after "ready" must still end with the clean-up, not kill the process.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    sigprocmask(SIG_BLOCK, &stopSignals, nullptr);
    std::printf("ready %zu units\n", ctx.Units.size());
    std::fflush(stdout);
    const int status = SimLoopRun(ctx, std::move(control));
    if (!opt.ControlPath.empty()) unlink(opt.ControlPath.c_str());
    if (ctx.Verbose) SimLog(ctx, "stopped");
    return status;
}
