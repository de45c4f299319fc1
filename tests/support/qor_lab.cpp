#include "qor_lab.h"

#include <fcntl.h>
#include <linux/if_packet.h>
#include <net/if.h>
#include <sched.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>

#include <cerrno>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

extern char** environ;

namespace qortest {

namespace {

std::vector<std::string> SplitEnv(const char* name) {
    std::vector<std::string> out;
    std::istringstream in(getenv(name) ? getenv(name) : "");
    for (std::string word; in >> word;) out.push_back(word);
    return out;
}

std::vector<pid_t> PidsFromEnv(const char* name) {
    std::vector<pid_t> out;
    for (const auto& word : SplitEnv(name)) out.push_back(static_cast<pid_t>(std::stol(word)));
    return out;
}

}  // namespace

LabInfo LabInfo::FromEnv() {
    LabInfo lab{SplitEnv("QORLAB_VETHS"), SplitEnv("QORLAB_PEER_IFS"), SplitEnv("QORLAB_UNIT_IFS"),
                PidsFromEnv("QORLAB_PEER_PIDS"), PidsFromEnv("QORLAB_UNIT_PIDS")};
    const auto bridge = PidsFromEnv("QORLAB_BRIDGE_PID");
    lab.BridgePid = bridge.empty() ? 0 : bridge.front();
    return lab;
}

bool InLab() {
    const char* flag = getenv("QORLAB");
    // PID 1 of a lab is "bash .../qorlab --inner ..."; on the machine it is the init system.
    const std::string init = ReadFile("/proc/1/cmdline").value_or("");
    return flag && strcmp(flag, "1") == 0 && init.find("qorlab") != std::string::npos &&
           init.find("--inner") != std::string::npos;
}

void RunInNetns(pid_t nsPid, const std::function<void()>& fn) {
    std::string error;
    // setns(CLONE_NEWNET) changes only the calling thread, so a short-lived thread keeps the
    // test's own threads where they are.
    std::thread worker([&]() {
        try {
            const std::string path = "/proc/" + std::to_string(nsPid) + "/ns/net";
            UniqueFd ns(open(path.c_str(), O_RDONLY | O_CLOEXEC));
            if (!ns || setns(ns.get(), CLONE_NEWNET) != 0)
                throw std::runtime_error("enter " + path + ": " + strerror(errno));
            fn();
        } catch (const std::exception& e) {
            error = e.what();
        }
    });
    worker.join();
    if (!error.empty()) throw std::runtime_error(error);
}

pid_t Spawn(const std::vector<std::string>& argv, pid_t nsPid, const std::string& outputPath, bool errorsToo,
            std::string* error, const std::vector<std::string>& env) {
    // Everything the child needs is prepared before the fork: a child of a multi-threaded
    // process may only make async-signal-safe calls.
    auto fail = [&](const std::string& what) {
        *error = what + ": " + strerror(errno);
        return -1;
    };
    const std::string nsPath = "/proc/" + std::to_string(nsPid) + "/ns/net";
    UniqueFd ns(nsPid > 0 ? open(nsPath.c_str(), O_RDONLY | O_CLOEXEC) : -1);
    if (nsPid > 0 && !ns) return fail("open " + nsPath);
    UniqueFd out(open(outputPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
    if (!out) return fail("open " + outputPath);
    std::vector<char*> args, envp;
    for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    for (const auto& e : env) envp.push_back(const_cast<char*>(e.c_str()));
    args.push_back(nullptr);
    envp.push_back(nullptr);
    sigset_t none;
    sigemptyset(&none);
    const pid_t parent = getpid();
    const pid_t pid = fork();
    if (pid < 0) return fail("fork");
    if (pid == 0) {
        for (int sig = 1; sig < NSIG; ++sig) signal(sig, SIG_DFL);
        sigprocmask(SIG_SETMASK, &none, nullptr);
        prctl(PR_SET_PDEATHSIG, SIGTERM);
        if (getppid() != parent) _exit(126);
        if (ns && setns(ns.get(), CLONE_NEWNET) != 0) _exit(125);
        dup2(out.get(), STDOUT_FILENO);
        if (errorsToo) dup2(out.get(), STDERR_FILENO);
        execve(args[0], args.data(), env.empty() ? environ : envp.data());
        _exit(127);
    }
    return pid;
}

std::string MacString(const Mac& mac) {
    char text[18];
    snprintf(text, sizeof(text), "%.2x:%.2x:%.2x:%.2x:%.2x:%.2x", mac[0], mac[1], mac[2], mac[3], mac[4],
             mac[5]);
    return text;
}

std::optional<Mac> ReadIfMac(const std::string& ifname) {
    const auto text = ReadFile("/sys/class/net/" + ifname + "/address");
    unsigned b[6];
    if (!text || sscanf(text->c_str(), "%x:%x:%x:%x:%x:%x", &b[0], &b[1], &b[2], &b[3], &b[4], &b[5]) != 6)
        return std::nullopt;
    Mac mac{};
    for (size_t i = 0; i < 6; ++i) mac[i] = static_cast<uint8_t>(b[i]);
    return mac;
}

std::optional<unsigned> ReadIfFlags(const std::string& ifname) {
    const auto text = ReadFile("/sys/class/net/" + ifname + "/flags");
    if (!text) return std::nullopt;
    return static_cast<unsigned>(std::stoul(*text, nullptr, 16));
}

bool SendFrame(pid_t nsPid, const std::string& ifname, const std::vector<uint8_t>& frame) {
    bool sent = false;
    RunInNetns(nsPid, [&]() {
        // Protocol 0: the socket receives nothing, it only sends.
        UniqueFd fd(socket(AF_PACKET, SOCK_RAW | SOCK_CLOEXEC, 0));
        struct sockaddr_ll addr {};
        addr.sll_family = AF_PACKET;
        addr.sll_ifindex = static_cast<int>(if_nametoindex(ifname.c_str()));
        sent = fd && addr.sll_ifindex > 0 &&
               sendto(fd.get(), frame.data(), frame.size(), 0, reinterpret_cast<sockaddr*>(&addr),
                      sizeof(addr)) == static_cast<ssize_t>(frame.size());
    });
    return sent;
}

std::optional<int> WaitPid(pid_t pid, Clock::duration timeout) {
    const auto deadline = Clock::now() + timeout;
    for (;;) {
        int status = 0;
        const pid_t r = waitpid(pid, &status, WNOHANG);
        if (r == pid) {
            return WIFEXITED(status)     ? WEXITSTATUS(status)
                   : WIFSIGNALED(status) ? 128 + WTERMSIG(status)
                                         : -1;
        }
        if (r < 0 && errno != EINTR) return -1;
        if (Clock::now() >= deadline) return std::nullopt;
        std::this_thread::sleep_for(5ms);
    }
}

std::optional<std::string> ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return std::nullopt;
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

bool WriteFile(const std::string& path, const std::string& content) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << content;
    out.close();
    return static_cast<bool>(out);
}

size_t CountOccurrences(const std::string& text, const std::string& needle) {
    size_t count = 0;
    for (size_t at = text.find(needle); !needle.empty() && at != std::string::npos;
         at = text.find(needle, at + needle.size()))
        ++count;
    return count;
}

bool Eventually(const std::function<bool()>& fn, Clock::duration timeout, Clock::duration step) {
    const auto deadline = Clock::now() + timeout;
    while (!fn()) {
        if (Clock::now() >= deadline) return false;
        std::this_thread::sleep_for(step);
    }
    return true;
}

bool WaitForFileContains(const std::string& path, const std::string& needle, Clock::duration timeout,
                         size_t times) {
    return Eventually([&] { return CountOccurrences(ReadFile(path).value_or(""), needle) >= times; },
                      timeout);
}

}  // namespace qortest
