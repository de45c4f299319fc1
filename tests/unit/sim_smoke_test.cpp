// The real qorsim binary as a process: its control socket, its exit statuses and its clean-up.
// No units and no interfaces are needed for these; the frame path runs in-process in the
// other sim tests, and over veth pairs in every system test.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "sim_fd.h"

namespace {

// qorsim as a child process, killed by pid if the test ends before it does.
class SimProcess {
  public:
    // True once it printed "ready" as its first line; false if it ended instead.
    bool Start(const std::vector<std::string>& args) {
        int out[2];
        if (out_ != nullptr) fclose(out_);
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
        out_ = fdopen(out[0], "r");
        char line[64] = {};
        return out_ != nullptr && fgets(line, sizeof(line), out_) != nullptr &&
               strncmp(line, "ready", 5) == 0;
    }
    // Exit status, or -1 when it did not end within ms.
    int Wait(int ms) {
        for (int i = 0; pid_ > 0 && i < ms / 10; ++i, usleep(10000)) {
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
        if (pid_ > 0) kill(pid_, SIGKILL), waitpid(pid_, nullptr, 0);
        if (out_ != nullptr) fclose(out_);
    }

  private:
    pid_t pid_ = -1;
    FILE* out_ = nullptr;
};

// One write of Text to the control socket; the answer lines, one per command line.
std::string Control(const std::string& path, const std::string& text) {
    SimFd fd(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    struct sockaddr_un addr {};
    addr.sun_family = AF_UNIX;
    strncpy(addr.sun_path, path.c_str(), sizeof(addr.sun_path) - 1);
    const struct timeval twoSeconds { 2, 0 };
    setsockopt(fd.Get(), SOL_SOCKET, SO_RCVTIMEO, &twoSeconds, sizeof(twoSeconds));
    if (connect(fd.Get(), reinterpret_cast<struct sockaddr*>(&addr), sizeof(addr)) != 0) return "no connect";
    const std::string msg = text + "\n";
    if (send(fd.Get(), msg.data(), msg.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(msg.size()))
        return "no send";
    std::string answer;
    char buf[1024];
    for (ssize_t n;
         std::count(answer.begin(), answer.end(), '\n') <= std::count(text.begin(), text.end(), '\n') &&
         (n = recv(fd.Get(), buf, sizeof(buf), 0)) > 0;)
        answer.append(buf, static_cast<size_t>(n));
    if (!answer.empty() && answer.back() == '\n') answer.pop_back();
    return answer;
}

class SimSmoke : public ::testing::Test {
  protected:
    void TearDown() override { unlink(ctl.c_str()); }
    const std::string ctl = "/tmp/qorsim-smoke-" + std::to_string(getpid()) + ".sock";
};

TEST_F(SimSmoke, ControlSocketIsKeptAnswersEachLineAndGoesOnQuit) {
    SimProcess sim;
    ASSERT_TRUE(sim.Start({"--control", ctl}));
    SimProcess second;
    EXPECT_FALSE(second.Start({"--control", ctl}));
    EXPECT_EQ(second.Wait(2000), 1);
    EXPECT_EQ(Control(ctl, "list\nlist extra"), "ok 0\nerror usage: list")
        << "the first instance still owns it";
    EXPECT_EQ(Control(ctl, std::string(5000, 'x')), "error line too long");
    // The real interface opener names what failed.
    EXPECT_EQ(Control(ctl, "add dock_basic 02:00:00:00:00:03 no-such-if"),
              "error no interface 'no-such-if': No such device");
    EXPECT_EQ(Control(ctl, "quit"), "ok bye");
    EXPECT_EQ(sim.Wait(3000), 0);
    EXPECT_FALSE(std::filesystem::exists(ctl)) << "control socket removed on exit";
    // SIGTERM stops it as cleanly, also when it comes right after "ready".
    for (int i = 0; i < 20; ++i) {
        ASSERT_TRUE(sim.Start({"--control", ctl}));
        kill(sim.Pid(), SIGTERM);
        ASSERT_EQ(sim.Wait(3000), 0) << "round " << i;
        ASSERT_FALSE(std::filesystem::exists(ctl));
    }
}

TEST_F(SimSmoke, UsageErrorsExitWith2AndAFileAtTheControlPathIsLeftAlone) {
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"--bogus"}, std::vector<std::string>{}}) {
        SimProcess sim;
        EXPECT_FALSE(sim.Start(args));
        EXPECT_EQ(sim.Wait(2000), 2);
    }
    std::ofstream(ctl) << "not a socket";
    SimProcess taken;
    EXPECT_FALSE(taken.Start({"--control", ctl}));
    EXPECT_EQ(taken.Wait(2000), 1);
    EXPECT_TRUE(std::filesystem::is_regular_file(ctl));
}

}  // namespace
