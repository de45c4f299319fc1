// Firmware files for a unit: reading one from this host's file system and checking its
// 128-byte header, size and CRC-32 against the unit, before a single byte goes to the unit.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

constexpr size_t kCtuFirmwareHeaderLength = 128;
constexpr size_t kCtuFirmwareBlockLength = 256;
// Larger files are refused as if memory for them could not be had: no unit image comes near
// this, and the daemon must not be made to read without end.
constexpr size_t kCtuFirmwareFileMax = 64u << 20;
// The path arrives in a buffer of this size, terminator included.
constexpr size_t kCtuFirmwarePathMax = 512;

struct _CTU_FIRMWARE_IMAGE {
    uint32_t ChecksumKind;
    uint8_t UnitType;
    uint32_t ImageSize;
    uint8_t WaitTime;      // seconds the unit may take to accept the total length
    uint32_t StoredCrc;    // from the header
    uint32_t Crc;          // computed for the checksum kind (0 for kind 1)
    uint32_t Sum;          // 32-bit sum of the image bytes, sent behind the last block
    const uint8_t* Image;  // ImageSize bytes inside the checked file
};

// Reads the file at pPath (PathLength bytes, no terminator) whole into *pOut. Only a regular
// file is opened: a FIFO, a device, a directory or a socket is refused before it can block or
// feed the daemon without end. Returns 0, or the status 64 (cannot open, not a regular file),
// 65 (short read), 66 (empty) or 67 (no memory, or larger than kCtuFirmwareFileMax).
uint16_t CtuFirmwareFileRead(const char* pPath, std::vector<uint8_t>* pOut);

// Checks a file's bytes for a unit of type UnitType with model pModel (10 bytes). Returns 0
// and fills *pOut when the image may be sent; otherwise 70 (unit type), 69 (model), 68 (image
// size not a multiple of 256, or larger than the file holds) or 71 (CRC-32 of kinds 2 and
// above). pWhy receives the log words of a refusal. A file shorter than its header reads as
// if padded with zero bytes.
uint16_t CtuFirmwareCheck(const uint8_t* pFile, size_t Length, uint8_t UnitType, const uint8_t* pModel,
                          _CTU_FIRMWARE_IMAGE* pOut, char* pWhy, size_t WhySize);
