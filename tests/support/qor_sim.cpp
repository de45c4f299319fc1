#include "qor_sim.h"

#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <string.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/un.h>

#include <atomic>
#include <cerrno>
#include <sstream>

namespace qortest {

namespace {

std::atomic<unsigned> gSimSerial{0};

// fork + setns + exec; everything the child needs is prepared before the fork, because a
// child of a multi-threaded process may only make async-signal-safe calls.
pid_t SpawnInNetns(pid_t nsPid, const std::vector<std::string>& argv, const std::string& outputPath,
                   std::string* error) {
    auto fail = [&](const std::string& what) {
        *error = what + ": " + strerror(errno);
        return -1;
    };
    const std::string nsPath = "/proc/" + std::to_string(nsPid) + "/ns/net";
    UniqueFd ns(open(nsPath.c_str(), O_RDONLY | O_CLOEXEC));
    if (!ns) return fail("open " + nsPath);
    UniqueFd out(open(outputPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
    if (!out) return fail("open " + outputPath);
    std::vector<char*> args;
    for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    const pid_t parent = getpid();
    const pid_t pid = fork();
    if (pid < 0) return fail("fork");
    if (pid == 0) {
        prctl(PR_SET_PDEATHSIG, SIGTERM);
        if (getppid() != parent) _exit(126);
        if (setns(ns.get(), CLONE_NEWNET) != 0) _exit(125);
        dup2(out.get(), 1);
        dup2(out.get(), 2);
        execv(args[0], args.data());
        _exit(127);
    }
    return pid;
}

}  // namespace

SimProcess::~SimProcess() {
    Stop();
}

bool SimProcess::Start(const std::string& binary, pid_t nsPid, const std::vector<std::string>& args,
                       Clock::duration timeout) {
    const std::string tag = std::to_string(getpid()) + "-" + std::to_string(gSimSerial++);
    controlPath_ = "/run/qorsim-" + tag + ".sock";
    outputPath_ = "/run/qorsim-" + tag + ".out";
    std::vector<std::string> argv = {binary, "--control", controlPath_};
    argv.insert(argv.end(), args.begin(), args.end());
    pid_ = SpawnInNetns(nsPid, argv, outputPath_, &error_);
    if (pid_ < 0) return false;
    std::optional<int> status;
    if (Eventually(
            [&] { return Output().find("ready") != std::string::npos || (status = WaitPid(pid_, 0s)); },
            timeout, 10ms) &&
        !status)
        return true;
    error_ =
        (status ? "qorsim ended with status " + std::to_string(*status) : "qorsim did not print 'ready'") +
        ":\n" + Output();
    if (status) pid_ = -1;
    return false;
}

std::string SimProcess::Output() const {
    return ReadFile(outputPath_).value_or("");
}

std::string SimProcess::Control(const std::string& line) const {
    UniqueFd fd(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!fd) return std::string("error socket: ") + strerror(errno);
    struct sockaddr_un addr {};
    addr.sun_family = AF_UNIX;
    if (controlPath_.size() >= sizeof(addr.sun_path)) return "error control path too long";
    memcpy(addr.sun_path, controlPath_.c_str(), controlPath_.size() + 1);
    if (connect(fd.get(), reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0)
        return "error connect " + controlPath_ + ": " + strerror(errno);
    const std::string request = line + "\n";
    if (send(fd.get(), request.data(), request.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(request.size()))
        return std::string("error send: ") + strerror(errno);
    std::string answer;
    const auto deadline = Clock::now() + 5s;
    while (answer.find('\n') == std::string::npos) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0) return "error no answer to '" + line + "'";
        struct pollfd pfd {
            fd.get(), POLLIN, 0
        };
        if (poll(&pfd, 1, static_cast<int>(left)) <= 0) continue;
        char buff[4096];
        const ssize_t n = recv(fd.get(), buff, sizeof(buff), 0);
        if (n <= 0) return "error connection closed before an answer to '" + line + "'";
        answer.append(buff, static_cast<size_t>(n));
    }
    return answer.substr(0, answer.find('\n'));
}

bool SimProcess::Ok(const std::string& line) {
    lastAnswer_ = Control(line);
    return lastAnswer_.starts_with("ok");
}

std::optional<SimUnitCounters> SimProcess::Counters(const Mac& mac) const {
    const std::string answer = Control("show " + MacString(mac));
    if (!answer.starts_with("ok ")) return std::nullopt;
    SimUnitCounters c;
    int found = 0;
    std::istringstream in(answer);
    for (std::string word; in >> word;) {
        const size_t eq = word.find('=');
        if (eq == std::string::npos) continue;
        const std::string key = word.substr(0, eq);
        unsigned long* slot = key == "rx"              ? &c.Rx
                              : key == "searches"      ? &c.Searches
                              : key == "info-requests" ? &c.InfoRequests
                                                       : nullptr;
        if (!slot) continue;
        *slot = std::stoul(word.substr(eq + 1));
        ++found;
    }
    if (found != 3) return std::nullopt;
    return c;
}

std::optional<int> SimProcess::Stop() {
    if (pid_ <= 0) return std::nullopt;
    Control("quit");
    auto status = WaitPid(pid_, 2s);
    if (!status) {
        kill(pid_, SIGTERM);
        status = WaitPid(pid_, 1s);
    }
    if (!status) {
        kill(pid_, SIGKILL);
        WaitPid(pid_, 5s);
    }
    pid_ = -1;
    return status;
}

int RunShellInNetns(pid_t nsPid, const std::string& command) {
    std::string error;
    const pid_t pid = SpawnInNetns(nsPid, {"/bin/sh", "-c", command}, "/dev/null", &error);
    if (pid < 0) return -1;
    return WaitPid(pid, 10s).value_or(-1);
}

}  // namespace qortest
