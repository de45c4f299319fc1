#include "qor_daemon.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <string.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>

#include <cerrno>
#include <filesystem>
#include <set>
#include <stdexcept>
#include <thread>

extern char** environ;

namespace qortest {

namespace {

// Daemons already claimed by a DaemonProcess, so that a second start finds the new one.
std::set<pid_t>& ClaimedPids() {
    static std::set<pid_t> pids;
    return pids;
}

std::optional<pid_t> ParentOf(pid_t pid) {
    const auto stat = ReadFile("/proc/" + std::to_string(pid) + "/stat");
    if (!stat) return std::nullopt;
    // "pid (comm) state ppid ...": comm may hold anything, so parse after the last ')'.
    const size_t close = stat->rfind(')');
    if (close == std::string::npos) return std::nullopt;
    char state = 0;
    int ppid = 0;
    if (sscanf(stat->c_str() + close + 1, " %c %d", &state, &ppid) != 2) return std::nullopt;
    return static_cast<pid_t>(ppid);
}

// A child of ours running the daemon binary (by its name, which a daemon that already ended
// keeps) and not yet claimed: the daemon, reparented to us. Other children (qorsim started
// by the same test) are never taken for it.
std::optional<pid_t> FindOrphanedChild(const std::string& binary) {
    const std::string comm = std::filesystem::path(binary).filename().string().substr(0, 15) + "\n";
    std::unique_ptr<DIR, int (*)(DIR*)> proc(opendir("/proc"), closedir);
    if (!proc) return std::nullopt;
    while (const struct dirent* e = readdir(proc.get())) {
        char* end = nullptr;
        const long pid = strtol(e->d_name, &end, 10);
        if (pid <= 0 || *end != '\0' || ClaimedPids().count(static_cast<pid_t>(pid))) continue;
        if (ParentOf(static_cast<pid_t>(pid)) == getpid() &&
            ReadFile("/proc/" + std::to_string(pid) + "/comm") == comm)
            return static_cast<pid_t>(pid);
    }
    return std::nullopt;
}

// The daemon closes its standard error, so its sanitizer runtimes report into files.
std::vector<std::string> DaemonEnvironment() {
    std::vector<std::string> env;
    std::string asan = "ASAN_OPTIONS=", ubsan = "UBSAN_OPTIONS=", tsan = "TSAN_OPTIONS=";
    for (char** e = environ; *e; ++e) {
        const std::string entry = *e;
        if (entry.starts_with(asan))
            asan = entry + ":";
        else if (entry.starts_with(ubsan))
            ubsan = entry + ":";
        else if (entry.starts_with(tsan))
            tsan = entry + ":";
        else
            env.push_back(entry);
    }
    const std::string logPath = std::string("log_path=") + DaemonProcess::kSanitizerLogPrefix;
    env.push_back(asan + logPath);
    env.push_back(ubsan + logPath + ":print_stacktrace=1");
    env.push_back(tsan + logPath);
    return env;
}

}  // namespace

// ---------------------------------------------------------------------------------------

SyslogSink::SyslogSink(std::string path) : path_(std::move(path)) {
    fd_.reset(socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    if (!fd_) throw std::runtime_error(std::string("syslog socket: ") + strerror(errno));
    struct sockaddr_un addr {};
    addr.sun_family = AF_UNIX;
    if (path_.size() >= sizeof(addr.sun_path)) throw std::runtime_error("syslog path too long: " + path_);
    memcpy(addr.sun_path, path_.c_str(), path_.size() + 1);
    unlink(path_.c_str());
    if (bind(fd_.get(), reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0)
        throw std::runtime_error("bind " + path_ + ": " + strerror(errno));
    chmod(path_.c_str(), 0666);
}

SyslogSink::~SyslogSink() {
    unlink(path_.c_str());
}

void SyslogSink::Drain() {
    char buff[4096];
    for (ssize_t n; (n = recv(fd_.get(), buff, sizeof(buff), MSG_DONTWAIT)) > 0;)
        messages_.emplace_back(buff, static_cast<size_t>(n));
}

std::optional<std::string> SyslogSink::WaitFor(const std::string& needle, Clock::duration timeout) {
    std::optional<std::string> found;
    Eventually(
        [&] {
            Drain();
            for (const auto& m : messages_)
                if (m.find(needle) != std::string::npos) found = m;
            return found.has_value();
        },
        timeout, 10ms);
    return found;
}

const std::vector<std::string>& SyslogSink::Messages() {
    Drain();
    return messages_;
}

// ---------------------------------------------------------------------------------------

DaemonProcess::DaemonProcess(std::string path) : path_(std::move(path)) {}

bool DaemonProcess::Fail(std::string why) {
    error_ = std::move(why);
    return false;
}

DaemonProcess::~DaemonProcess() {
    if (pid_ <= 0 || reaped_) return;
    Signal(SIGTERM);
    if (!WaitExit(3s)) {
        kill(pid_, SIGKILL);
        WaitExit(3s);
    }
}

bool DaemonProcess::Start(Clock::duration timeout) {
    if (!InLab()) return Fail("refusing to start the daemon outside a qorlab lab");
    // Orphans of our children become ours rather than the lab's PID 1.
    if (prctl(PR_SET_CHILD_SUBREAPER, 1) != 0)
        return Fail(std::string("PR_SET_CHILD_SUBREAPER: ") + strerror(errno));
    int pipeFds[2];
    if (pipe2(pipeFds, O_CLOEXEC) != 0) return Fail(std::string("pipe: ") + strerror(errno));
    UniqueFd readEnd(pipeFds[0]), writeEnd(pipeFds[1]);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, writeEnd.get(), STDOUT_FILENO);
    std::vector<std::string> env = DaemonEnvironment();
    std::vector<char*> envp;
    for (auto& e : env) envp.push_back(e.data());
    envp.push_back(nullptr);
    std::string arg0 = path_;
    char* argv[] = {arg0.data(), nullptr};
    // As a service manager would: default signal dispositions and nothing blocked, whatever
    // this process inherited.
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    sigset_t all, none;
    sigfillset(&all);
    sigemptyset(&none);
    posix_spawnattr_setsigdefault(&attr, &all);
    posix_spawnattr_setsigmask(&attr, &none);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);
    pid_t launcher = -1;
    const int rc = posix_spawn(&launcher, path_.c_str(), &actions, &attr, argv, envp.data());
    posix_spawnattr_destroy(&attr);
    posix_spawn_file_actions_destroy(&actions);
    writeEnd.reset();
    if (rc != 0) return Fail("posix_spawn " + path_ + ": " + strerror(rc));

    // Collect the output until both the first process and the daemon closed the pipe, and
    // the exit status of the first process.
    const auto deadline = Clock::now() + timeout;
    bool eof = false;
    while (Clock::now() < deadline && (launcherStatus_ < 0 || !eof)) {
        if (!eof) {
            struct pollfd pfd {
                readEnd.get(), POLLIN, 0
            };
            if (poll(&pfd, 1, 10) > 0) {
                char buff[512];
                const ssize_t n = read(readEnd.get(), buff, sizeof(buff));
                if (n > 0)
                    stdout_.append(buff, static_cast<size_t>(n));
                else if (n == 0)
                    eof = true;
            }
        } else {
            std::this_thread::sleep_for(10ms);
        }
        if (launcherStatus_ < 0) {
            if (const auto st = WaitPid(launcher, 0s)) launcherStatus_ = *st;
        }
    }
    if (launcherStatus_ < 0) {
        kill(launcher, SIGKILL);
        waitpid(launcher, nullptr, 0);
        error_ = "the first process of " + path_ + " did not exit in time";
        return false;
    }
    // The first process is gone, so its child has been reparented to us by now.
    const auto daemon = FindOrphanedChild(path_);
    if (!daemon)
        return Fail("no forked daemon found (first process exited with " + std::to_string(launcherStatus_) +
                    ")");
    pid_ = *daemon;
    ClaimedPids().insert(pid_);
    return true;
}

bool DaemonProcess::Signal(int sig) const {
    return pid_ > 0 && !reaped_ && kill(pid_, sig) == 0;
}

std::optional<int> DaemonProcess::WaitExit(Clock::duration timeout) {
    if (reaped_) return exitStatus_;
    if (pid_ <= 0) return std::nullopt;
    const auto status = WaitPid(pid_, timeout);
    if (!status || *status < 0) return std::nullopt;
    reaped_ = true;
    exitStatus_ = *status;
    ClaimedPids().erase(pid_);
    return exitStatus_;
}

std::string DaemonProcess::SanitizerReports() {
    std::string reports;
    const std::filesystem::path prefix(kSanitizerLogPrefix);
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator(prefix.parent_path(), ec)) {
        if (!entry.path().filename().string().starts_with(prefix.filename().string())) continue;
        reports += "==== " + entry.path().string() + "\n" + ReadFile(entry.path()).value_or("") + "\n";
    }
    return reports;
}

}  // namespace qortest
