// The stand-in unit's frame path and control commands, run without sockets: interfaces are
// faked, sent frames collected, and the clock is the test's.
#include "sim_unit.h"

#include <gtest/gtest.h>
#include <linux/if_packet.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <iterator>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include "sim_fixture.h"
#include "sim_options.h"

namespace {

TEST_F(SimUnitTest, OwnFramesAndGroupSourcesAreIgnored) {
    ASSERT_EQ(Do("add ctu_uart2 02:00:00:00:00:01 veth0"), "ok added 02:00:00:00:00:01");
    Send(kSimBroadcastMac, SimDllpEncode(SIM_DLLP_ADVANCE_SEARCH, 0, 0), kHost, true, PACKET_OUTGOING);
    Send(kUnitA, SimDllpEncode(SIM_DLLP_ACU, 0, 0xFF), SimMac{0x03, 0, 0, 0, 0, 1});
    Send(kSimBroadcastMac, SimDllpEncode(SIM_DLLP_DOCK_SEARCH, 0, 0), kSimBroadcastMac);
    // Answers that only units send, and codes without a meaning, are taken in and not answered.
    for (int cmd : std::initializer_list<int>{SIM_DLLP_DOCK_CONNECT_RESPONSE, SIM_DLLP_DOCK_SEARCH_RESPONSE,
                                              SIM_DLLP_KEEP_ALIVE_RESPONSE, SIM_DLLP_ACU_RESPONSE,
                                              SIM_DLLP_KEEP_ALIVE_TIMEOUT, 31}) {
        Send(kUnitA, SimDllpEncode(static_cast<uint8_t>(cmd), 0, 0));
    }
    EXPECT_TRUE(sent.empty());
    EXPECT_EQ(Unit().Stats.Ignored, 6u);
}

TEST_F(SimUnitTest, AddAndRemoveRules) {
    Talk({{"add ctu_uart2 02:00:00:00:00:01", "error usage: add PROFILE MAC IFACE"},
          {"add ctu_uart2 02:00:00:00:00 veth0", "error '02:00:00:00:00' is not a MAC address"},
          {"add ctu_uart2 03:00:00:00:00:01 veth0", "error unit MAC 03:00:00:00:00:01 is a group address"},
          {"add ctu_uart2 00:00:00:00:00:00 veth0", "error unit MAC 00:00:00:00:00:00 is not usable"},
          {"add ctu_uart2 02:00:00:00:00:01 missing0", "error no interface 'missing0'"},
          {"add ctu_uart2.prof 02:00:00:00:00:01 veth0", "ok added 02:00:00:00:00:01"},
          {"add " QORSIM_TEST_PROFILE_DIR "/ctu_dio.prof 02:00:00:00:00:02 veth0",
           "ok added 02:00:00:00:00:02"},
          {"add ctu_dio 02:00:00:00:00:02 veth1", "error unit 02:00:00:00:00:02 exists already"},
          {"silent 02:00:00:00:00:02", "ok silent 1"},
          {"hostile 02:00:00:00:00:02 ports 17", "ok hostile ports 17"},
          {"list",
           "ok 2 02:00:00:00:00:01,veth0,ctu_uart2,talking "
           "02:00:00:00:00:02,veth0,ctu_dio,silent,hostile=ports"},
          {"show 02:00:00:00:00:09", "error no unit 02:00:00:00:00:09"}});
    EXPECT_NE(
        Do("add no_such_profile 02:00:00:00:00:03 veth0").find("error profile 'no_such_profile' not found"),
        std::string::npos);
    EXPECT_EQ(ctx.Profiles.size(), 2u) << "profiles are loaded once";
    EXPECT_NE(Do("show 02:00:00:00:00:02").find(" silent=1 hostile=ports/17 "), std::string::npos);
    Talk({{"remove all", "ok removed 2"}, {"list", "ok 0"}});
}

TEST_F(SimUnitTest, AddManyMakesConsecutiveMacsUpTo255) {
    // All or none: a clash in the middle leaves nothing of the new range.
    Talk({{"add-many 3 ctu_uart2 02:00:00:00:00:fe veth0", "ok added 3 02:00:00:00:00:fe..02:00:00:00:01:00"},
          {"add-many 4 ctu_uart2 02:00:00:00:00:fc veth0", "error unit 02:00:00:00:00:fe exists already"},
          {"add-many 253 ctu_uart2 02:00:00:10:00:00 veth0",
           "error 253 more units would exceed 255 (3 exist)"},
          {"add-many 252 ctu_uart2 02:00:00:10:00:00 veth0",
           "ok added 252 02:00:00:10:00:00..02:00:00:10:00:fb"},
          {"add ctu_uart2 02:00:00:20:00:00 veth0", "error already 255 units"},
          {"add-many 0 ctu_uart2 02:00:00:20:00:00 veth0", "error count must be 1..255"}});
    EXPECT_EQ(ctx.Units.size(), 255u);
    // 255 units answer one broadcast search.
    Send(kSimBroadcastMac, SimDllpEncode(SIM_DLLP_ADVANCE_SEARCH, 0, 0));
    EXPECT_EQ(sent.size(), 255u);
    Talk({{"remove all", "ok removed 255"},
          {"add-many 2 ctu_uart2 ff:ff:ff:ff:ff:ff veth0",
           "error unit MAC ff:ff:ff:ff:ff:ff is a group address"},
          {"add-many 3 ctu_uart2 fe:ff:ff:ff:ff:fe veth0",
           "error MAC range crosses into group addresses at ff:00:00:00:00:00"}});
    EXPECT_EQ(ctx.Units.size(), 0u);
}

// Command-line words from one line.
bool ParseWords(const std::string& line, _SIM_OPTIONS* o, std::string* err) {
    std::istringstream in("qorsim " + line);
    std::vector<std::string> words{std::istream_iterator<std::string>(in), {}};
    std::vector<const char*> argv;
    for (const auto& w : words) argv.push_back(w.c_str());
    return SimOptionsParse(static_cast<int>(argv.size()), argv.data(), o, err);
}

TEST(SimOptions, UnitArgumentsAndErrors) {
    _SIM_OPTIONS o;
    std::string err;
    // A profile path may itself contain commas.
    ASSERT_TRUE(
        ParseWords("--unit a,b/p.prof,02:00:00:00:00:01,v0 --unit b,02:00:00:00:00:02,v1 --units-count 10 "
                   "--units-from c,02:00:00:00:01:00,v0 --control /tmp/x.sock --profile-dir /p --verbose",
                   &o, &err))
        << err;
    EXPECT_EQ(std::tuple(o.Units.size(), o.Units[0].Profile, o.Units[0].Mac, o.Units[0].Iface, o.UnitsCount,
                         o.UnitsFrom.Profile, o.ControlPath, o.ProfileDirs, o.Verbose),
              std::tuple(2u, "a,b/p.prof", kUnitA, "v0", 10u, "c", "/tmp/x.sock",
                         std::vector<std::string>{"/p"}, true));
    for (const char* bad :
         {"--unit p,02:00:00:00:00:01", "--unit p,02:00:00:00:00:01,", "--unit ,02:00:00:00:00:01,v0",
          "--units-count 3", "--units-count 256 --units-from c,02:00:00:00:01:00,v0",
          "--units-count x --units-from c,02:00:00:00:01:00,v0", "--control", "--frob",
          "--unit p,bad,veth0"}) {
        err.clear();
        EXPECT_FALSE(ParseWords(bad, &o, &err)) << bad;
        EXPECT_FALSE(err.empty()) << bad;
    }
    EXPECT_NE(err.find("'bad' is not a MAC"), std::string::npos) << err;
}

TEST(SimTimers, OrderCancelAndReentry) {
    SimTimers t;
    std::vector<int> ran;
    t.Add(20, [&] { ran.push_back(3); });
    const uint64_t cancelled = t.Add(10, [&] { ran.push_back(9); });
    t.Add(5, [&] { ran.push_back(1); });
    // A callback that schedules a due timer does not run it in the same pass.
    t.Add(6, [&] {
        ran.push_back(2);
        t.Add(0, [&] { ran.push_back(4); });
    });
    EXPECT_TRUE(t.Cancel(cancelled));
    EXPECT_EQ(t.RunDue(20), 3u);
    EXPECT_EQ(t.RunDue(20), 1u);
    EXPECT_EQ(ran, (std::vector<int>{1, 2, 3, 4}));
    EXPECT_EQ(t.NextDue(), -1);
}

}  // namespace

// The real binary with only a control socket (no units, no interfaces): a stop sent the moment
// it says "ready" ends it cleanly, control socket removed, every time.
TEST(SimProcessStop, SigtermRightAfterReadyExitsCleanly) {
    const std::string ctl = testing::TempDir() + "qorsim-stop.sock";
    for (int round = 0; round < 20; ++round) {
        int out[2];
        ASSERT_EQ(pipe(out), 0);
        const pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            dup2(out[1], STDOUT_FILENO);
            execl(QORSIM_TEST_BINARY, "qorsim", "--control", ctl.c_str(), static_cast<char*>(nullptr));
            _exit(127);
        }
        close(out[1]);
        char line[32] = {};
        ASSERT_GT(read(out[0], line, sizeof(line) - 1), 0);
        close(out[0]);
        ASSERT_EQ(std::string(line).rfind("ready", 0), 0u) << line;
        kill(pid, SIGTERM);
        int status = 0;
        ASSERT_EQ(waitpid(pid, &status, 0), pid);
        ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0)
            << "round " << round << " status " << status;
        ASSERT_NE(access(ctl.c_str(), F_OK), 0) << "control socket left behind";
    }
}
