// qorsim as a child of a test or benchmark: started in one of the lab's far-side network
// namespaces, driven through its control socket, stopped by pid when the owner goes.
#pragma once

#include <sys/types.h>

#include <optional>
#include <string>
#include <vector>

#include "qor_lab.h"

namespace qortest {

// The counters `show MAC` reports for one unit.
struct SimUnitCounters {
    unsigned long Rx = 0;
    unsigned long Searches = 0;
    unsigned long InfoRequests = 0;
};

class SimProcess {
  public:
    SimProcess() = default;
    ~SimProcess() { Stop(); }
    SimProcess(const SimProcess&) = delete;
    SimProcess& operator=(const SimProcess&) = delete;

    // Runs `binary --control <socket> args...` in the network namespace of process nsPid and
    // waits until it prints "ready". Its standard output and error go to a file in the lab's
    // private /run (Output()). False on failure; see Error().
    bool Start(const std::string& binary, pid_t nsPid, const std::vector<std::string>& args,
               Clock::duration timeout = 5s);

    // Sends one control command and returns its answer line ("ok ..." or "error ..."), or
    // "error <why>" when the socket could not be used.
    std::string Control(const std::string& line) const;
    // Control() that must answer "ok"; false otherwise (the answer is kept in LastAnswer()).
    bool Ok(const std::string& line);
    const std::string& LastAnswer() const { return lastAnswer_; }

    std::optional<SimUnitCounters> Counters(const Mac& mac) const;

    pid_t Pid() const { return pid_; }
    std::string Output() const { return ReadFile(outputPath_).value_or(""); }
    const std::string& Error() const { return error_; }

    // Ends the process (quit command, then signals); its exit status, or nullopt if it had
    // to be killed.
    std::optional<int> Stop();

  private:
    pid_t pid_ = -1;
    std::string controlPath_;
    std::string outputPath_;
    std::string error_;
    std::string lastAnswer_;
};

// Runs a command line with /bin/sh in the network namespace of process nsPid (for `ip`
// changes on the far side); its exit status.
int RunShellInNetns(pid_t nsPid, const std::string& command);

}  // namespace qortest
