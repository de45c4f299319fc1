// qorsim end to end: the real binary plays units on one end of a veth pair inside a network
// namespace that the test creates (and leaves again); the test plays the host on the other
// end with a raw socket. Skipped where namespaces cannot be created (no root, no `ip`).
#include <arpa/inet.h>
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/if_packet.h>
#include <net/if.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <set>
#include <string>
#include <vector>

#include "sim_fd.h"
#include "sim_info.h"
#include "sim_profile.h"
#include "sim_wire.h"

namespace {

const SimMac kUart{0x02, 0x00, 0x00, 0x00, 0x00, 0x01};
const SimMac kPassword{0x02, 0x00, 0x00, 0x00, 0x00, 0x02};

int64_t NowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// Enters a fresh network namespace for the lifetime of the object and returns to the
// original one afterwards; the namespace and its veth pair vanish once nothing uses them.
class PrivateNet {
  public:
    PrivateNet() {
        original_.Reset(open("/proc/self/ns/net", O_RDONLY | O_CLOEXEC));
        if (!original_.Valid()) {
            why_ = std::string("open /proc/self/ns/net: ") + strerror(errno);
            return;
        }
        if (unshare(CLONE_NEWNET) != 0) {
            why_ = std::string("unshare(CLONE_NEWNET): ") + strerror(errno);
            return;
        }
        entered_ = true;
        if (system("ip link set lo up && ip link add name qst0 type veth peer name qst1 && "
                   "ip link set qst0 up && ip link set qst1 up") != 0) {
            why_ = "cannot create the veth pair with ip(8)";
            return;
        }
        ok_ = true;
    }
    ~PrivateNet() {
        if (entered_) setns(original_.Get(), CLONE_NEWNET);
    }
    bool Ok() const { return ok_; }
    const std::string& Why() const { return why_; }

  private:
    SimFd original_;
    bool entered_ = false;
    bool ok_ = false;
    std::string why_;
};

// qorsim as a child process, stopped by pid when the test ends.
class SimProcess {
  public:
    bool Start(const std::vector<std::string>& args, std::string* err) {
        int out[2];
        if (pipe2(out, O_CLOEXEC) != 0) return false;
        pid_ = fork();
        if (pid_ == 0) {
            dup2(out[1], 1);
            std::vector<char*> argv;
            argv.push_back(const_cast<char*>(QORSIM_TEST_BINARY));
            for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
            argv.push_back(nullptr);
            execv(argv[0], argv.data());
            _exit(127);
        }
        close(out[1]);
        out_.Reset(out[0]);
        if (pid_ < 0) return false;
        // Wait for "ready" on its standard output.
        const int64_t deadline = NowMs() + 5000;
        while (NowMs() < deadline) {
            struct pollfd p {
                out_.Get(), POLLIN, 0
            };
            if (poll(&p, 1, 100) <= 0) continue;
            char buf[512];
            const ssize_t n = read(out_.Get(), buf, sizeof(buf));
            if (n <= 0) break;
            text_.append(buf, static_cast<size_t>(n));
            if (text_.find("ready") != std::string::npos) return true;
        }
        *err = "qorsim did not become ready: " + text_;
        return false;
    }
    // Exit status, or -1 when it did not end within the time.
    int Wait(int ms) {
        const int64_t deadline = NowMs() + ms;
        while (pid_ > 0 && NowMs() < deadline) {
            int st = 0;
            const pid_t r = waitpid(pid_, &st, WNOHANG);
            if (r == pid_) {
                pid_ = -1;
                return WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
            }
            usleep(10000);
        }
        return -1;
    }
    pid_t Pid() const { return pid_; }
    ~SimProcess() {
        if (pid_ > 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
    }

  private:
    pid_t pid_ = -1;
    SimFd out_;
    std::string text_;
};

class Host {
  public:
    bool Open(const char* ifname) {
        sock_.Reset(socket(AF_PACKET, SOCK_RAW | SOCK_CLOEXEC, htons(kSimEtherType)));
        if (!sock_.Valid()) return false;
        index_ = static_cast<int>(if_nametoindex(ifname));
        struct sockaddr_ll sll {};
        sll.sll_family = AF_PACKET;
        sll.sll_protocol = htons(kSimEtherType);
        sll.sll_ifindex = index_;
        if (bind(sock_.Get(), reinterpret_cast<struct sockaddr*>(&sll), sizeof(sll)) != 0) return false;
        struct ifreq ifr {};
        strncpy(ifr.ifr_name, ifname, IFNAMSIZ - 1);
        if (ioctl(sock_.Get(), SIOCGIFHWADDR, &ifr) != 0) return false;
        for (size_t i = 0; i < 6; ++i) mac_[i] = static_cast<uint8_t>(ifr.ifr_hwaddr.sa_data[i]);
        return true;
    }
    void Send(const SimMac& dst, const std::vector<uint8_t>& link) {
        const auto f = SimEthFrameBuild(dst, mac_, link);
        struct sockaddr_ll sll {};
        sll.sll_family = AF_PACKET;
        sll.sll_ifindex = index_;
        sll.sll_halen = 6;
        ASSERT_EQ(
            sendto(sock_.Get(), f.data(), f.size(), 0, reinterpret_cast<struct sockaddr*>(&sll), sizeof(sll)),
            static_cast<ssize_t>(f.size()));
    }
    // Frames that arrive within ms (never this host's own outgoing copies).
    std::vector<std::vector<uint8_t>> Receive(int ms, size_t stopAfter) {
        std::vector<std::vector<uint8_t>> out;
        const int64_t deadline = NowMs() + ms;
        while (out.size() < stopAfter) {
            const int64_t left = deadline - NowMs();
            if (left <= 0) break;
            struct pollfd p {
                sock_.Get(), POLLIN, 0
            };
            if (poll(&p, 1, static_cast<int>(left)) <= 0) continue;
            std::vector<uint8_t> buf(kSimMaxFrame);
            struct sockaddr_ll from {};
            socklen_t len = sizeof(from);
            const ssize_t n = recvfrom(sock_.Get(), buf.data(), buf.size(), 0,
                                       reinterpret_cast<struct sockaddr*>(&from), &len);
            if (n <= 0 || from.sll_pkttype == PACKET_OUTGOING) continue;
            buf.resize(static_cast<size_t>(n));
            out.push_back(std::move(buf));
        }
        return out;
    }
    const SimMac& Mac() const { return mac_; }

  private:
    SimFd sock_;
    int index_ = 0;
    SimMac mac_{};
};

std::string Control(const std::string& path, const std::string& line) {
    SimFd fd(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    struct sockaddr_un addr {};
    addr.sun_family = AF_UNIX;
    strncpy(addr.sun_path, path.c_str(), sizeof(addr.sun_path) - 1);
    if (connect(fd.Get(), reinterpret_cast<struct sockaddr*>(&addr), sizeof(addr)) != 0)
        return "connect failed";
    const std::string msg = line + "\n";
    if (send(fd.Get(), msg.data(), msg.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(msg.size()))
        return "send failed";
    std::string answer;
    const int64_t deadline = NowMs() + 2000;
    const size_t lines = static_cast<size_t>(std::count(line.begin(), line.end(), '\n')) + 1;
    while (static_cast<size_t>(std::count(answer.begin(), answer.end(), '\n')) < lines &&
           NowMs() < deadline) {
        struct pollfd p {
            fd.Get(), POLLIN, 0
        };
        if (poll(&p, 1, 100) <= 0) continue;
        char buf[1024];
        const ssize_t n = recv(fd.Get(), buf, sizeof(buf), 0);
        if (n <= 0) break;
        answer.append(buf, static_cast<size_t>(n));
    }
    if (!answer.empty() && answer.back() == '\n') answer.pop_back();
    return answer;
}

SimMac SrcOf(const std::vector<uint8_t>& f) {
    return {f[6], f[7], f[8], f[9], f[10], f[11]};
}
SimMac DstOf(const std::vector<uint8_t>& f) {
    return {f[0], f[1], f[2], f[3], f[4], f[5]};
}

// A private directory for control sockets, emptied and removed however the test ends.
class TempDir {
  public:
    TempDir() {
        char tmpl[] = "/tmp/qorsim-test-XXXXXX";
        if (mkdtemp(tmpl) != nullptr) path_ = tmpl;
    }
    ~TempDir() {
        if (path_.empty()) return;
        if (DIR* d = opendir(path_.c_str())) {
            while (struct dirent* e = readdir(d))
                if (strcmp(e->d_name, ".") != 0 && strcmp(e->d_name, "..") != 0)
                    unlink((path_ + "/" + e->d_name).c_str());
            closedir(d);
        }
        rmdir(path_.c_str());
    }
    const std::string& Path() const { return path_; }

  private:
    std::string path_;
};

TEST(SimSmoke, AnswersSearchesAndInfoRequestsOverAVethPair) {
    PrivateNet net;
    if (!net.Ok()) GTEST_SKIP() << "no private network namespace: " << net.Why();
    TempDir dir;
    ASSERT_FALSE(dir.Path().empty());
    const std::string ctl = dir.Path() + "/ctl.sock";
    SimProcess sim;
    std::string err;
    ASSERT_TRUE(sim.Start({"--verbose", "--control", ctl, "--unit", "ctu_uart2,02:00:00:00:00:01,qst1",
                           "--unit", "advance_password,02:00:00:00:00:02,qst1"},
                          &err))
        << err;
    Host host;
    ASSERT_TRUE(host.Open("qst0"));

    host.Send(kSimBroadcastMac, SimDllpEncode(SIM_DLLP_ADVANCE_SEARCH, 0, 0));
    auto frames = host.Receive(2000, 2);
    ASSERT_EQ(frames.size(), 2u);
    std::set<SimMac> from;
    for (const auto& f : frames) {
        ASSERT_EQ(f.size(), kSimMinFrame);
        EXPECT_EQ(DstOf(f), host.Mac());
        const std::vector<uint8_t> link(f.begin() + 12, f.begin() + 18);
        EXPECT_EQ(link, (std::vector<uint8_t>{0xD4, 0x1F, 0x20, 0x07, 0x00, 0x00}));
        from.insert(SrcOf(f));
    }
    EXPECT_EQ(from, (std::set<SimMac>{kUart, kPassword}));

    host.Send(kSimBroadcastMac, SimDllpEncode(SIM_DLLP_DOCK_SEARCH, 0, 0));
    frames = host.Receive(2000, 2);
    ASSERT_EQ(frames.size(), 2u);
    for (const auto& f : frames) EXPECT_EQ(f[15], SIM_DLLP_DOCK_SEARCH_RESPONSE);

    host.Send(kPassword, SimDllpEncode(SIM_DLLP_ACU, 0, kSimAcuItemInfo));
    frames = host.Receive(2000, 1);
    ASSERT_EQ(frames.size(), 1u);
    const auto& acu = frames[0];
    EXPECT_EQ(SrcOf(acu), kPassword);
    ASSERT_GT(acu.size(), 18u + kSimInfoHeaderLength);
    EXPECT_EQ(std::vector<uint8_t>(acu.begin() + 14, acu.begin() + 18),
              (std::vector<uint8_t>{0x20, 18, 0x01, 0xFF}));
    EXPECT_EQ(std::string(acu.begin() + 24, acu.begin() + 30), "VN-U4P");
    EXPECT_EQ(acu[18 + 16], 0x91);
    EXPECT_EQ(acu[18 + 24], 5) << "control unit and four UARTs";
    _SIM_PROFILE p;
    ASSERT_TRUE(SimProfileLoad(QORSIM_TEST_PROFILE_DIR "/advance_password.prof", &p, &err)) << err;
    EXPECT_EQ(std::vector<uint8_t>(acu.begin() + 18, acu.end()),
              SimInfoBuild(p, kPassword, _SIM_LINK_STATE{}));

    // Steered through the control socket: a silent unit stays quiet.
    EXPECT_EQ(Control(ctl, "silent 02:00:00:00:00:01"), "ok silent 1");
    host.Send(kSimBroadcastMac, SimDllpEncode(SIM_DLLP_ADVANCE_SEARCH, 0, 0));
    frames = host.Receive(500, 3);
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(SrcOf(frames[0]), kPassword);
    EXPECT_EQ(Control(ctl, "add dock_basic 02:00:00:00:00:03 no-such-if"),
              "error no interface 'no-such-if': No such device");

    // Several commands in one write get one answer line each; an endless line is refused.
    EXPECT_EQ(Control(ctl, "talk all\nlist"),
              "ok talking 2\nok 2 02:00:00:00:00:01,qst1,ctu_uart2,talking "
              "02:00:00:00:00:02,qst1,advance_password,talking");
    EXPECT_EQ(Control(ctl, std::string(5000, 'x')), "error line too long");
    EXPECT_EQ(Control(ctl, "quit"), "ok bye");
    EXPECT_EQ(sim.Wait(3000), 0);
    struct stat st {};
    EXPECT_NE(stat(ctl.c_str(), &st), 0) << "control socket removed on exit";
}

TEST(SimSmoke, ConnectKeepAliveAndRegisterReadOverAVethPair) {
    PrivateNet net;
    if (!net.Ok()) GTEST_SKIP() << "no private network namespace: " << net.Why();
    TempDir dir;
    ASSERT_FALSE(dir.Path().empty());
    const std::string ctl = dir.Path() + "/ctl.sock";
    SimProcess sim;
    std::string err;
    ASSERT_TRUE(
        sim.Start({"--verbose", "--control", ctl, "--unit", "advance_password,02:00:00:00:00:02,qst1"}, &err))
        << err;
    Host host;
    ASSERT_TRUE(host.Open("qst0"));

    // Advance connect with "varnel-secret" reversed and right-aligned, host sequence number 9.
    std::vector<uint8_t> connect{0x20, 10, 0x10, 9};
    const std::string pw = "varnel-secret";
    std::vector<uint8_t> block(32, 0);
    for (size_t i = 0; i < pw.size(); ++i) block[31 - i] = static_cast<uint8_t>(pw[i]);
    connect.insert(connect.end(), block.begin(), block.end());
    connect.insert(connect.end(), 4, 0);
    host.Send(kPassword, connect);
    auto frames = host.Receive(2000, 1);
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(std::vector<uint8_t>(frames[0].begin() + 14, frames[0].begin() + 18),
              (std::vector<uint8_t>{0x20, 11, 0x01, 0x55}));

    host.Send(kPassword, {0x20, 8, 0, 0});
    frames = host.Receive(2000, 1);
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0][15], SIM_DLLP_KEEP_ALIVE_RESPONSE);

    // Register read of channel 1: an ACK for number 9, then the answer numbered 0x155.
    host.Send(kPassword, {0x10, 0x02, 0x40, 1, 4, 0, 2, 0x1F});
    frames = host.Receive(2000, 2);
    ASSERT_EQ(frames.size(), 2u);
    EXPECT_EQ(std::vector<uint8_t>(frames[0].begin() + 14, frames[0].begin() + 18),
              (std::vector<uint8_t>{0x20, 0, 0, 9}));
    EXPECT_EQ(std::vector<uint8_t>(frames[1].begin() + 14, frames[1].begin() + 30),
              (std::vector<uint8_t>{0x10, 0x55, 0x40, 1, 4, 0, 2, 0x1F, 0, 0, 0, 0, 0, 0, 0, 0}));

    EXPECT_EQ(Control(ctl, "ka-timeout 02:00:00:00:00:02"), "ok ka-timeout 1");
    frames = host.Receive(2000, 1);
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(DstOf(frames[0]), host.Mac());
    EXPECT_EQ(frames[0][15], SIM_DLLP_KEEP_ALIVE_TIMEOUT);
    const std::string show = Control(ctl, "show 02:00:00:00:00:02");
    EXPECT_NE(show.find(" link=1/" + SimMacFormat(host.Mac()) + " "), std::string::npos) << show;
    EXPECT_NE(show.find(" unacked=341 tlp-seqs=9"), std::string::npos) << show;
    EXPECT_EQ(Control(ctl, "quit"), "ok bye");
    EXPECT_EQ(sim.Wait(3000), 0);
}

TEST(SimSmoke, StopsCleanlyOnSigterm) {
    PrivateNet net;
    if (!net.Ok()) GTEST_SKIP() << "no private network namespace: " << net.Why();
    TempDir dir;
    ASSERT_FALSE(dir.Path().empty());
    const std::string ctl = dir.Path() + "/ctl.sock";
    SimProcess sim;
    std::string err;
    ASSERT_TRUE(sim.Start(
        {"--control", ctl, "--units-count", "20", "--units-from", "ctu_dio,02:00:00:00:01:00,qst1"}, &err))
        << err;
    Host host;
    ASSERT_TRUE(host.Open("qst0"));
    host.Send(kSimBroadcastMac, SimDllpEncode(SIM_DLLP_DOCK_SEARCH, 0, 0));
    EXPECT_EQ(host.Receive(2000, 20).size(), 20u);
    // A second instance may not take over a control socket in use.
    SimProcess second;
    EXPECT_FALSE(second.Start({"--control", ctl}, &err));
    EXPECT_EQ(second.Wait(2000), 1);
    ASSERT_GT(sim.Pid(), 0);
    kill(sim.Pid(), SIGTERM);
    EXPECT_EQ(sim.Wait(3000), 0);
    struct stat st {};
    EXPECT_NE(stat(ctl.c_str(), &st), 0);
}

TEST(SimSmoke, UsageErrorsExitWithStatus2) {
    SimProcess sim;
    std::string err;
    EXPECT_FALSE(sim.Start({"--bogus"}, &err));
    EXPECT_EQ(sim.Wait(2000), 2);
    SimProcess none;
    EXPECT_FALSE(none.Start({}, &err));
    EXPECT_EQ(none.Wait(2000), 2);
    // A control path that holds an ordinary file is left alone.
    TempDir dir;
    const std::string file = dir.Path() + "/not-a-socket";
    FILE* f = fopen(file.c_str(), "w");
    ASSERT_NE(f, nullptr);
    fclose(f);
    SimProcess taken;
    EXPECT_FALSE(taken.Start({"--control", file}, &err));
    EXPECT_EQ(taken.Wait(2000), 1);
    struct stat st {};
    EXPECT_EQ(stat(file.c_str(), &st), 0);
    EXPECT_TRUE(S_ISREG(st.st_mode));
}

}  // namespace
