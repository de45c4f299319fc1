// Starting the daemon inside a lab and observing what it cannot print: its exit status after
// it forked away, and its system-log messages.
#pragma once

#include <sys/types.h>

#include <optional>
#include <string>
#include <vector>

#include "qor_lab.h"

namespace qortest {

// Receives what syslog() sends inside the lab: a datagram socket bound at /dev/log (the lab's
// /dev is private). Messages look like "<30>Dec  6 18:22:00 qorservice[12]: text".
class SyslogSink {
  public:
    SyslogSink();
    ~SyslogSink();

    // The first message (received before or during the wait) that contains needle.
    std::optional<std::string> WaitFor(const std::string& needle, Clock::duration timeout);
    // Everything received so far.
    const std::vector<std::string>& Messages();

  private:
    UniqueFd fd_;
    std::vector<std::string> messages_;
};

// The daemon started as a service manager would: its first process prints the version,
// forks and exits, and the daemon goes on in the background. The test process is made a
// child subreaper, so the orphaned daemon becomes its child and its exit status can be read.
class DaemonProcess {
  public:
    explicit DaemonProcess(std::string path) : path_(std::move(path)) {}
    ~DaemonProcess();  // stops a daemon that is still running (SIGTERM, then SIGKILL)
    DaemonProcess(const DaemonProcess&) = delete;
    DaemonProcess& operator=(const DaemonProcess&) = delete;

    // Starts the binary and waits for its first process to exit. False when that process did
    // not exit within the timeout or no forked daemon could be found; see Error().
    bool Start(Clock::duration timeout = 10s);

    pid_t Pid() const { return pid_; }
    int LauncherStatus() const { return launcherStatus_; }  // exit status of the first process
    static std::string Stdout();  // what the first process and the daemon printed so far
    const std::string& Error() const { return error_; }

    bool Signal(int sig) const;
    // Exit status of the daemon (128 + signal when killed); nullopt if still running.
    std::optional<int> WaitExit(Clock::duration timeout);

    // Text of all sanitizer reports the daemon wrote in the lab (its stderr is closed, so they
    // go to /var/log/qorservice-sanitizer.*), empty when there are none.
    static std::string SanitizerReports();

  private:
    std::string path_;
    pid_t pid_ = -1;
    std::optional<int> exitStatus_;
    int launcherStatus_ = -1;
    std::string error_;
};

}  // namespace qortest
