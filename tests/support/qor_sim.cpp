#include "qor_sim.h"

#include <poll.h>
#include <signal.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/un.h>

#include <atomic>
#include <cerrno>
#include <sstream>

namespace qortest {

bool SimProcess::Start(const std::string& binary, pid_t nsPid, const std::vector<std::string>& args,
                       Clock::duration timeout) {
    static std::atomic<unsigned> serial{0};
    const std::string tag = "/run/qorsim-" + std::to_string(getpid()) + "-" + std::to_string(serial++);
    controlPath_ = tag + ".sock";
    outputPath_ = tag + ".out";
    std::vector<std::string> argv = {binary, "--control", controlPath_};
    argv.insert(argv.end(), args.begin(), args.end());
    pid_ = Spawn(argv, nsPid, outputPath_, true, &error_);
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

std::string SimProcess::Control(const std::string& line) const {
    UniqueFd fd(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    struct sockaddr_un addr {};
    addr.sun_family = AF_UNIX;
    snprintf(addr.sun_path, sizeof(addr.sun_path), "%s", controlPath_.c_str());
    const std::string request = line + "\n";
    if (!fd || connect(fd.get(), reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0 ||
        send(fd.get(), request.data(), request.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(request.size()))
        return "error " + controlPath_ + ": " + strerror(errno);
    std::string answer;
    const auto deadline = Clock::now() + 5s;
    while (answer.find('\n') == std::string::npos) {
        struct pollfd pfd {
            fd.get(), POLLIN, 0
        };
        char buff[4096];
        if (Clock::now() >= deadline) return "error no answer to '" + line + "'";
        if (poll(&pfd, 1, 100) <= 0) continue;
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
    std::istringstream in(Control("show " + MacString(mac)));
    SimUnitCounters c;
    int found = 0;
    std::string word;
    if (!(in >> word) || word != "ok") return std::nullopt;
    while (in >> word) {
        for (auto [key, slot] :
             {std::pair{"rx=", &c.Rx}, {"searches=", &c.Searches}, {"info-requests=", &c.InfoRequests}}) {
            if (word.starts_with(key)) {
                *slot = std::stoul(word.substr(strlen(key)));
                ++found;
            }
        }
    }
    if (found != 3) return std::nullopt;
    return c;
}

std::optional<int> SimProcess::Stop() {
    if (pid_ <= 0) return std::nullopt;
    Control("quit");
    auto status = WaitPid(pid_, 2s);
    if (!status && kill(pid_, SIGTERM) == 0) status = WaitPid(pid_, 1s);
    if (!status) {
        kill(pid_, SIGKILL);
        WaitPid(pid_, 5s);
    }
    pid_ = -1;
    return status;
}

int RunShellInNetns(pid_t nsPid, const std::string& command) {
    std::string error;
    const pid_t pid = Spawn({"/bin/sh", "-c", command}, nsPid, "/dev/null", true, &error);
    return pid < 0 ? -1 : WaitPid(pid, 10s).value_or(-1);
}

}  // namespace qortest
