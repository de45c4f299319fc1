// The CTU protocol between a configuration client and a unit's CTU server: the 12-byte
// header (little-endian) and its sizes, over the codes every CTU client shares.
#pragma once

#include <cstddef>
#include <cstdint>

#include "ctu_codes.h"

constexpr size_t kCtuHeaderLength = qor::ctu::kHeaderLength;
// The largest packet, header included, that the service sends.
constexpr size_t CTU_MSG_MAX_PAYLOAD = 2060;
// Receive buffer of one packet; a packet that does not fit closes the connection.
constexpr size_t kCtuRxBuffSize = 8192;
constexpr uint8_t kCtuVersion = qor::ctu::kVersion;
constexpr uint16_t kCtuResponseBit = qor::ctu::kResponseBit;

// The command, event and status codes are those every CTU client reads.
using enum qor::ctu::CtuCode;
using enum qor::ctu::CtuStatus;

struct _CTU_HEADER {
    uint8_t Version;
    uint16_t CmdResponseEventData;
    uint16_t ResponseStatus;
    uint32_t Length;
};

// Field by field, little-endian; the three reserved bytes are written as zero.
void CtuHeaderEncode(const _CTU_HEADER& Hdr, uint8_t* pOut);
_CTU_HEADER CtuHeaderDecode(const uint8_t* pIn);

// The protocol's name of a code ("UNKNOW" for any other), as the packet dump prints it.
const char* CtuCodeName(uint16_t Code);
