// Link frame format between the service and a unit: DLLP and TLP bytes behind the 14-byte
// Ethernet header, and the in-memory TLP header the channel modules use.
#pragma once

#include <cstddef>
#include <cstdint>

constexpr uint8_t kPacketTypeTlp = 0x10;
constexpr uint8_t kPacketTypeDllp = 0x20;

enum : uint8_t {
    DLLP_CMD_ACK = 0,
    DLLP_CMD_NAK = 1,
    DLLP_CMD_DOCK_CONNECT = 2,
    DLLP_CMD_DOCK_CONNECT_RESPONSE = 3,
    DLLP_CMD_ADVANCE_SEARCH = 4,
    DLLP_CMD_DOCK_SEARCH_RESPONSE = 5,
    DLLP_CMD_DOCK_SEARCH = 6,
    DLLP_CMD_ADVANCE_SEARCH_RESPONSE = 7,
    DLLP_CMD_KEEP_ALIVE = 8,
    DLLP_CMD_KEEP_ALIVE_RESPONSE = 9,
    DLLP_CMD_ADVANCE_CONNECT = 10,
    DLLP_CMD_ADVANCE_CONNECT_RESPONSE = 11,
    DLLP_CMD_IP_SEARCH_RESPONSE = 15,
    DLLP_CMD_ACU = 16,
    DLLP_CMD_ACU_RESPONSE = 18,
    DLLP_CMD_KEEP_ALIVE_TIMEOUT = 24,
};

enum : uint8_t { TLP_TYPE_CMD = 0, TLP_TYPE_DATA = 1, TLP_TYPE_EVENT = 4 };

constexpr uint8_t kAcuItemInfoStructure = 0xFF;
constexpr uint8_t kAcuItemLinkState = 0x0F;

constexpr size_t kDllpLength = 4;
constexpr size_t kDllpPasswordLength = 32;
constexpr size_t kDllpConnectAdvanceLength = 40;
constexpr size_t kTlpWireHeaderLength = 8;
constexpr size_t kTlpHeaderLength = 16;     // in-memory header
constexpr size_t kTlpMaxOutLength = 1500;   // header + data handed to the link layer
constexpr size_t kTlpFrameBuffSize = 2048;
// A received TLP rebuilt with its in-memory header: as large as a channel object's receive
// slot, so the data a received frame can carry (DATA up to 2047 bytes, control-unit events up
// to the frame) is handed on whole.
constexpr size_t kTlpRebuiltBuffSize = 8192;
constexpr uint16_t kSeqNumberMask = 0x3FF;

// In-memory TLP header, followed directly by the data. It never goes on the wire as is:
// VnTlpEncode and VnTlpDecode convert field by field.
struct _TLP_HEADER {
    uint8_t ChlNumber;
    uint8_t Type;
    uint8_t RW;
    uint8_t TransactionID;
    uint8_t Offset;
    uint8_t LengthInDW;
    uint8_t AOLBE;
    uint8_t Flag;
    uint16_t LengthInByte;       // host byte order
    uint8_t Event[4];            // wire order
    uint8_t ExtraDataLength[2];  // big-endian: use the accessors below
};
static_assert(sizeof(_TLP_HEADER) == kTlpHeaderLength, "the in-memory TLP header is 16 bytes");
using PTLP_HEADER = _TLP_HEADER*;

uint16_t TlpGetExtraDataLength(const _TLP_HEADER* pHdr);
void TlpSetExtraDataLength(_TLP_HEADER* pHdr, uint16_t Length);
inline const uint8_t* TlpData(const _TLP_HEADER* pHdr) { return reinterpret_cast<const uint8_t*>(pHdr) + kTlpHeaderLength; }
inline uint8_t* TlpData(_TLP_HEADER* pHdr) { return reinterpret_cast<uint8_t*>(pHdr) + kTlpHeaderLength; }

// Sequence number inside a DLLP: byte 2 bits 1..0 and byte 3.
void DllpPutSeq(uint8_t* pLink, uint16_t Seq);
uint16_t DllpGetSeq(const uint8_t* pLink);
// Sequence number inside a TLP: byte 1 and byte 2 bits 7..6.
void TlpPutSeq(uint8_t* pLink, uint16_t Seq);
uint16_t TlpGetSeq(const uint8_t* pLink);

// Number of data bytes a TLP of this header carries when sent: LengthInDW x 4 for a CMD
// write, nothing for a CMD read, LengthInByte (11 bits) for DATA; 0 for other types.
size_t TlpOutDataLength(const _TLP_HEADER* pHdr);

// Encodes header and data into pOut (link offset 0 = PacketType) with sequence number Seq.
// pData holds DataAvail bytes. Returns the link length, or 0 when the header asks for more
// data than DataAvail, the type cannot be sent, or pOut is too small.
size_t VnTlpEncode(const _TLP_HEADER* pHdr, const uint8_t* pData, size_t DataAvail, uint16_t Seq, uint8_t* pOut,
                   size_t OutCap);

// Decodes the 8-byte wire header of a received TLP (Length >= 8) into *pHdr and *pSeq.
// ExtraDataLength is set to the data length the header announces for CMD and DATA (0 for
// EVENT, whose length depends on the channel), capped at the bytes actually received.
// Returns 0 when the frame is shorter than the wire header.
int VnTlpDecode(const uint8_t* pLink, size_t Length, _TLP_HEADER* pHdr, uint16_t* pSeq);

// Protocol dumps of a TLP as sent (IsRetransmission marks a resend) or as received; the
// caller checks DbgVnProtocol. Both take DbgLock for the whole dump.
void VnTlpDumpSent(const uint8_t* pLink, size_t Length, int IsRetransmission);
void VnTlpDumpReceived(const uint8_t* pLink, size_t Length);
