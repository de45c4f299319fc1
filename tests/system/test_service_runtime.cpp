// Start-up, pid file, log file and signals of the daemon, observed from outside.
#include <signal.h>
#include <sys/stat.h>

#include <thread>

#include "service_fixture.h"

namespace qortest {
namespace {

using ServiceRuntime = ServiceTest;

TEST_F(ServiceRuntime, VersionIsPrintedBeforeDaemonising) {
    ASSERT_NO_FATAL_FAILURE(StartAndWaitForNics());
    // Only the version line: the daemon's own standard output is closed.
    EXPECT_EQ(daemon_->Stdout(), kVersionLine);
    EXPECT_NE(daemon_->Pid(), getpid());
    EXPECT_TRUE(daemon_->Running());
}

TEST_F(ServiceRuntime, PidFileHoldsDaemonPid) {
    ASSERT_NO_FATAL_FAILURE(StartAndWaitForNics());
    EXPECT_EQ(ReadFile(kPidPath).value_or("<missing>"), std::to_string(daemon_->Pid()) + "\n");
    struct stat st {};
    ASSERT_EQ(stat(kPidPath, &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0666u) << "created with mode 0666 under a zero umask";
}

TEST_F(ServiceRuntime, PidFileKeepsTailOfLongerFile) {
    const std::string old = "123456789\nXYZ";
    ASSERT_TRUE(WriteFile(kPidPath, old));
    ASSERT_NO_FATAL_FAILURE(StartAndWaitForNics());
    const std::string pidLine = std::to_string(daemon_->Pid()) + "\n";
    ASSERT_LT(pidLine.size(), old.size());
    EXPECT_EQ(ReadFile(kPidPath).value_or("<missing>"), pidLine + old.substr(pidLine.size()));
}

TEST_F(ServiceRuntime, LogIsEmptiedAtEachStart) {
    ASSERT_TRUE(WriteFile(kLogPath, "line left by an earlier run\n"));
    ASSERT_NO_FATAL_FAILURE(StartAndWaitForNics());
    std::string log = Log();
    EXPECT_EQ(log.find("earlier run"), std::string::npos) << log;

    ASSERT_EQ(Stop(), 0);
    log = Log();
    EXPECT_NE(log.find("NIC (veth0), del\n"), std::string::npos) << "teardown frees the NIC record:\n" << log;

    // A second start begins an empty log again: the old lines go, a fresh record is logged.
    ASSERT_NO_FATAL_FAILURE(StartDaemon());
    EXPECT_TRUE(WaitForLog(
        [](const std::string& text) {
            return CountOccurrences(text, NicAdd("veth0")) == 1 && text.find("NIC (veth0), del") == std::string::npos;
        },
        5s))
        << "log after restart:\n" << Log();
}

TEST_F(ServiceRuntime, SigintIsIgnored) {
    ASSERT_NO_FATAL_FAILURE(StartAndWaitForNics());
    ASSERT_TRUE(daemon_->Signal(SIGINT));
    EXPECT_FALSE(daemon_->WaitExit(1s)) << "the daemon ended on SIGINT";
    EXPECT_TRUE(daemon_->Running());
    EXPECT_EQ(Stop(), 0);
}

TEST_F(ServiceRuntime, SigtermStopsWithStatusZero) {
    ASSERT_NO_FATAL_FAILURE(StartAndWaitForNics());
    const auto start = Clock::now();
    ASSERT_TRUE(daemon_->Signal(SIGTERM));
    const auto status = daemon_->WaitExit(5s);
    const auto elapsed = Clock::now() - start;
    ASSERT_TRUE(status) << "the daemon did not end within 5 s of SIGTERM";
    EXPECT_EQ(*status, 0);
    // One second of idle sleep at most, plus the time the services need to stop.
    EXPECT_LT(elapsed, 2500ms) << std::chrono::duration_cast<std::chrono::milliseconds>(elapsed).count() << " ms";
    EXPECT_TRUE(syslog_->Messages().empty()) << "an orderly stop logs nothing to syslog, got: "
                                             << syslog_->Messages().front();
}

TEST_F(ServiceRuntime, CreatesRecordDirectories) {
    ASSERT_NO_FATAL_FAILURE(StartAndWaitForNics());
    for (const char* dir : {"/usr/share/qorservice_mapping", "/usr/share/qorservice_connect"}) {
        struct stat st {};
        ASSERT_EQ(stat(dir, &st), 0) << dir << " missing";
        EXPECT_TRUE(S_ISDIR(st.st_mode)) << dir;
        EXPECT_EQ(st.st_mode & 0777, 0700u) << dir;
    }
}

// qorlab --veths 0: only the loopback interface.
TEST_F(ServiceRuntime, RunsWithoutAnyUsableNic) {
    ASSERT_NO_FATAL_FAILURE(StartDaemon());
    // Start-up reaches its idle loop; nothing else announces it, so give it a moment.
    EXPECT_FALSE(daemon_->WaitExit(1500ms)) << "the daemon ended; syslog: "
                                            << (syslog_->Messages().empty() ? "" : syslog_->Messages().front());
    EXPECT_EQ(Log().find("NIC ("), std::string::npos) << Log();
    EXPECT_EQ(Stop(), 0);
}

// qorlab --ro-share: /usr/share is read-only, so the record directories cannot be made.
TEST_F(ServiceRuntime, StartupFailsWhenRecordDirectoriesCannotBeCreated) {
    ASSERT_NO_FATAL_FAILURE(StartDaemon());
    EXPECT_EQ(daemon_->WaitExit(5s), 1);
    const auto message = syslog_->WaitFor("Init service failure.", 2s);
    ASSERT_TRUE(message) << "no start-up failure in syslog";
    EXPECT_NE(message->find("qorservice[" + std::to_string(daemon_->Pid()) + "]: "), std::string::npos) << *message;

    const std::string log = Log();
    EXPECT_NE(log.find("CFG, check and create /usr/share/qorservice_mapping dir FAIL, errno:" +
                       std::to_string(EROFS) + "\n"),
              std::string::npos)
        << log;
    // The NIC list comes after the record directories and must never have been built.
    EXPECT_EQ(log.find("NIC ("), std::string::npos) << log;
    struct stat st {};
    EXPECT_NE(stat("/usr/share/qorservice_mapping", &st), 0);
}

}  // namespace
}  // namespace qortest
