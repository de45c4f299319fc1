// Unit profiles: one text file per unit type, describing everything the unit reports about
// itself in its info structure. The file format is described in sim/README.md.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "sim_wire.h"

// Channel type codes of a DIB.
enum SimChannelType : uint8_t {
    SIM_CHL_CTU = 0,
    SIM_CHL_UART = 1,
    SIM_CHL_PARALLEL = 2,
    SIM_CHL_DIO = 3,
    SIM_CHL_COUNTER = 4,
    SIM_CHL_AI = 5,
    SIM_CHL_AO = 6,
    SIM_CHL_UI = 7,
    SIM_CHL_UO = 8,
    SIM_CHL_BAO = 9,
    SIM_CHL_MAI = 10,
    SIM_CHL_TPS = 11,
    SIM_CHL_STRING = 128,
};

// Operating modes (TypeInfo bits 0-2).
constexpr uint8_t kSimModeDock = 0;
constexpr uint8_t kSimModeAdvance = 1;
constexpr uint8_t kSimModeIp = 2;

constexpr size_t kSimModelNameLength = 10;
constexpr size_t kSimPasswordMax = 32;
constexpr size_t kSimMaxDibs = 64;
constexpr size_t kSimDibExtraMax = 128;  // extra bytes of one DIB a host keeps (32 words)
constexpr size_t kSimProfileFileMax = 1 << 20;

// Profile-name token of a channel type ("uart"), or nullptr.
const char* SimChannelTypeName(uint8_t Type);

struct _SIM_DIB {
    uint8_t ChlNumber = 0;
    uint8_t Type = 0;
    uint8_t Info = 0;                // the DIB layout version for typed channels
    std::vector<uint8_t> ExtraData;  // a whole number of 4-byte words
    int Line = 0;                    // where the DIB was declared, for messages
};

// Each DIB channel has a register file of this many 32-bit words (Offset is one byte).
constexpr size_t kSimRegisterWords = 256;
// Sequence number a unit starts its own TLPs with, unless the profile says otherwise.
constexpr uint16_t kSimDefaultDeviceSeq = 0x155;
constexpr unsigned kSimWatchdogMaxMs = 600000;

// How a unit answers connect or disconnect: its own decision, a fixed return code, or not
// at all.
struct _SIM_FORCED_REPLY {
    enum class Kind : uint8_t { Default, Code, None };
    Kind How = Kind::Default;
    uint8_t Code = 0;  // 0..63 with Kind::Code
};
// "default", a number, or "none".
std::string SimForcedReplyText(const _SIM_FORCED_REPLY& Reply);

// Initial register values: Values go to consecutive words from Offset.
struct _SIM_REG_INIT {
    uint8_t ChlNumber = 0;
    uint8_t Offset = 0;
    std::vector<uint32_t> Values;
    int Line = 0;
};

// Frame loss: percentages of received and sent frames dropped, and the seed of the draws.
struct _SIM_LOSS {
    uint8_t RxPercent = 0;
    uint8_t TxPercent = 0;
    uint32_t Seed = 0;
};

// LengthInDW of a DIB on the wire: the header word plus its extra words.
inline size_t SimDibLengthInDW(const _SIM_DIB& Dib) {
    return 1 + Dib.ExtraData.size() / 4;
}

struct _SIM_PROFILE {
    std::string Origin;                                    // file the profile came from
    std::string Name;                                      // file name without directory and ".prof"
    std::array<uint8_t, kSimModelNameLength> ModelName{};  // zero-padded
    uint8_t Mode = kSimModeDock;
    bool Experiment = false;
    bool PasswordEnable = false;
    bool TimeSharing = false;
    bool Mora = false;
    bool ExternalEeprom = false;
    std::vector<uint8_t> Password;  // as a host user types it, at most 32 bytes
    uint8_t MajorVersion = 0;
    uint8_t MinorVersion = 0;
    bool DibLengthAuto = true;  // DibLengthInDW = sum of the DIBs' LengthInDW
    uint8_t DibLengthInDW = 0;  // used when DibLengthAuto is false
    uint8_t LinkStatus = 0;
    SimMac ConnectedHostMac{};
    uint8_t SearchReplyAdvance = SIM_DLLP_ADVANCE_SEARCH_RESPONSE;
    uint8_t SearchReplyDock = SIM_DLLP_DOCK_SEARCH_RESPONSE;
    std::vector<_SIM_DIB> Dibs;
    // Link behaviour.
    _SIM_FORCED_REPLY ConnectReply;
    _SIM_FORCED_REPLY DisconnectReply;
    uint16_t DeviceSeq = kSimDefaultDeviceSeq;  // sequence number of the unit's first TLP
    unsigned WatchdogMs = 0;                    // 0: the unit never gives up on its host
    _SIM_LOSS Loss;
    std::vector<_SIM_REG_INIT> Registers;
};

// The TypeInfo byte: mode in bits 0-2, then experiment, password enable, time sharing, MORA,
// external EEPROM in bits 3 to 7.
uint8_t SimProfileTypeInfo(const _SIM_PROFILE& Profile);
// The DibLengthInDW byte of the info structure.
uint8_t SimProfileDibLengthInDW(const _SIM_PROFILE& Profile);

// Parses profile text. Origin names the source in messages. On failure returns false and
// sets *pError to "origin:line: what is wrong".
bool SimProfileParse(const std::string& Text, const std::string& Origin, _SIM_PROFILE* pOut,
                     std::string* pError);
// Reads and parses a file (at most kSimProfileFileMax bytes).
bool SimProfileLoad(const std::string& Path, _SIM_PROFILE* pOut, std::string* pError);

// Checks the DIBs against what a host's decoder can hold and reads (versions, sizes, bank and
// port counts). A profile may break these on purpose, so they are warnings, each
// "origin:line: warning: ...". Empty when the profile is plain.
std::vector<std::string> SimProfileCheck(const _SIM_PROFILE& Profile);
