// A client of a unit's SIO channel server for tests and benchmarks, with a codec of its own
// written from the protocol's byte tables (12-byte little-endian header carrying the device
// type and channel number, big-endian values inside payloads); it shares no code with the
// service. Events and received data that arrive while a response is awaited are kept aside.
#pragma once

#include <cstdint>
#include <deque>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "qor_lab.h"

namespace qortest::sio {

constexpr size_t kHeaderLength = 12;
constexpr size_t kMaxMessage = 2060;  // the largest message, header included
constexpr uint8_t kVersion = 1;
constexpr uint16_t kResponseBit = 0x8000;

// Device types (the DIB channel types).
enum : uint8_t { kSer = 1, kParallel = 2, kDio = 3, kCounter = 4, kAi = 5 };

// The SER family's codes: commands 1..20, events and data.
enum : uint16_t { kSerOpen = 1, kSerClose, kSerSetDllDlm, kSerSetLcr, kSerSetFifoCtrl, kSerSetMcr };
enum : uint16_t { kSerSetEventCtrl = 7, kSerGetMsr, kSerGetMode1, kSerSetMode1, kSerGetMode2, kSerSetMode2 };
enum : uint16_t { kSerGetOnChipFlowCtrl = 13, kSerSetOnChipFlowCtrl, kSerGetTxCredit, kSerGetTxFifoCount };
enum : uint16_t { kSerGetTxTrigger = 17, kSerSetTxTrigger, kSerGetRxTrigger, kSerSetRxTrigger };
enum : uint16_t { kSerEventMsr = 0x1001, kSerEventLsr = 0x1002 };
enum : uint16_t {
    kSerEventData = 0x1004,      // received bytes, controller versions 0..3
    kSerDataToService = 0x2001,  // bytes to transmit
    kSerDataToLibrary = 0x2002,  // flag byte, then received bytes (versions 4, 5)
};

// Response statuses.
enum : uint16_t { kSuccess = 0, kLengthInvalid = 2, kValueInvalid = 3, kVersionUnsupported = 4 };
enum : uint16_t { kNoObject = 16, kTxFail = 32, kTimeout = 33, kAnswerInvalid = 34, kNoCapability = 50 };

struct Header {
    uint8_t Version = kVersion;
    uint8_t Reserved = 0;
    uint8_t DeviceType = kSer;
    uint8_t Channel = 0;
    uint16_t Code = 0;
    uint16_t Status = 0;
    uint32_t Length = 0;
    bool operator==(const Header&) const = default;
};

struct Message {
    Header Hdr;
    std::vector<uint8_t> Payload;
    bool IsResponse() const { return (Hdr.Code & kResponseBit) != 0; }
    bool operator==(const Message&) const = default;
};

// A message with its header; Length is the payload size unless given.
std::vector<uint8_t> Encode(uint8_t deviceType, uint8_t channel, uint16_t code,
                            const std::vector<uint8_t>& payload = {},
                            std::optional<uint32_t> length = std::nullopt);
// The message a service sends: Length = payload size.
Message Make(uint8_t deviceType, uint8_t channel, uint16_t code, uint16_t status = 0,
             std::vector<uint8_t> payload = {});
std::string Hex(std::span<const uint8_t> bytes);
std::string Describe(const Message& m);

class Client {
  public:
    // Connects to 127.0.0.1:port of the calling thread's network namespace; ConnectErrno()
    // tells a refusal (ECONNREFUSED) from a time-out (ETIMEDOUT).
    bool Connect(uint16_t port, Clock::duration timeout = 2s);
    int ConnectErrno() const { return connectErrno_; }
    int Fd() const { return fd_.get(); }
    const std::string& Error() const { return error_; }
    void Close();

    bool SendRaw(std::span<const uint8_t> bytes);

    // Next message of any kind; nullopt on time-out, close, or a stream that cannot be framed.
    std::optional<Message> ReadMessage(Clock::duration timeout = 2s);
    // Next response; events and data that arrive first are kept for NextUnsolicited.
    std::optional<Message> ReadResponse(Clock::duration timeout = 2s);
    // Sends a command and reads the response, which must carry version 1, the request's device
    // type and channel, and code | 0x8000.
    std::optional<Message> Request(uint8_t deviceType, uint8_t channel, uint16_t code,
                                   const std::vector<uint8_t>& payload = {}, Clock::duration timeout = 3s);
    std::optional<Message> Ser(uint8_t channel, uint16_t code, const std::vector<uint8_t>& payload = {}) {
        return Request(kSer, channel, code, payload);
    }
    // Next event or data message (kept ones first); a response meanwhile is an error.
    std::optional<Message> NextUnsolicited(Clock::duration timeout = 2s);
    // True when nothing arrives for the whole time and the connection stays open.
    bool Silent(Clock::duration timeout);
    // True when the service closes the connection within the time.
    bool WaitClosed(Clock::duration timeout);

  private:
    bool Fill(size_t n, Clock::time_point deadline);
    bool Fail(std::string why);
    size_t Buffered() const { return buffer_.size() - start_; }

    UniqueFd fd_;
    std::vector<uint8_t> buffer_;  // received bytes from start_ on
    size_t start_ = 0;
    std::deque<Message> kept_;
    std::string error_;
    int connectErrno_ = 0;
    bool closed_ = false;
};

}  // namespace qortest::sio
