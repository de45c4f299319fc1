// A scripted unit on the loopback interface of the test's private network namespace, and a
// fixture that brings up the service side (NIC record on lo, one unit record) in-process.
#pragma once

#include <gtest/gtest.h>
#include <pthread.h>

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "nic_main.h"
#include "vn_main.h"

using Bytes = std::vector<uint8_t>;
using Clock = std::chrono::steady_clock;

struct Frame {
    Clock::time_point at;
    std::array<uint8_t, 6> dest;
    Bytes link;  // from the packet type on
};

// Plays one unit on an interface: answers what the service sends according to its settings
// (to the NIC that sent it) and records every frame the service sent to it (or broadcast).
class ScriptedUnit {
  public:
    explicit ScriptedUnit(std::array<uint8_t, 6> mac, const char* ifname = "lo");
    ~ScriptedUnit();

    // Behaviour, changeable at any time.
    std::atomic<bool> silent{false};  // answers nothing at all
    std::atomic<bool> answerKeepAlive{true};
    std::atomic<bool> ackTlps{true};
    std::atomic<int> connectReturnCode{0};     // -1: no answer
    std::atomic<int> disconnectReturnCode{0};  // -1: no answer
    std::atomic<uint16_t> deviceSeq{0x155};
    std::atomic<uint8_t> typeInfo{0x00};  // mode dock, no password
    std::atomic<int> uartChannels{2};
    std::atomic<bool> answerInfo{true};
    std::atomic<int> delayMs{0};  // before answering a connect or an info request

    const std::array<uint8_t, 6>& Mac() const { return mac_; }
    // Sends raw link bytes (packet type on) to the service's NIC.
    void Send(const Bytes& link);
    // Frames received so far that match; waits up to `ms` for at least `count` of them.
    std::vector<Frame> WaitFrames(const std::function<bool(const Frame&)>& match, size_t count, int ms);
    std::vector<Frame> Frames(const std::function<bool(const Frame&)>& match);
    void ClearFrames();

  private:
    void Run();
    void Answer(const Frame& f);

    std::array<uint8_t, 6> mac_;
    int sock_ = -1;
    int ifindex_ = 0;
    int stopFd_ = -1;
    std::thread thread_;
    std::mutex mutex_;
    std::vector<Frame> frames_;
    std::array<uint8_t, 6> peer_{};  // the service NIC that sent last (lo's address is all zero)
};

bool IsDllp(const Frame& f, uint8_t cmd);
bool IsTlp(const Frame& f);
Bytes InfoStructureResponse(uint8_t typeInfo, int uartChannels);
// A received UART register answer (TLP CMD, channel 1, register 4) as the unit sends it.
inline const Bytes kUartAnswer = {0x10, 0x05, 0x40, 1, 0x00, 0x04, 0x01, 0x1F, 0x78, 0x56, 0x34, 0x12};

// Service side: the NIC record on lo and the unit record, informed by the unit's answer.
class LinkFixture : public ::testing::Test {
  protected:
    void SetUp() override;
    void TearDown() override;

    std::unique_ptr<ScriptedUnit> unit;
    NicRef nic;
    VnRef vn;
};

template <typename F>
bool WaitUntil(F cond, int ms) {
    const auto end = Clock::now() + std::chrono::milliseconds(ms);
    while (Clock::now() < end) {
        if (cond()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return cond();
}
