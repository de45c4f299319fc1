// The real qorsim binary as a process: its control socket, its exit statuses and its clean-up.
// No units and no interfaces are needed for these; the frame path runs in-process in the
// other sim tests, and over veth pairs in every system test.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <vector>

#include "sim_fd.h"

namespace {

int64_t NowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// qorsim as a child process, killed by pid if the test ends before it does.
class SimProcess {
  public:
    // True once it printed "ready"; false if it ended or stayed silent.
    bool Start(const std::vector<std::string>& args) {
        int out[2];
        if (pipe2(out, O_CLOEXEC) != 0) return false;
        pid_ = fork();
        if (pid_ == 0) {
            dup2(out[1], 1);
            std::vector<char*> argv{const_cast<char*>(QORSIM_TEST_BINARY)};
            for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
            argv.push_back(nullptr);
            execv(argv[0], argv.data());
            _exit(127);
        }
        close(out[1]);
        SimFd fd(out[0]);
        std::string text;
        for (const int64_t deadline = NowMs() + 5000; pid_ > 0 && NowMs() < deadline;) {
            struct pollfd p {
                fd.Get(), POLLIN, 0
            };
            char buf[256];
            if (poll(&p, 1, 100) <= 0) continue;
            const ssize_t n = read(fd.Get(), buf, sizeof(buf));
            if (n <= 0) break;
            text.append(buf, static_cast<size_t>(n));
            if (text.find("ready") != std::string::npos) return true;
        }
        return false;
    }
    // Exit status, or -1 when it did not end within ms.
    int Wait(int ms) {
        for (const int64_t deadline = NowMs() + ms; pid_ > 0 && NowMs() < deadline; usleep(10000)) {
            int st = 0;
            if (waitpid(pid_, &st, WNOHANG) == pid_) {
                pid_ = -1;
                return WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
            }
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
};

// One write of Text to the control socket; the answer lines, one per command line.
std::string Control(const std::string& path, const std::string& text) {
    SimFd fd(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    struct sockaddr_un addr {};
    addr.sun_family = AF_UNIX;
    strncpy(addr.sun_path, path.c_str(), sizeof(addr.sun_path) - 1);
    if (connect(fd.Get(), reinterpret_cast<struct sockaddr*>(&addr), sizeof(addr)) != 0) return "no connect";
    const std::string msg = text + "\n";
    if (send(fd.Get(), msg.data(), msg.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(msg.size()))
        return "no send";
    const auto lines = std::count(text.begin(), text.end(), '\n') + 1;
    std::string answer;
    for (const int64_t deadline = NowMs() + 2000;
         std::count(answer.begin(), answer.end(), '\n') < lines && NowMs() < deadline;) {
        struct pollfd p {
            fd.Get(), POLLIN, 0
        };
        char buf[1024];
        if (poll(&p, 1, 100) <= 0) continue;
        const ssize_t n = recv(fd.Get(), buf, sizeof(buf), 0);
        if (n <= 0) break;
        answer.append(buf, static_cast<size_t>(n));
    }
    if (!answer.empty() && answer.back() == '\n') answer.pop_back();
    return answer;
}

bool Exists(const std::string& path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0;
}

class SimSmoke : public ::testing::Test {
  protected:
    void SetUp() override {
        char tmpl[] = "/tmp/qorsim-test-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir_ = tmpl;
        ctl = dir_ + "/ctl.sock";
    }
    void TearDown() override {
        unlink(ctl.c_str());
        rmdir(dir_.c_str());
    }
    std::string ctl;

  private:
    std::string dir_;
};

TEST_F(SimSmoke, ControlSocketAnswersEachLineAndQuitRemovesIt) {
    SimProcess sim;
    ASSERT_TRUE(sim.Start({"--control", ctl}));
    EXPECT_EQ(Control(ctl, "list\nlist extra"), "ok 0\nerror usage: list");
    EXPECT_EQ(Control(ctl, std::string(5000, 'x')), "error line too long");
    // The real interface opener names what failed.
    EXPECT_EQ(Control(ctl, "add dock_basic 02:00:00:00:00:03 no-such-if"),
              "error no interface 'no-such-if': No such device");
    EXPECT_EQ(Control(ctl, "quit"), "ok bye");
    EXPECT_EQ(sim.Wait(3000), 0);
    EXPECT_FALSE(Exists(ctl)) << "control socket removed on exit";
}

TEST_F(SimSmoke, SocketInUseIsNotTakenOverAndSigtermStopsCleanly) {
    SimProcess sim;
    ASSERT_TRUE(sim.Start({"--control", ctl}));
    SimProcess second;
    EXPECT_FALSE(second.Start({"--control", ctl}));
    EXPECT_EQ(second.Wait(2000), 1);
    EXPECT_EQ(Control(ctl, "list"), "ok 0") << "the first instance still owns it";
    ASSERT_GT(sim.Pid(), 0);
    kill(sim.Pid(), SIGTERM);
    EXPECT_EQ(sim.Wait(3000), 0);
    EXPECT_FALSE(Exists(ctl));
}

TEST_F(SimSmoke, UsageErrorsExitWith2AndAFileAtTheControlPathIsLeftAlone) {
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"--bogus"}, std::vector<std::string>{}}) {
        SimProcess sim;
        EXPECT_FALSE(sim.Start(args));
        EXPECT_EQ(sim.Wait(2000), 2);
    }
    FILE* f = fopen(ctl.c_str(), "w");
    ASSERT_NE(f, nullptr);
    fclose(f);
    SimProcess taken;
    EXPECT_FALSE(taken.Start({"--control", ctl}));
    EXPECT_EQ(taken.Wait(2000), 1);
    struct stat st {};
    ASSERT_EQ(stat(ctl.c_str(), &st), 0);
    EXPECT_TRUE(S_ISREG(st.st_mode));
}

}  // namespace
