// The info structure a unit sends in answer to the ACU get-info command: a 28-byte unit
// header followed by one DIB per channel. Also the deliberately broken variants that test a
// host's decoder.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "sim_profile.h"
#include "sim_wire.h"

constexpr size_t kSimInfoHeaderLength = 28;
// Default ACU answer envelope: return code 1 with length byte 0xFF marks an info structure.
constexpr uint8_t kSimAcuReturnInfo = 1;
constexpr uint8_t kSimAcuLengthInfo = 0xFF;

// Link state the unit reports; starts from the profile and follows connects later.
struct _SIM_LINK_STATE {
    uint8_t LinkStatus = 0;
    SimMac ConnectedHostMac{};
};

enum class SimHostile {
    None,
    ManyDibs,    // more DIBs than a host's table holds (arg: DIB count, default 70)
    LongDib,     // one DIB longer than 33 words (arg: its LengthInDW, default 40)
    Overrun,     // the last DIB and the DIB count run past the end of the data (arg: LengthInDW, default 20)
    Banks,       // a DIO DIB with more banks than a host holds, bank bytes present (arg: banks, default 40)
    BanksShort,  // the same bank count with the bank table missing (arg: banks, default 40)
    Ports,       // one DIB of every analog type with this port count (arg: ports, default 20)
    Truncate,    // the answer frame cut short (arg: frame bytes kept; 0 = half-way into the DIBs)
};
const char* SimHostileName(SimHostile Kind);
bool SimHostileParse(const std::string& Name, SimHostile* pKind);
unsigned SimHostileDefaultArg(SimHostile Kind);
// Largest argument a kind accepts.
unsigned SimHostileMaxArg(SimHostile Kind);

// The info structure of a unit built from its profile.
std::vector<uint8_t> SimInfoBuild(const _SIM_PROFILE& Profile, const SimMac& UnitMac,
                                  const _SIM_LINK_STATE& Link);

// A broken info structure of the given kind. Truncate and None give the plain structure (the
// cut is made on the frame).
std::vector<uint8_t> SimInfoBuildHostile(const _SIM_PROFILE& Profile, const SimMac& UnitMac,
                                         const _SIM_LINK_STATE& Link, SimHostile Kind, unsigned Arg);

// Link bytes of the ACU response: [0x20, 18, return code, length byte] and the info structure.
std::vector<uint8_t> SimInfoAcuResponse(uint8_t ReturnCode, uint8_t LengthByte,
                                        const std::vector<uint8_t>& Info);

// Frame length that Truncate with argument Arg keeps of a frame of FrameLength bytes whose
// info structure starts at frame byte 18.
size_t SimInfoTruncatedLength(size_t FrameLength, unsigned Arg);
