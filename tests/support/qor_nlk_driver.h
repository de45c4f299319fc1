// A stand-in for the kernel TTY driver: a netlink peer of the service's NLK protocol that sends
// requests and transmit data (by unicast to the service's port id, or through the multicast
// group the service joins) and collects every reply, event and data message.
//
// Its NLK codec is its own and includes no service header, so a misread byte layout on either
// side fails a test instead of being mirrored.
#pragma once

#include <deque>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "qor_lab.h"

namespace qortest::nlk {

constexpr uint16_t kResponseBit = 0x8000;

// The codes the tests name; requests are 0x0001..0x0014 in all.
enum Code : uint16_t {
    kOpen = 0x0001,
    kClose = 0x0002,
    kSetDllDlm = 0x0003,
    kSetLcr = 0x0004,
    kSetFifoCtrl = 0x0005,
    kGetMsr = 0x0008,
    kGetMode1 = 0x0009,
    kSetMode1 = 0x000A,
    kSetMode2 = 0x000C,
    kGetTxCredit = 0x000F,
    kGetTxFifoCount = 0x0010,
    kSetRxTrigger = 0x0014,
    kEventMsr = 0x1001,
    kEventLsr = 0x1002,
    kEventData = 0x1004,
    kDataToService = 0x2001,
    kDataToKernel = 0x2002,
};

// One NLK message: the 12-byte header's fields and the payload. Length is the header's field,
// which may disagree with the payload on purpose.
struct Message {
    uint8_t Version = 1;
    uint8_t Reserved = 0;
    uint8_t DeviceType = 1;  // TTY
    uint8_t Minor = 0;
    uint16_t Code = 0;
    uint16_t Status = 0;
    uint32_t Length = 0;
    std::vector<uint8_t> Payload;
};

// Header (Length as given) and payload, little-endian.
std::vector<uint8_t> Encode(const Message& m);
// A message with Length = payload size.
std::vector<uint8_t> Encode(uint8_t minor, uint16_t code, const std::vector<uint8_t>& payload = {});
std::string Hex(const std::vector<uint8_t>& bytes);

// Receives on the caller's thread, inside Wait and Silent; messages that did not match yet
// are kept for later.
class Driver {
  public:
    // A netlink socket of the protocol, bound to a port id of the kernel's choice and joined to
    // the group. False with Error() on failure.
    bool Open(int protocol, int group);
    const std::string& Error() const { return error_; }

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
    std::optional<Message> Wait(const std::function<bool(const Message&)>& match,
                                Clock::duration timeout = 2s);
    std::optional<Message> WaitCode(uint8_t minor, uint16_t code, Clock::duration timeout = 2s);
    // Receives for `quiet`, then drops every message not taken: true when there was none.
    bool Silent(Clock::duration quiet);

  private:
    // Receives one message from the socket into received_ (an undecodable one, or one of our
    // own group sends, is dropped); false when nothing came before `until`.
    bool Receive(Clock::time_point until);

    UniqueFd fd_;
    uint32_t portId_ = 0;
    uint32_t servicePid_ = 0;
    int group_ = 0;
    std::string error_;
    std::deque<Message> received_;
    std::vector<uint8_t> buf_ = std::vector<uint8_t>(65536);
};

}  // namespace qortest::nlk
