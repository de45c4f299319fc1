// A management client for tests and benchmarks, written from the byte tables of the
// management protocol on its own: it shares no code with the service, so a misreading of a
// layout on either side shows up as a failing test instead of being mirrored.
#pragma once

#include <array>
#include <cstdint>
#include <deque>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "qor_lab.h"

namespace qortest::mng {

constexpr uint16_t kPort = 50000;
constexpr size_t kHeaderLength = 12;
constexpr size_t kServiceBuffSize = 8192;  // the service's receive and transmit buffers
constexpr uint8_t kVersion = 1;

// Command codes; a response carries its command's code with bit 15 set, an event has bit 12.
enum : uint16_t {
    kGetServiceInfo = 1,
    kSetDebugConfig = 2,
    kGetAllNicInfo = 3,
    kRefreshNic = 4,
    kSearchByAllNic = 5,
    kSearchBySpecificNic = 6,
    kGetSpecificVnInfo = 7,
    kVnMapping = 8,
    kVnUnmapping = 9,
    kGetAllMappingInfo = 10,
    kVnConnect = 11,
    kVnDisconnect = 12,
    kGetAllConnected = 13,
    kUpdateDetailInfo = 14,
    kGetVnPassword = 15,
    kClearAllRecords = 16,
    kResponseBit = 0x8000,
    kEventBit = 0x1000,
};

// Status codes the tests expect.
enum : uint16_t {
    kSuccess = 0,
    kParameterInvalid = 1,
    kNicNotFound = 16,
    kNicRefreshFail = 17,
    kVnNotFound = 32,
    kMappingAlready = 48,
    kNoIoForMapping = 50,
    kConnectedAlready = 64,
    kPasswordIncorrect = 69,
};

struct Header {
    uint8_t Version = kVersion;
    std::array<uint8_t, 3> Reserved{};
    uint16_t Code = 0;
    uint16_t Status = 0;
    uint32_t Length = 0;
};

// 12 bytes: Version, 3 reserved, code (LE16), status (LE16), Length (LE32).
std::array<uint8_t, kHeaderLength> EncodeHeader(const Header& h);
Header DecodeHeader(std::span<const uint8_t> bytes);  // at least 12 bytes

// A whole command. Length defaults to the payload size; any other value is written as given
// (the payload bytes still follow as they are).
std::vector<uint8_t> EncodeCommand(uint16_t code, std::span<const uint8_t> payload = {},
                                   std::optional<uint32_t> length = std::nullopt);

struct Packet {
    Header Hdr;
    std::vector<uint8_t> Payload;
};

std::string Hex(std::span<const uint8_t> bytes);
std::string Describe(const Packet& p);  // for failure messages

// ---- payload records --------------------------------------------------------------------

// A whole service-info record: two length-prefixed version texts and the driver flag, no more.
bool IsServiceInfo(std::span<const uint8_t> p);

constexpr size_t kBasicUnitInfoLength = 28;

struct UnitInfo {
    Mac UnitMac{};
    std::array<uint8_t, 10> ModelRaw{};
    uint8_t TypeInfo = 0;
    uint8_t LinkStatus = 0;
    Mac ConnectedHostMac{};
    uint8_t Mapped = 0;
    uint8_t AvailableChls = 0;
    uint8_t MajorVersion = 0;
    uint8_t MinorVersion = 0;
    // Only in the 36-byte record with ports.
    uint32_t CtuPort = 0;
    uint32_t SioPort = 0;
};
std::optional<std::vector<UnitInfo>> DecodeUnitInfoList(std::span<const uint8_t> p, bool withPorts);

struct DetailInfo {
    UnitInfo Unit;
};
// 36-byte record with ports, then AvailableChls channel entries (six header bytes and as many
// extra bytes as the sixth says); nothing may be left over. Only the unit part is kept.
std::optional<DetailInfo> DecodeDetailInfo(std::span<const uint8_t> p);

struct MappingInfo {
    Mac UnitMac{};
    std::vector<std::pair<uint8_t, uint8_t>> Uarts;  // channel number, low byte of the minor
};
std::optional<std::vector<MappingInfo>> DecodeMappingInfoList(std::span<const uint8_t> p);

struct ConnectResult {
    Mac UnitMac{};
    uint32_t CtuPort = 0;
    uint32_t SioPort = 0;
};
std::optional<ConnectResult> DecodeConnectResult(std::span<const uint8_t> p);  // 14 bytes

// Connect request payload: MAC, flag, password bytes.
std::vector<uint8_t> ConnectRecord(const Mac& mac, uint8_t flag, std::span<const uint8_t> password = {});
std::vector<uint8_t> ConnectRecord(const Mac& mac, const std::string& password);  // flag 1 unless empty
std::vector<uint8_t> Bytes(const std::string& text);
std::vector<uint8_t> MacBytes(const Mac& mac);

// ---- the connection -----------------------------------------------------------------------

class Client {
  public:
    // Connects to host:port (the calling thread's network namespace). On failure the client
    // stays closed, Error() holds the reason and ConnectErrno() its errno.
    bool Connect(const std::string& host = "127.0.0.1", uint16_t port = kPort, Clock::duration timeout = 2s);
    int ConnectErrno() const { return connectErrno_; }

    bool IsOpen() const { return static_cast<bool>(fd_); }
    int Fd() const { return fd_.get(); }
    const std::string& Error() const { return error_; }

    // Sends every byte; false when the connection refused them.
    bool SendRaw(std::span<const uint8_t> bytes);

    // Next packet of any kind, events too: header, then exactly Length bytes. nullopt on time-out, closed
    // connection or an impossible Length (Error() says which).
    std::optional<Packet> ReadPacket(Clock::duration timeout = 2s);
    // Next response; events that arrive before it are kept (Events()).
    std::optional<Packet> ReadResponse(Clock::duration timeout = 2s);
    // Sends a command and reads its response, which must carry version 1 and the command's
    // response code (Error() otherwise).
    std::optional<Packet> Request(uint16_t code, std::span<const uint8_t> payload = {},
                                  Clock::duration timeout = 2s);

    std::deque<Packet>& Events() { return events_; }

    // True when no byte arrives for the whole time and the connection stays open.
    bool Silent(Clock::duration timeout);
    // True when the service closes the connection within the time; bytes before are dropped.
    bool WaitClosed(Clock::duration timeout);

    void Close() { fd_.reset(); }

  private:
    // Reads until at least n bytes are buffered; false on time-out or close.
    bool Fill(size_t n, Clock::time_point deadline);
    bool Fail(std::string why);  // keeps why in Error(); false

    UniqueFd fd_;
    std::vector<uint8_t> buffered_;
    std::deque<Packet> events_;
    std::string error_;
    int connectErrno_ = 0;
    bool closed_ = false;
};

}  // namespace qortest::mng
