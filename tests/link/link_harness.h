// Scripted units on the loopback (or a veth) of the test's private network namespace, and a
// fixture that brings up the service side (NIC record on lo, one unit record) in-process.
#pragma once

#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <chrono>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include "../unit/registry_support.h"
#include "nic_main.h"
#include "vn_connect.h"
#include "vn_main.h"

using namespace std::chrono_literals;
using Bytes = std::vector<uint8_t>;
using Clock = std::chrono::steady_clock;
using Mac = std::array<uint8_t, 6>;

struct Frame {
    Clock::time_point at;
    Bytes link;  // from the packet type on
};

// Plays one unit on an interface: answers what the service sends according to its settings
// (to the NIC that sent it) and records every frame the service sent to it (or broadcast).
class ScriptedUnit {
  public:
    explicit ScriptedUnit(Mac mac, const char* ifname = "lo");
    ~ScriptedUnit();

    std::atomic<bool> silent{false}, ackTlps{true}, answerInfo{true};
    std::atomic<int> connectReturnCode{0}, disconnectReturnCode{0};  // -1: no answer
    std::atomic<uint8_t> typeInfo{0x00};                             // mode dock, no password
    std::atomic<int> uartChannels{2}, delayMs{0};                    // delay: before a connect or info answer

    const Mac& GetMac() const { return mac_; }
    // Sends raw link bytes (packet type on) to the service NIC that sent last.
    void Send(const Bytes& link);
    // Frames received so far that match; waits up to `ms` for at least `count` of them.
    std::vector<Frame> Frames(const std::function<bool(const Frame&)>& match, size_t count = 0, int ms = 0);
    void ClearFrames();

  private:
    void Run();
    void Answer(const Frame& f);
    Mac mac_, peer_{};  // peer_: the service NIC that sent last (lo's address is all zero)
    int sock_ = -1, ifindex_ = 0, stopFd_ = -1;
    std::thread thread_;
    std::mutex mutex_;
    std::vector<Frame> frames_;
};

inline const auto IsDllp = [](const Frame& f, uint8_t cmd) {
    return f.link.size() >= 4 && f.link[0] == 0x20 && (f.link[1] & 0x1F) == cmd;
};
inline const auto IsTlp = [](const Frame& f) { return f.link.size() >= 8 && f.link[0] == 0x10; };
inline const auto IsConnect = [](const Frame& f) { return IsDllp(f, 2) || IsDllp(f, 10); };
// A received UART register answer (TLP CMD, channel 1, register 4, sequence 0x15).
inline const Bytes kUartAnswer = {0x10, 0x05, 0x40, 1, 0x00, 0x04, 0x01, 0x1F, 0x78, 0x56, 0x34, 0x12};

// The operations as the management handlers call them (a password in the client's order).
uint16_t ConnectUnit(const Mac& mac, const char* password = "");
inline const auto MapUnit = [](const Mac& mac) { return VnMainMapping(mac.data(), 0, nullptr, 0, nullptr); };

// Service side: the NIC record on lo and the unit record, informed by the unit's answer.
class LinkFixture : public ::testing::Test {
  protected:
    void SetUp() override;
    void TearDown() override;
    const Mac& mac() const { return unit->GetMac(); }
    void Reinform(uint8_t typeInfo, int uarts);  // the unit now answers so, and is asked again
    static inline std::atomic<int> lost{0};      // units reported lost to the management clients

    std::unique_ptr<ScriptedUnit> unit;
    NicRef nic;
    VnRef vn;
};
