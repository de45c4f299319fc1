// Link frames as a unit sees them: the Ethernet header, DLLPs and TLPs, decoded and encoded
// field by field. Nothing here knows about units or sockets.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

constexpr uint16_t kSimEtherType = 0xD41F;
constexpr size_t kSimEthHeaderLength = 14;
// Largest frame either side sends or accepts.
constexpr size_t kSimMaxFrame = 8192;
// Shortest Ethernet frame without its check sequence; shorter frames are padded with zeros,
// as a real controller does, so the host sees padding behind short DLLPs.
constexpr size_t kSimMinFrame = 60;

constexpr uint8_t kSimPacketTlp = 0x10;
constexpr uint8_t kSimPacketDllp = 0x20;
constexpr size_t kSimDllpLength = 4;
constexpr size_t kSimTlpHeaderLength = 8;

using SimMac = std::array<uint8_t, 6>;
constexpr SimMac kSimBroadcastMac{0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};

// DLLP command codes (the receiver looks at the low 5 bits of the command byte).
enum SimDllpCmd : uint8_t {
    SIM_DLLP_ACK = 0,
    SIM_DLLP_NAK = 1,
    SIM_DLLP_DOCK_CONNECT = 2,
    SIM_DLLP_DOCK_CONNECT_RESPONSE = 3,
    SIM_DLLP_ADVANCE_SEARCH = 4,
    SIM_DLLP_DOCK_SEARCH_RESPONSE = 5,
    SIM_DLLP_DOCK_SEARCH = 6,
    SIM_DLLP_ADVANCE_SEARCH_RESPONSE = 7,
    SIM_DLLP_KEEP_ALIVE = 8,
    SIM_DLLP_KEEP_ALIVE_RESPONSE = 9,
    SIM_DLLP_ADVANCE_CONNECT = 10,
    SIM_DLLP_ADVANCE_CONNECT_RESPONSE = 11,
    SIM_DLLP_IP_SEARCH_RESPONSE = 15,
    SIM_DLLP_ACU = 16,
    SIM_DLLP_ACU_RESPONSE = 18,
    SIM_DLLP_KEEP_ALIVE_TIMEOUT = 24,
};
constexpr unsigned kSimDllpCmdCount = 32;

// Items of the ACU command (byte 3).
constexpr uint8_t kSimAcuItemInfo = 0xFF;
constexpr uint8_t kSimAcuItemLinkState = 0x0F;

// TLP types (link byte 2 bits 5..1).
constexpr uint8_t kSimTlpCmd = 0;
constexpr uint8_t kSimTlpData = 1;
constexpr uint8_t kSimTlpEvent = 4;
constexpr uint16_t kSimSeqMask = 0x3FF;

// Connect and disconnect (codes 2 and 10), byte 2: bit 4 says a password block follows,
// bits 3..2 tell a connect (0) from the three kinds of disconnect.
constexpr uint8_t kSimConnectVersionBit = 0x10;
constexpr size_t kSimPasswordBlockLength = 32;
// Password block and the four zero bytes behind it.
constexpr size_t kSimConnectPayloadLength = kSimPasswordBlockLength + 4;
inline uint8_t SimConnectMode(uint8_t Byte2) {
    return static_cast<uint8_t>((Byte2 >> 2) & 0x03);
}
// Return codes of the connect and disconnect answers (byte 2 bits 7..2).
constexpr uint8_t kSimRcSuccess = 0;
constexpr uint8_t kSimRcBusy = 1;
constexpr uint8_t kSimRcVersion = 2;
constexpr uint8_t kSimRcFailure = 3;
constexpr uint8_t kSimRcWrongPassword = 4;
constexpr uint8_t kSimRcMax = 0x3F;

// The 32-byte block a host sends for a password: the password's bytes in reverse order,
// right-aligned (first byte at index 31), zeros in front. Bytes beyond 32 are not used.
std::array<uint8_t, kSimPasswordBlockLength> SimPasswordBlock(const std::vector<uint8_t>& Password);

// Name of a DLLP command code ("ADVANCE_SEARCH"), or nullptr for codes without one.
const char* SimDllpCmdName(uint8_t Cmd);

struct _SIM_DLLP {
    uint8_t RawCmd;  // command byte as received
    uint8_t Cmd;     // its low 5 bits
    uint8_t Byte2;
    uint8_t Byte3;
    const uint8_t* Payload;  // link offset 4 up to the end of the frame (padding included)
    size_t PayloadLength;
};

struct _SIM_TLP {
    uint16_t SeqNumber;
    uint8_t Type;
    uint8_t RW;
    uint8_t ChlNumber;
    // CMD
    uint8_t TransactionID;
    uint8_t Offset;
    uint8_t LengthInDW;
    uint8_t AOLBE;
    // DATA
    uint8_t Flag;
    uint16_t LengthInByte;
    // EVENT
    std::array<uint8_t, 4> Event;
    // The data the header announces (CMD write: LengthInDW x 4, DATA: LengthInByte, others:
    // the rest of the frame). Data points at what was received of it; DataTruncated is set
    // when the frame ended before the announced length, and then DataLength is what arrived.
    const uint8_t* Data;
    size_t DataLength;
    size_t DataAnnounced;
    bool DataTruncated;
};

enum class SimFrameStatus {
    Ok,
    ShortEthernet,   // fewer than 15 bytes
    WrongEtherType,  // not 0xD41F
    ShortDllp,       // DLLP shorter than 4 link bytes
    ShortTlp,        // TLP shorter than its 8-byte header
    UnknownPacket,   // packet type neither TLP nor DLLP
};
const char* SimFrameStatusText(SimFrameStatus s);

struct _SIM_FRAME {
    SimMac Dst{};
    SimMac Src{};
    uint16_t EtherType = 0;
    uint8_t PacketType = 0;
    const uint8_t* Link = nullptr;  // link offset 0
    size_t LinkLength = 0;          // bytes from link offset 0 to the end of the frame
    _SIM_DLLP Dllp{};               // valid for a DLLP
    _SIM_TLP Tlp{};                 // valid for a TLP
};

// Who sent a frame. It matters for a CMD TLP with RW 0 only: from a host it is a read request
// and carries no data, from a unit it is the answer and carries LengthInDW words.
enum class SimSender { Host, Unit };

// Decodes a received frame of Length bytes. Every field is read only after the received length
// was checked against it; the frame may be anything.
SimFrameStatus SimFrameDecode(const uint8_t* pFrame, size_t Length, _SIM_FRAME* pOut,
                              SimSender Sender = SimSender::Host);

// 10-bit sequence number in DLLP bytes 2 and 3: byte 2 bits 1..0 carry bits 9..8. Byte 2's
// upper bits are kept as given (the connect answer puts its return code there).
void SimDllpPutSeq(uint16_t Seq, uint8_t* pByte2, uint8_t* pByte3);
uint16_t SimDllpGetSeq(uint8_t Byte2, uint8_t Byte3);

// The link bytes of a DLLP: packet type, command, bytes 2 and 3, then the payload.
std::vector<uint8_t> SimDllpEncode(uint8_t Cmd, uint8_t Byte2, uint8_t Byte3,
                                   const uint8_t* pPayload = nullptr, size_t PayloadLength = 0);

// The link bytes of a TLP from its fields; the data length is taken from the header
// (CMD with RW 1: LengthInDW x 4; CMD with RW 0: none when no data is given (a read request),
// else LengthInDW x 4 (a unit's answer); DATA: LengthInByte; EVENT: DataLength).
// Returns an empty vector when the given data is shorter than the header announces.
std::vector<uint8_t> SimTlpEncode(const _SIM_TLP& Tlp, const uint8_t* pData, size_t DataLength);

// 32-bit register words inside TLP data are little-endian.
std::vector<uint8_t> SimWordsToBytes(const std::vector<uint32_t>& Words);

// A whole Ethernet frame around link bytes; padded with zeros to kSimMinFrame when Pad is set.
std::vector<uint8_t> SimEthFrameBuild(const SimMac& Dst, const SimMac& Src, const std::vector<uint8_t>& Link,
                                      bool Pad = true);

// "aa:bb:cc:dd:ee:ff" (hex digits of either case, exactly six groups of two).
bool SimMacParse(const std::string& Text, SimMac* pMac);
std::string SimMacFormat(const SimMac& Mac);
inline bool SimMacIsMulticast(const SimMac& Mac) {
    return (Mac[0] & 0x01) != 0;
}
// Mac + Delta as a 48-bit number; false when the result would leave the 48-bit range.
bool SimMacAdd(const SimMac& Mac, unsigned Delta, SimMac* pOut);
