// Fixture for tests that drive the real qorservice binary inside a lab.
#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <thread>

#include "qor_daemon.h"
#include "qor_lab.h"

namespace qortest {

constexpr const char* kLogPath = "/var/log/qorservice.log";
constexpr const char* kPidPath = "/var/run/qorservice.pid";
constexpr const char* kVersionLine = "QORSERVICE : Version - 1.0.15.0\n";

inline std::string NicAdd(const std::string& ifname) { return "NIC (" + ifname + "), add\n"; }

class ServiceTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(InLab()) << "system tests run only inside a lab: qorlab [--veths N] -- system_tests ...";
        lab_ = LabInfo::FromEnv();
        // Bound before the daemon starts, so its first syslog() finds it.
        syslog_ = std::make_unique<SyslogSink>();
    }

    void TearDown() override {
        daemon_.reset();  // stops a daemon that is still running
        const std::string reports = DaemonProcess::SanitizerReports();
        EXPECT_TRUE(reports.empty()) << "the daemon's sanitizer runtime reported:\n" << reports;
    }

    // Starts the daemon; its first process must print the version and exit 0.
    void StartDaemon() {
        daemon_ = std::make_unique<DaemonProcess>(QORSERVICE_PATH);
        ASSERT_TRUE(daemon_->Start()) << daemon_->Error();
        ASSERT_EQ(daemon_->LauncherStatus(), 0);
    }

    // Starts the daemon and waits until every veth of the lab has its NIC record.
    void StartAndWaitForNics() {
        ASSERT_NO_FATAL_FAILURE(StartDaemon());
        for (const auto& veth : lab_.Veths)
            ASSERT_TRUE(WaitForFileContains(kLogPath, NicAdd(veth), 5s))
                << "no NIC record for " << veth << "; log:\n" << Log();
    }

    // SIGTERM, then the daemon's exit status (nullopt if it did not end within the timeout).
    std::optional<int> Stop(Clock::duration timeout = 5s) {
        if (!daemon_ || !daemon_->Signal(SIGTERM)) return std::nullopt;
        return daemon_->WaitExit(timeout);
    }

    static std::string Log() { return ReadFile(kLogPath).value_or(""); }

    // Polls the log until done(log text) holds; false at the deadline.
    static bool WaitForLog(const std::function<bool(const std::string&)>& done, Clock::duration timeout) {
        const auto deadline = Clock::now() + timeout;
        while (!done(Log())) {
            if (Clock::now() >= deadline) return false;
            std::this_thread::sleep_for(20ms);
        }
        return true;
    }

    LabInfo lab_;
    std::unique_ptr<SyslogSink> syslog_;
    std::unique_ptr<DaemonProcess> daemon_;
};

}  // namespace qortest
