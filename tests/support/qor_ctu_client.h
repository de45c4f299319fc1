// A CTU configuration client for tests and benchmarks, with a codec of its own written from the
// protocol's byte tables (12-byte little-endian header, big-endian values inside payloads); it
// shares no code with the service. Also builds firmware files for the update command.
#pragma once

#include <cstdint>
#include <deque>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "qor_lab.h"

namespace qortest::ctu {

constexpr size_t kHeaderLength = 12;
constexpr size_t kMaxPacket = 2060;  // the largest packet the service sends, header included
constexpr uint8_t kVersion = 1;
constexpr uint16_t kResponseBit = 0x8000;

enum : uint16_t {
    kGetMac = 1,
    kSetMac = 2,
    kGetName = 3,
    kSetName = 4,
    kGetLinkStatus = 5,
    kSetLinkStatus = 6,
    kFirmwareUpdate = 7,
    kSetModel = 8,
    kSetPassword = 9,
    kStoreUart = 10,
    kStoreDio = 11,
    kGetCalT0 = 12,
    kGetCalT1 = 13,
    kEventProgramOk = 0x1001,
    kEventProgramFail = 0x1002,
    kEventProgramFinish = 0x1003,
};

enum : uint16_t {
    kSuccess = 0,
    kUnsupportedFunction = 1,
    kLengthInvalid = 2,
    kDataInvalid = 3,
    kVersionUnsupported = 4,
    kObjectNotFound = 16,
    kTxFail = 32,
    kTimeout = 33,
    kFormatInvalid = 34,
    kNoData = 35,
    kUnsupportedCommand = 48,
    kNoUartChannel = 50,
    kNoDioChannel = 51,
    kFileOpenFail = 64,
    kFileNoContent = 66,
    kModelMismatch = 69,
    kTypeMismatch = 70,
    kChecksumMismatch = 71,
    kTotalLengthFail = 73,
    kDownloadOk = 74,
    kDownloadFail = 75,
};

struct Header {
    uint8_t Version = kVersion;
    uint16_t Code = 0;
    uint16_t Status = 0;
    uint32_t Length = 0;
};
// A command; Length is the payload size unless given.
std::vector<uint8_t> EncodeCommand(uint16_t code, std::span<const uint8_t> payload = {},
                                   std::optional<uint32_t> length = std::nullopt);

struct Packet {
    Header Hdr;
    std::vector<uint8_t> Payload;
    bool IsEvent() const { return (Hdr.Code & kResponseBit) == 0; }
};
std::string Hex(std::span<const uint8_t> bytes);
std::string Describe(const Packet& p);
std::vector<uint8_t> Bytes(const std::string& text);

class Client {
  public:
    // Connects to 127.0.0.1:port of the calling thread's network namespace.
    bool Connect(uint16_t port, Clock::duration timeout = 2s);
    const std::string& Error() const { return error_; }
    void Close() { fd_.reset(); }

    bool SendRaw(std::span<const uint8_t> bytes);
    // Sends the bytes in pieces of the given sizes (the rest in one), pausing between them.
    bool SendSplit(std::span<const uint8_t> bytes, const std::vector<size_t>& pieces, Clock::duration pause);

    // Next packet (events included); nullopt on time-out or close.
    std::optional<Packet> ReadPacket(Clock::duration timeout = 2s);
    // Next response; events that arrive first are kept for WaitEvent.
    std::optional<Packet> ReadResponse(Clock::duration timeout = 2s);
    // Sends a command and reads the response, which must carry version 1 and code | 0x8000.
    std::optional<Packet> Request(uint16_t code, std::span<const uint8_t> payload = {},
                                  Clock::duration timeout = 3s);
    std::optional<Packet> WaitEvent(Clock::duration timeout);
    // True when nothing arrives for the whole time and the connection stays open.
    bool Silent(Clock::duration timeout);
    // True when the service closes the connection within the time.
    bool WaitClosed(Clock::duration timeout);

  private:
    bool Fill(size_t n, Clock::time_point deadline);
    bool Fail(std::string why);

    UniqueFd fd_;
    std::vector<uint8_t> buffered_;
    std::deque<Packet> events_;
    std::string error_;
    bool closed_ = false;
};

// A firmware file of checksum kind 3: 128-byte header (big-endian numbers; the CRC least
// significant byte first), then the image. Crc is the image's CRC-32 unless given.
struct Firmware {
    uint8_t UnitType = 1;  // advance
    std::string Model;
    std::vector<uint8_t> Image;
    uint8_t WaitSeconds = 2;
    std::optional<uint32_t> Crc;
};
std::vector<uint8_t> BuildFirmware(const Firmware& f);
// The pattern images are made of: byte i = (i * 31 + seed) & 0xFF.
std::vector<uint8_t> PatternImage(size_t size, uint8_t seed = 1);

}  // namespace qortest::ctu
