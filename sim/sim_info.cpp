#include "sim_info.h"

#include <algorithm>

namespace {

// One DIB as it goes on the wire. LengthInDW is what the header announces; Bytes may hold
// fewer extra bytes than that when a broken structure is wanted.
struct WireDib {
    uint8_t ChlNumber;
    uint8_t Type;
    uint8_t LengthInDW;
    uint8_t Info;
    std::vector<uint8_t> Bytes;
};

WireDib FromProfile(const _SIM_DIB& d) {
    return {d.ChlNumber, d.Type, static_cast<uint8_t>(SimDibLengthInDW(d)), d.Info, d.ExtraData};
}

WireDib Plain(uint8_t chl, uint8_t type, uint8_t info, std::vector<uint8_t> extra) {
    const size_t words = 1 + extra.size() / 4;
    return {chl, type, static_cast<uint8_t>(std::min<size_t>(words, 255)), info, std::move(extra)};
}

std::vector<WireDib> ProfileDibs(const _SIM_PROFILE& p) {
    std::vector<WireDib> out;
    for (const auto& d : p.Dibs) out.push_back(FromProfile(d));
    return out;
}

// A channel number no profile DIB uses, counting up from the highest one used.
uint8_t NextChannel(const std::vector<WireDib>& dibs) {
    int top = -1;
    for (const auto& d : dibs) top = std::max<int>(top, d.ChlNumber);
    for (int i = 1; i <= 256; ++i) {
        const uint8_t c = static_cast<uint8_t>(top + i);
        bool used = false;
        for (const auto& d : dibs) used = used || d.ChlNumber == c;
        if (!used) return c;
    }
    return 0;
}

std::vector<uint8_t> Serialize(const _SIM_PROFILE& p, const SimMac& mac, const _SIM_LINK_STATE& link,
                               const std::vector<WireDib>& dibs, size_t announcedCount) {
    std::vector<uint8_t> out(kSimInfoHeaderLength, 0);
    // Bytes 0-5 are not read by hosts; the unit puts its own MAC there.
    for (size_t i = 0; i < 6; ++i) out[i] = mac[i];
    for (size_t i = 0; i < kSimModelNameLength; ++i) out[6 + i] = p.ModelName[i];
    out[16] = SimProfileTypeInfo(p);
    out[17] = link.LinkStatus;
    for (size_t i = 0; i < 6; ++i) out[18 + i] = link.ConnectedHostMac[i];
    out[24] = static_cast<uint8_t>(std::min<size_t>(announcedCount, 255));
    if (p.DibLengthAuto) {
        size_t sum = 0;
        for (const auto& d : dibs) sum += d.LengthInDW;
        out[25] = static_cast<uint8_t>(std::min<size_t>(sum, 255));
    } else {
        out[25] = p.DibLengthInDW;
    }
    out[26] = p.MajorVersion;
    out[27] = p.MinorVersion;
    for (const auto& d : dibs) {
        out.push_back(d.ChlNumber);
        out.push_back(d.Type);
        out.push_back(d.LengthInDW);
        out.push_back(d.Info);
        out.insert(out.end(), d.Bytes.begin(), d.Bytes.end());
    }
    return out;
}

std::vector<uint8_t> Pattern(size_t n) {
    std::vector<uint8_t> v(n);
    for (size_t i = 0; i < n; ++i) v[i] = static_cast<uint8_t>(i);
    return v;
}

// An analog DIB of the given type whose port (or sensor) count byte is `ports`, otherwise
// ordinary values: 16-bit resolution, Vref 2.500.
WireDib AnalogDib(uint8_t chl, uint8_t type, uint8_t ports) {
    std::vector<uint8_t> x;
    const uint8_t vref[4] = {0xC4, 0x09, 0x00, 0x03};
    switch (type) {
        case SIM_CHL_AI:
        case SIM_CHL_AO:
            x.assign(16, 0);
            x[0] = 0x00, x[1] = 0x04;  // FIFO 1024
            x[4] = ports, x[5] = 16;
            std::copy(vref, vref + 4, x.begin() + 12);
            break;
        case SIM_CHL_UI:
            x.assign(36, 0);
            x[8] = ports, x[9] = 16;
            std::copy(vref, vref + 4, x.begin() + 16);
            break;
        case SIM_CHL_MAI:
            x.assign(16, 0);
            x[8] = ports, x[9] = 16;
            std::copy(vref, vref + 4, x.begin() + 12);
            break;
        case SIM_CHL_UO:
            x.assign(16, 0);
            x[0] = ports, x[1] = 16;
            std::copy(vref, vref + 4, x.begin() + 4);
            break;
        case SIM_CHL_BAO:
            x.assign(8, 0);
            x[0] = ports, x[1] = 1, x[2] = 16;
            std::copy(vref, vref + 4, x.begin() + 4);
            break;
        default:  // TPS
            x.assign(8, 0);
            x[0] = ports, x[1] = 16;
            break;
    }
    return Plain(chl, type, 1, std::move(x));
}

}  // namespace

const char* SimHostileName(SimHostile Kind) {
    switch (Kind) {
        case SimHostile::None:
            return "none";
        case SimHostile::ManyDibs:
            return "many-dibs";
        case SimHostile::LongDib:
            return "long-dib";
        case SimHostile::Overrun:
            return "overrun";
        case SimHostile::Banks:
            return "banks";
        case SimHostile::BanksShort:
            return "banks-short";
        case SimHostile::Ports:
            return "ports";
        case SimHostile::Truncate:
            return "truncate";
    }
    return "?";
}

bool SimHostileParse(const std::string& Name, SimHostile* pKind) {
    for (SimHostile k :
         {SimHostile::None, SimHostile::ManyDibs, SimHostile::LongDib, SimHostile::Overrun, SimHostile::Banks,
          SimHostile::BanksShort, SimHostile::Ports, SimHostile::Truncate}) {
        if (Name == SimHostileName(k)) {
            *pKind = k;
            return true;
        }
    }
    return false;
}

unsigned SimHostileDefaultArg(SimHostile Kind) {
    switch (Kind) {
        case SimHostile::ManyDibs:
            return 70;
        case SimHostile::LongDib:
            return 40;
        case SimHostile::Overrun:
            return 20;
        case SimHostile::Banks:
        case SimHostile::BanksShort:
            return 40;
        case SimHostile::Ports:
            return 20;
        default:
            return 0;
    }
}

unsigned SimHostileMaxArg(SimHostile Kind) {
    switch (Kind) {
        case SimHostile::None:
            return 0;
        case SimHostile::Truncate:
            return static_cast<unsigned>(kSimMaxFrame);
        default:
            return 255;
    }
}

std::vector<uint8_t> SimInfoBuild(const _SIM_PROFILE& Profile, const SimMac& UnitMac,
                                  const _SIM_LINK_STATE& Link) {
    const auto dibs = ProfileDibs(Profile);
    return Serialize(Profile, UnitMac, Link, dibs, dibs.size());
}

std::vector<uint8_t> SimInfoBuildHostile(const _SIM_PROFILE& Profile, const SimMac& UnitMac,
                                         const _SIM_LINK_STATE& Link, SimHostile Kind, unsigned Arg) {
    auto dibs = ProfileDibs(Profile);
    size_t count = dibs.size();
    switch (Kind) {
        case SimHostile::None:
        case SimHostile::Truncate:
            break;
        case SimHostile::ManyDibs: {
            // Raw-only (parallel) fillers, one word each, until Arg DIBs are there.
            const size_t want = std::min<size_t>(Arg, 255);
            if (dibs.size() > want) dibs.resize(want);
            while (dibs.size() < want) dibs.push_back(Plain(NextChannel(dibs), SIM_CHL_PARALLEL, 0, {}));
            count = dibs.size();
            break;
        }
        case SimHostile::LongDib: {
            const size_t words = std::max<size_t>(Arg, 1);
            WireDib d = Plain(NextChannel(dibs), SIM_CHL_PARALLEL, 0, Pattern((words - 1) * 4));
            // Second place, so that the DIBs behind it show whether a host skips it whole.
            dibs.insert(dibs.begin() + (dibs.empty() ? 0 : 1), std::move(d));
            count = dibs.size();
            break;
        }
        case SimHostile::Overrun: {
            // A DIB that announces Arg words but brings two, and two more DIBs announced
            // that are not there at all.
            WireDib d = Plain(NextChannel(dibs), SIM_CHL_PARALLEL, 0, Pattern(8));
            d.LengthInDW = static_cast<uint8_t>(std::max<unsigned>(Arg, 4));
            dibs.push_back(std::move(d));
            count = dibs.size() + 2;
            break;
        }
        case SimHostile::Banks:
        case SimHostile::BanksShort: {
            const uint8_t banks = static_cast<uint8_t>(std::min<unsigned>(Arg, 255));
            std::vector<uint8_t> x(12, 0);
            x[0] = banks;
            x[4] = 0x03;
            x[8] = 0x80, x[9] = 0xF0, x[10] = 0xFA, x[11] = 0x02;  // 50 MHz
            if (Kind == SimHostile::Banks) {
                // As many bank entries as one DIB can carry (255 words in all).
                const size_t entries = std::min<size_t>(banks, 251);
                for (size_t i = 0; i < entries; ++i) {
                    x.push_back(0x47);  // 8 I/Os, direction input
                    x.push_back(0x03);  // both edges
                    x.push_back(0);
                    x.push_back(0);
                }
            }
            dibs.push_back(Plain(NextChannel(dibs), SIM_CHL_DIO, 1, std::move(x)));
            count = dibs.size();
            break;
        }
        case SimHostile::Ports: {
            const uint8_t ports = static_cast<uint8_t>(std::min<unsigned>(Arg, 255));
            for (uint8_t type :
                 {SIM_CHL_AI, SIM_CHL_AO, SIM_CHL_UI, SIM_CHL_UO, SIM_CHL_BAO, SIM_CHL_MAI, SIM_CHL_TPS})
                dibs.push_back(AnalogDib(NextChannel(dibs), type, ports));
            count = dibs.size();
            break;
        }
    }
    return Serialize(Profile, UnitMac, Link, dibs, count);
}

std::vector<uint8_t> SimInfoAcuResponse(uint8_t ReturnCode, uint8_t LengthByte,
                                        const std::vector<uint8_t>& Info) {
    return SimDllpEncode(SIM_DLLP_ACU_RESPONSE, ReturnCode, LengthByte, Info.data(), Info.size());
}

size_t SimInfoTruncatedLength(size_t FrameLength, unsigned Arg) {
    if (Arg > 0) return std::min<size_t>(Arg, FrameLength);
    const size_t infoStart = kSimEthHeaderLength + kSimDllpLength;
    const size_t dibStart = infoStart + kSimInfoHeaderLength;
    if (FrameLength <= dibStart) return std::min(FrameLength, infoStart + kSimInfoHeaderLength / 2);
    return dibStart + (FrameLength - dibStart) / 2;
}
