// The simulated units and the state they share: interfaces, profiles, timers. Everything
// runs in one thread (the event loop), so nothing here locks.
#pragma once

#include <array>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "sim_iface.h"
#include "sim_info.h"
#include "sim_profile.h"
#include "sim_timer.h"
#include "sim_wire.h"

constexpr size_t kSimMaxUnits = 255;

struct _SIM_UNIT_STATS {
    uint64_t RxFrames = 0;  // frames accepted for this unit
    uint64_t TxFrames = 0;
    uint64_t Searches = 0;
    uint64_t InfoRequests = 0;
    uint64_t Ignored = 0;  // accepted but not answered (silent, unsupported, not yet played)
};

// One simulated unit. The profile is shared by units of the same type; everything the unit
// can change at run time lives here.
struct _SIM_UNIT {
    SimMac Mac{};
    _SIM_IFACE* Iface = nullptr;
    std::shared_ptr<const _SIM_PROFILE> Profile;
    bool Silent = false;
    uint8_t SearchReplyAdvance = SIM_DLLP_ADVANCE_SEARCH_RESPONSE;
    uint8_t SearchReplyDock = SIM_DLLP_DOCK_SEARCH_RESPONSE;
    uint8_t InfoReturnCode = kSimAcuReturnInfo;
    uint8_t InfoLengthByte = kSimAcuLengthInfo;
    SimHostile Hostile = SimHostile::None;
    unsigned HostileArg = 0;
    unsigned DelayMs = 0;  // every answer leaves this much later
    _SIM_LINK_STATE Link;
    _SIM_UNIT_STATS Stats;
};

struct _SIM_CONTEXT {
    std::vector<std::unique_ptr<_SIM_IFACE>> Ifaces;  // opened on first use, kept until exit
    std::map<SimMac, std::unique_ptr<_SIM_UNIT>> Units;
    std::map<std::string, std::shared_ptr<const _SIM_PROFILE>> Profiles;  // by resolved path
    std::vector<std::string> ProfileDirs;  // where bare profile names are looked up, in order
    bool Verbose = false;
    FILE* Log = stdout;
    SimTimers Timers;
    int64_t StartMs = 0;
    bool QuitRequested = false;
    // Replaceable so that tests run the whole frame path without sockets or a real clock.
    std::function<int64_t()> Now = SimNowMs;
    std::function<std::unique_ptr<_SIM_IFACE>(const std::string&, std::string*)> OpenIface = SimIfaceOpen;
    std::function<bool(_SIM_IFACE&, const std::vector<uint8_t>&, std::string*)> Transmit =
        [](_SIM_IFACE& i, const std::vector<uint8_t>& f, std::string* e) {
            return SimIfaceSend(i, f.data(), f.size(), e);
        };
};

// Finds (and caches) a profile: a name with a '/' is a path; a bare name is looked up in
// ProfileDirs as NAME and NAME.prof, then in the current directory.
std::shared_ptr<const _SIM_PROFILE> SimProfileGet(_SIM_CONTEXT& Ctx, const std::string& Name,
                                                  std::string* pError);
// The interface record, opening its socket on first use.
_SIM_IFACE* SimIfaceGet(_SIM_CONTEXT& Ctx, const std::string& Name, std::string* pError);

bool SimUnitAdd(_SIM_CONTEXT& Ctx, const std::string& Profile, const SimMac& Mac, const std::string& Iface,
                std::string* pError);
bool SimUnitRemove(_SIM_CONTEXT& Ctx, const SimMac& Mac, std::string* pError);
_SIM_UNIT* SimUnitGet(_SIM_CONTEXT& Ctx, const SimMac& Mac);

// Handles one frame received on an interface: decodes it, finds the units it is for and runs
// the handler of its DLLP command (or the TLP handler). PktType is the kernel's packet class;
// frames this host sent itself are ignored.
void SimFrameReceive(_SIM_CONTEXT& Ctx, _SIM_IFACE& Iface, const uint8_t* pFrame, size_t Length,
                     uint8_t PktType);

// Sends link bytes from a unit to Dst, after the unit's delay. CutTo > 0 sends only the first
// CutTo bytes of the frame, unpadded.
void SimUnitSend(_SIM_CONTEXT& Ctx, _SIM_UNIT& Unit, const SimMac& Dst, const std::vector<uint8_t>& Link,
                 size_t CutTo = 0);

// Verbose log line, prefixed with the time since start.
void SimLog(_SIM_CONTEXT& Ctx, const std::string& Line);
