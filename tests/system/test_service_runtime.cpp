// Start-up, pid file, log file and signals of the daemon, and its NIC records, observed from
// outside.
#include <net/if.h>
#include <signal.h>
#include <sys/stat.h>

#include "service_fixture.h"

namespace qortest {
namespace {

using ServiceRuntime = ServiceTest;
using NicLayer = ServiceTest;

// qorlab --veths 1
TEST_F(ServiceRuntime, StartsAsADaemonRestartsCleanAndStopsOnlyOnSigterm) {
    ASSERT_TRUE(WriteFile(kLogPath, "line left by an earlier run\n"));
    ASSERT_NO_FATAL_FAILURE(StartAndWaitForNics());
    Step("first start");
    // Only the version line: the daemon's own standard output is closed.
    EXPECT_EQ(daemon_->Stdout(), "QORSERVICE : Version - 1.0.15.0\n");
    EXPECT_NE(daemon_->Pid(), getpid());
    EXPECT_EQ(ReadFile(kPidPath).value_or("<missing>"), std::to_string(daemon_->Pid()) + "\n");
    struct stat st {};
    ASSERT_EQ(stat(kPidPath, &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0666u) << "pid file created with mode 0666 under a zero umask";
    for (const char* dir : {kMappingDir, kConnectDir}) {
        ASSERT_EQ(stat(dir, &st), 0) << dir << " missing";
        EXPECT_EQ(st.st_mode & (S_IFMT | 0777), S_IFDIR | 0700u) << dir;
    }
    EXPECT_EQ(Log().find("earlier run"), std::string::npos) << "the log is not emptied at start";
    Step("signals");
    ASSERT_TRUE(daemon_->Signal(SIGINT));
    EXPECT_FALSE(daemon_->WaitExit(1s)) << "the daemon ended on SIGINT";
    const auto start = Clock::now();
    ASSERT_EQ(Stop(), 0);
    // One second of idle sleep at most, plus the time the services need to stop.
    EXPECT_LT(Clock::now() - start, 2500ms);
    EXPECT_TRUE(syslog_->Messages().empty())
        << "an orderly stop logs to syslog: " << syslog_->Messages().front();
    EXPECT_NE(Log().find("NIC (veth0), del\n"), std::string::npos) << "teardown frees the NIC record";
    Step("second start");
    // An old pid file longer than the new line keeps its tail: the file is not truncated.
    const std::string old = "123456789\nXYZ";
    ASSERT_TRUE(WriteFile(kPidPath, old));
    // The first run's lines (its NIC record among them) give way to a marker, so the record
    // waited for below can only be the second run's, written after it emptied the log.
    ASSERT_TRUE(WriteFile(kLogPath, "line left by the first run\n"));
    ASSERT_NO_FATAL_FAILURE(StartDaemon());
    const std::string pidLine = std::to_string(daemon_->Pid()) + "\n";
    ASSERT_LT(pidLine.size(), old.size());
    EXPECT_TRUE(Eventually([&] { return ReadFile(kPidPath) == pidLine + old.substr(pidLine.size()); }, 5s))
        << ReadFile(kPidPath).value_or("<missing>");
    // A fresh log: one NIC record, none of the old lines.
    EXPECT_TRUE(WaitForFileContains(kLogPath, NicAdd("veth0"), 5s)) << Log();
    EXPECT_EQ(CountOccurrences(Log(), NicAdd("veth0")), 1u) << Log();
    EXPECT_EQ(Log().find("first run"), std::string::npos) << Log();
}

// qorlab --veths 0: only the loopback interface.
TEST_F(ServiceRuntime, RunsWithoutAnyUsableNic) {
    ASSERT_NO_FATAL_FAILURE(StartDaemon());
    // Start-up reaches its idle loop; nothing else announces it, so give it a moment.
    EXPECT_FALSE(daemon_->WaitExit(1500ms)) << "the daemon ended";
    EXPECT_EQ(Log().find("NIC ("), std::string::npos) << Log();
    EXPECT_EQ(Stop(), 0);
}

// qorlab --ro-share: /usr/share is read-only, so the record directories cannot be made.
TEST_F(ServiceRuntime, StartupFailsWhenRecordDirectoriesCannotBeCreated) {
    ASSERT_NO_FATAL_FAILURE(StartDaemon());
    EXPECT_EQ(daemon_->WaitExit(5s), 1);
    const auto message = syslog_->WaitFor("Init service failure.", 2s);
    ASSERT_TRUE(message) << "no start-up failure in syslog";
    EXPECT_NE(message->find("qorservice[" + std::to_string(daemon_->Pid()) + "]: "), std::string::npos)
        << *message;
    const std::string log = Log();
    EXPECT_NE(log.find("CFG, check and create /usr/share/qorservice_mapping dir FAIL, errno:" +
                       std::to_string(EROFS) + "\n"),
              std::string::npos)
        << log;
    // The NIC list comes after the record directories and must never have been built.
    EXPECT_EQ(log.find("NIC ("), std::string::npos) << log;
}

// qorlab --veths 2: each veth gets a promiscuous record with a receive thread of its own;
// frames another EtherType carries never reach it.
TEST_F(NicLayer, OneRecordPerVethEachPromiscuousOnItsEtherType) {
    ASSERT_EQ(lab_.Veths.size(), 2u);
    ASSERT_NO_FATAL_FAILURE(StartAndWaitForNics());
    for (size_t i : {1, 0}) {
        const std::string& veth = lab_.Veths[i];
        EXPECT_EQ(CountOccurrences(Log(), NicAdd(veth)), 1u) << Log();
        EXPECT_TRUE(ReadIfFlags(veth).value_or(0) & IFF_PROMISC) << veth;
        // An IP search response (DLLP 15) from 02:00:00:00:09:09 to the veth, once with another
        // EtherType, then with the link's.
        const Mac to = ReadIfMac(veth).value_or(Mac{});
        auto frame = Concat({{to.begin(), to.end()}, {2, 0, 0, 0, 9, 9, 0x88, 0xB5, 0x20, 15, 0, 0}});
        const std::string before = Log();
        ASSERT_TRUE(SendFrame(lab_.PeerPids[i], lab_.PeerIfs[i], frame));
        frame[12] = kLinkEtherType >> 8;
        frame[13] = kLinkEtherType & 0xFF;
        ASSERT_TRUE(SendFrame(lab_.PeerPids[i], lab_.PeerIfs[i], frame));
        const std::string line = "NIC (" + veth + "), DLLP_CMD_IP_SEARCH_RESPONSE, not support\n";
        EXPECT_TRUE(WaitForFileContains(kLogPath, line, 3s, CountOccurrences(before, line) + 1)) << line;
        EXPECT_EQ(Log().substr(before.size()), line) << "only the frame of the link EtherType is handled";
    }
}

}  // namespace
}  // namespace qortest
