#include "qor_daemon.h"

#include <dirent.h>
#include <signal.h>
#include <string.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>

#include <cerrno>
#include <filesystem>
#include <map>
#include <memory>
#include <stdexcept>

extern char** environ;

namespace qortest {

namespace {

constexpr const char* kSanitizerLogPrefix = "qorservice-sanitizer";
constexpr const char* kOutputPath = "/run/qorservice.stdout";

// The child of ours running the daemon binary (by its name, which a daemon that already ended
// keeps): the daemon, reparented to us. A qorsim the same test started is never taken for it.
std::optional<pid_t> FindOrphanedChild(const std::string& binary) {
    const std::string comm = std::filesystem::path(binary).filename().string().substr(0, 15) + "\n";
    std::unique_ptr<DIR, int (*)(DIR*)> proc(opendir("/proc"), closedir);
    while (const struct dirent* e = proc ? readdir(proc.get()) : nullptr) {
        const std::string dir = std::string("/proc/") + e->d_name;
        const std::string stat = ReadFile(dir + "/stat").value_or("");
        // "pid (comm) state ppid ...": comm may hold anything, so parse after the last ')'.
        int ppid = 0;
        if (stat.rfind(')') == std::string::npos ||
            sscanf(stat.c_str() + stat.rfind(')') + 1, " %*c %d", &ppid) != 1)
            continue;
        if (ppid == getpid() && ReadFile(dir + "/comm") == comm) return static_cast<pid_t>(atoi(e->d_name));
    }
    return std::nullopt;
}

// The daemon closes its standard error, so its sanitizer runtimes report into files.
std::vector<std::string> DaemonEnvironment() {
    const std::string logPath = std::string("log_path=/var/log/") + kSanitizerLogPrefix;
    std::map<std::string, std::string> options = {{"ASAN_OPTIONS", logPath},
                                                  {"UBSAN_OPTIONS", logPath + ":print_stacktrace=1"},
                                                  {"TSAN_OPTIONS", logPath}};
    std::vector<std::string> env;
    for (char** e = environ; *e; ++e) {
        const std::string entry = *e, name = entry.substr(0, entry.find('='));
        if (options.count(name))
            options[name] = entry.substr(name.size() + 1) + ":" + options[name];
        else
            env.push_back(entry);
    }
    for (const auto& [name, value] : options) env.push_back(name + "=" + value);
    return env;
}

}  // namespace

SyslogSink::SyslogSink() : fd_(socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0)) {
    struct sockaddr_un addr {};
    addr.sun_family = AF_UNIX;
    strcpy(addr.sun_path, "/dev/log");
    unlink(addr.sun_path);
    if (!fd_ || bind(fd_.get(), reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0)
        throw std::runtime_error(std::string("syslog socket at /dev/log: ") + strerror(errno));
    chmod(addr.sun_path, 0666);
}

SyslogSink::~SyslogSink() {
    unlink("/dev/log");
}

std::optional<std::string> SyslogSink::WaitFor(const std::string& needle, Clock::duration timeout) {
    std::optional<std::string> found;
    Eventually(
        [&] {
            for (const auto& m : Messages())
                if (!found && m.find(needle) != std::string::npos) found = m;
            return found.has_value();
        },
        timeout, 10ms);
    return found;
}

const std::vector<std::string>& SyslogSink::Messages() {
    char buff[4096];
    for (ssize_t n; (n = recv(fd_.get(), buff, sizeof(buff), MSG_DONTWAIT)) > 0;)
        messages_.emplace_back(buff, static_cast<size_t>(n));
    return messages_;
}

DaemonProcess::~DaemonProcess() {
    if (Signal(SIGTERM) && !WaitExit(3s)) {
        kill(pid_, SIGKILL);
        WaitExit(3s);
    }
}

bool DaemonProcess::Start(Clock::duration timeout) {
    auto fail = [&](std::string why) {
        error_ = std::move(why);
        return false;
    };
    if (!InLab()) return fail("refusing to start the daemon outside a qorlab lab");
    // Orphans of our children become ours rather than the lab's PID 1.
    if (prctl(PR_SET_CHILD_SUBREAPER, 1) != 0)
        return fail(std::string("PR_SET_CHILD_SUBREAPER: ") + strerror(errno));
    const pid_t launcher = Spawn({path_}, 0, kOutputPath, false, &error_, DaemonEnvironment());
    if (launcher < 0) return false;
    const auto status = WaitPid(launcher, timeout);
    if (!status) {
        kill(launcher, SIGKILL);
        WaitPid(launcher, 5s);
        return fail("the first process of " + path_ + " did not exit in time");
    }
    launcherStatus_ = *status;
    // The first process is gone, so its child has been reparented to us by now.
    const auto daemon = FindOrphanedChild(path_);
    if (!daemon)
        return fail("no forked daemon found (first process exited with " + std::to_string(*status) + ")");
    pid_ = *daemon;
    return true;
}

std::string DaemonProcess::Stdout() {
    return ReadFile(kOutputPath).value_or("");
}

bool DaemonProcess::Signal(int sig) const {
    return pid_ > 0 && !exitStatus_ && kill(pid_, sig) == 0;
}

std::optional<int> DaemonProcess::WaitExit(Clock::duration timeout) {
    if (pid_ > 0 && !exitStatus_) {
        const auto status = WaitPid(pid_, timeout);
        if (status && *status >= 0) exitStatus_ = status;
    }
    return exitStatus_;
}

std::string DaemonProcess::SanitizerReports() {
    std::string reports;
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator("/var/log", ec)) {
        if (!entry.path().filename().string().starts_with(kSanitizerLogPrefix)) continue;
        reports += "==== " + entry.path().string() + "\n" + ReadFile(entry.path()).value_or("") + "\n";
    }
    return reports;
}

}  // namespace qortest
