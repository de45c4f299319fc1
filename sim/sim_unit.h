// The simulated units and the state they share: interfaces, profiles, timers. Everything
// runs in one thread (the event loop), so nothing here locks.
#pragma once

#include <array>
#include <cstdint>
#include <cstdio>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <random>
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
    uint64_t Ignored = 0;      // accepted but not answered (silent, unsupported, not yet played)
    uint64_t Connects = 0;     // connects answered with success
    uint64_t Disconnects = 0;  // disconnects answered with success
    uint64_t Refused = 0;      // connects and disconnects answered with another return code
    uint64_t KeepAlives = 0;
    uint64_t TlpsRx = 0;
    uint64_t TlpsTx = 0;
    uint64_t AcksTx = 0;
    uint64_t NaksTx = 0;
    uint64_t AcksRx = 0;  // ACKs from the host for the unit's own TLPs
    uint64_t NaksRx = 0;
    uint64_t RxLost = 0;  // dropped by the loss setting
    uint64_t TxLost = 0;
    uint64_t KeepAliveTimeouts = 0;  // DLLP 24 sent
};

// How many received TLP sequence numbers and unacknowledged own TLPs a unit keeps.
constexpr size_t kSimSeqHistory = 256;
// How many of them "show" lists.
constexpr size_t kSimSeqShown = 64;

struct _SIM_SEQ_SEEN {
    uint16_t Seq = 0;
    bool Naked = false;  // answered with a NAK and not processed
};

// Frame loss with its two draws (received and sent frames draw separately, so the pattern of
// one direction does not depend on the traffic of the other).
struct _SIM_LOSS_STATE {
    _SIM_LOSS Setting;
    std::mt19937 Rx;
    std::mt19937 Tx;
};

// A channel model's per-channel state (sim_channel.h); each model derives its own.
struct _SIM_CHANNEL_STATE {
    virtual ~_SIM_CHANNEL_STATE() = default;
};

// Faults for the unit's next answers to the host's CMD reads (and whatever answers a channel
// model sends through SimUnitSendAnswer): the TransactionID, Offset or LengthInDW changed (so
// the answer is not the request's), the answer held back LateMs, or no answer at all.
enum class SimAnswerFault { None, TransactionId, Offset, Length, Late, Drop };
struct _SIM_ANSWER_FAULT {
    SimAnswerFault Kind = SimAnswerFault::None;
    unsigned Count = 0;  // answers still to be spoilt
    unsigned LateMs = 700;
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

    uint64_t Serial = 0;            // tells a re-added unit from an earlier one with its MAC
    std::vector<uint8_t> Password;  // as typed; compared in its 32-byte block form
    _SIM_FORCED_REPLY ConnectReply;
    _SIM_FORCED_REPLY DisconnectReply;
    uint16_t TxSeq = kSimDefaultDeviceSeq;  // sequence number of the unit's next TLP
    uint16_t HostSeq = 0;                   // what the host's last connect or disconnect said
    unsigned NakNext = 0;                   // TLPs still to be answered with a NAK
    _SIM_LOSS_STATE Loss;
    unsigned WatchdogMs = 0;
    int64_t LastKeepAliveMs = 0;                         // from the connected host
    uint64_t WatchdogTimer = 0;                          // 0 when none is pending
    std::map<uint8_t, std::vector<uint32_t>> Registers;  // per DIB channel, kSimRegisterWords each
    std::deque<_SIM_SEQ_SEEN> RxTlpSeqs;                 // oldest first
    std::deque<uint16_t> UnackedTx;                      // own TLPs the host has not acknowledged
    // Channel models' state per channel (sim_channel.h), and the fault for the next answers.
    std::map<uint8_t, std::unique_ptr<_SIM_CHANNEL_STATE>> ChannelStates;
    _SIM_ANSWER_FAULT AnswerFault;
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
    uint64_t NextSerial = 1;
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

// Sends a TLP from a unit to Dst: numbers it with the unit's next sequence number (which then
// advances, 1023 wrapping to 0) and keeps the number until the host acknowledges it. Returns
// the number used, or -1 when the header and data do not make a TLP.
int SimUnitSendTlp(_SIM_CONTEXT& Ctx, _SIM_UNIT& Unit, const SimMac& Dst, _SIM_TLP Tlp,
                   const std::vector<uint8_t>& Data);

// Sets the loss percentages and seed, restarting both draws.
void SimUnitSetLoss(_SIM_UNIT& Unit, const _SIM_LOSS& Loss);

// Forgets the connected host (link status 0, host MAC zero) and stops the watchdog.
void SimUnitDropLink(_SIM_CONTEXT& Ctx, _SIM_UNIT& Unit);
// Marks Host as connected and (re)starts the watchdog when the unit has one.
void SimUnitSetLink(_SIM_CONTEXT& Ctx, _SIM_UNIT& Unit, const SimMac& Host);
// Applies a changed watchdog setting to a connected unit.
void SimUnitWatchdogRestart(_SIM_CONTEXT& Ctx, _SIM_UNIT& Unit);

// Verbose log line, prefixed with the time since start.
void SimLog(_SIM_CONTEXT& Ctx, const std::string& Line);
