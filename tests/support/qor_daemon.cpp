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

// A child of ours running the daemon binary and not yet claimed: the daemon, reparented to
// us. Other children (qorsim started by the same test) are never taken for it.
std::optional<pid_t> FindOrphanedChild(const std::string& binary) {
    std::error_code ec;
    const auto exe = std::filesystem::canonical(binary, ec);
    std::unique_ptr<DIR, int (*)(DIR*)> proc(opendir("/proc"), closedir);
    if (!proc) return std::nullopt;
    while (const struct dirent* e = readdir(proc.get())) {
        char* end = nullptr;
        const long pid = strtol(e->d_name, &end, 10);
        if (pid <= 0 || *end != '\0') continue;
        if (ClaimedPids().count(static_cast<pid_t>(pid))) continue;
        if (ParentOf(static_cast<pid_t>(pid)) != getpid()) continue;
        if (std::filesystem::read_symlink("/proc/" + std::to_string(pid) + "/exe", ec) == exe)
            return static_cast<pid_t>(pid);
    }
    return std::nullopt;
}

// The daemon closes its standard error, so its sanitizer runtimes report into files.
std::vector<std::string> DaemonEnvironment() {
    std::vector<std::string> env;
    std::string asan = "ASAN_OPTIONS=", ubsan = "UBSAN_OPTIONS=";
    for (char** e = environ; *e; ++e) {
        const std::string entry = *e;
        if (entry.starts_with(asan))
            asan = entry + ":";
        else if (entry.starts_with(ubsan))
            ubsan = entry + ":";
        else
            env.push_back(entry);
    }
    const std::string logPath = std::string("log_path=") + DaemonProcess::kSanitizerLogPrefix;
    env.push_back(asan + logPath);
    env.push_back(ubsan + logPath + ":print_stacktrace=1");
    return env;
}

}  // namespace

int DecodeWaitStatus(int status) {
    if (WIFEXITED(status)) return WEXITSTATUS(status);
    if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
    return -1;
}

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

void SyslogSink::Drain(Clock::duration timeout) {
    const auto deadline = Clock::now() + timeout;
    char buff[4096];
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        struct pollfd pfd {
            fd_.get(), POLLIN, 0
        };
        const int ready = poll(&pfd, 1, left.count() > 0 ? static_cast<int>(left.count()) : 0);
        if (ready < 0 && errno == EINTR) continue;
        if (ready <= 0) return;
        const ssize_t n = recv(fd_.get(), buff, sizeof(buff), MSG_DONTWAIT);
        if (n > 0) messages_.emplace_back(buff, static_cast<size_t>(n));
        // Having read one, do not block: the caller checks the new message first.
        return;
    }
}

std::optional<std::string> SyslogSink::WaitFor(const std::string& needle, Clock::duration timeout) {
    const auto deadline = Clock::now() + timeout;
    size_t checked = 0;
    for (;;) {
        for (; checked < messages_.size(); ++checked)
            if (messages_[checked].find(needle) != std::string::npos) return messages_[checked];
        const auto now = Clock::now();
        if (now >= deadline) return std::nullopt;
        Drain(deadline - now);
    }
}

const std::vector<std::string>& SyslogSink::Messages() {
    size_t before;
    do {
        before = messages_.size();
        Drain(Clock::duration::zero());
    } while (messages_.size() != before);
    return messages_;
}

// ---------------------------------------------------------------------------------------

DaemonProcess::DaemonProcess(std::string path) : path_(std::move(path)) {}

DaemonProcess::~DaemonProcess() {
    if (pid_ <= 0 || reaped_) return;
    Signal(SIGTERM);
    if (!WaitExit(3s)) {
        kill(pid_, SIGKILL);
        WaitExit(3s);
    }
}

bool DaemonProcess::Start(Clock::duration timeout) {
    if (!InLab()) {
        error_ = "refusing to start the daemon outside a qorlab lab";
        return false;
    }
    // Orphans of our children become ours rather than the lab's PID 1.
    if (prctl(PR_SET_CHILD_SUBREAPER, 1) != 0) {
        error_ = std::string("PR_SET_CHILD_SUBREAPER: ") + strerror(errno);
        return false;
    }
    int pipeFds[2];
    if (pipe2(pipeFds, O_CLOEXEC) != 0) {
        error_ = std::string("pipe: ") + strerror(errno);
        return false;
    }
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
    if (rc != 0) {
        error_ = "posix_spawn " + path_ + ": " + strerror(rc);
        return false;
    }

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
            int status = 0;
            if (waitpid(launcher, &status, WNOHANG) == launcher) launcherStatus_ = DecodeWaitStatus(status);
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
    if (!daemon) {
        error_ = "no forked daemon found (first process exited with " + std::to_string(launcherStatus_) + ")";
        return false;
    }
    pid_ = *daemon;
    ClaimedPids().insert(pid_);
    return true;
}

bool DaemonProcess::Running() {
    return pid_ > 0 && !reaped_ && !WaitExit(Clock::duration::zero());
}

bool DaemonProcess::Signal(int sig) const {
    return pid_ > 0 && !reaped_ && kill(pid_, sig) == 0;
}

std::optional<int> DaemonProcess::WaitExit(Clock::duration timeout) {
    if (reaped_) return exitStatus_;
    if (pid_ <= 0) return std::nullopt;
    const auto deadline = Clock::now() + timeout;
    for (;;) {
        int status = 0;
        const pid_t r = waitpid(pid_, &status, WNOHANG);
        if (r == pid_) {
            reaped_ = true;
            exitStatus_ = DecodeWaitStatus(status);
            ClaimedPids().erase(pid_);
            return exitStatus_;
        }
        if (r < 0 && errno != EINTR) return std::nullopt;
        if (Clock::now() >= deadline) return std::nullopt;
        std::this_thread::sleep_for(5ms);
    }
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
