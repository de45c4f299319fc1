// A stand-in for the kernel TTY driver: a netlink peer of the service's NLK protocol that sends
// requests and transmit data (by unicast to the service's port id, or through the multicast
// group the service joins) and collects every reply, event and data message.
//
// Its NLK codec is its own and includes no service header, so a misread byte layout on either
// side fails a test instead of being mirrored.
#pragma once

#include <sys/types.h>

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "qor_lab.h"

namespace qortest::nlk {

constexpr size_t kNlmsgHeader = 16;
constexpr size_t kHeader = 12;
constexpr uint8_t kVersion = 1;
constexpr uint8_t kDeviceTty = 1;
constexpr uint16_t kResponseBit = 0x8000;

enum Code : uint16_t {
    kOpen = 0x0001,
    kClose = 0x0002,
    kSetDllDlm = 0x0003,
    kSetLcr = 0x0004,
    kSetFifoCtrl = 0x0005,
    kSetMcr = 0x0006,
    kSetEventCtrl = 0x0007,
    kGetMsr = 0x0008,
    kGetMode1 = 0x0009,
    kSetMode1 = 0x000A,
    kGetMode2 = 0x000B,
    kSetMode2 = 0x000C,
    kGetOnChipFlowCtrl = 0x000D,
    kSetOnChipFlowCtrl = 0x000E,
    kGetTxCredit = 0x000F,
    kGetTxFifoCount = 0x0010,
    kGetTxTrigger = 0x0011,
    kSetTxTrigger = 0x0012,
    kGetRxTrigger = 0x0013,
    kSetRxTrigger = 0x0014,
    kEventMsr = 0x1001,
    kEventLsr = 0x1002,
    kEventData = 0x1004,
    kDataToService = 0x2001,
    kDataToKernel = 0x2002,
};

// One NLK message as it was received (or is to be sent): the 12-byte header fields and the
// payload. Length is the header's field, which may disagree with the payload on purpose.
struct Message {
    uint8_t Version = kVersion;
    uint8_t Reserved = 0;
    uint8_t DeviceType = kDeviceTty;
    uint8_t Minor = 0;
    uint16_t Code = 0;
    uint16_t Status = 0;
    uint32_t Length = 0;
    std::vector<uint8_t> Payload;
    // Received messages only: the netlink header's nlmsg_len and the sender's port id.
    uint32_t NlmsgLen = 0;
    uint32_t SrcPid = 0;
};

// Header (Length as given) and payload, little-endian.
std::vector<uint8_t> Encode(const Message& m);
// A message with Length = payload size.
std::vector<uint8_t> Encode(uint8_t minor, uint16_t code, const std::vector<uint8_t>& payload = {});
// The NLK message in bytes: a whole header and exactly Length payload bytes within n, else
// nullopt.
std::optional<Message> Decode(const uint8_t* p, size_t n);

std::string Describe(const Message& m);
std::string Hex(const std::vector<uint8_t>& bytes);

class Driver {
  public:
    Driver() = default;
    ~Driver();
    Driver(const Driver&) = delete;
    Driver& operator=(const Driver&) = delete;

    // A netlink socket of the protocol, bound to a port id of the kernel's choice and joined to
    // the group, and its receive thread. False with Error() on failure.
    bool Open(int protocol, int group);
    const std::string& Error() const { return error_; }
    uint32_t PortId() const { return portId_; }

    // Where requests go: unicast to the service's port id (its process id), or through the
    // multicast group when servicePid is 0.
    void Target(uint32_t servicePid) { servicePid_ = servicePid; }

    // Sends NLK bytes behind a netlink header whose nlmsg_len is 16 + size, or nlmsgLen when
    // given (a lie, for bad-input tests). The buffer is padded to a multiple of 4.
    bool Send(const std::vector<uint8_t>& nlk, std::optional<uint32_t> nlmsgLen = std::nullopt);
    // Sends bytes as they are, netlink header included (any length, also below 16).
    bool SendRaw(const std::vector<uint8_t>& bytes);

    // Sends a request and waits for the reply with the request's minor and code | 0x8000.
    std::optional<Message> Request(uint8_t minor, uint16_t code, const std::vector<uint8_t>& payload = {},
                                   Clock::duration timeout = 2s);
    // Takes the first received message that satisfies match (waiting up to timeout).
    std::optional<Message> Wait(const std::function<bool(const Message&)>& match, Clock::duration timeout);
    std::optional<Message> WaitCode(uint8_t minor, uint16_t code, Clock::duration timeout = 2s);
    // Everything received and not yet taken, oldest first; then forgets it.
    std::vector<Message> Take();
    // Waits `quiet`; true when nothing arrived meanwhile (what had arrived before is dropped).
    bool Silent(Clock::duration quiet);
    // Messages the receive thread could not decode (a header cut short, Length beyond the bytes).
    size_t Undecodable() const;

  private:
    void Run();

    UniqueFd fd_;
    UniqueFd stop_;
    uint32_t portId_ = 0;
    uint32_t servicePid_ = 0;
    int group_ = 0;
    std::string error_;
    mutable std::mutex mutex_;
    std::condition_variable cond_;
    std::deque<Message> received_;
    size_t undecodable_ = 0;
    std::thread thread_;
};

}  // namespace qortest::nlk
