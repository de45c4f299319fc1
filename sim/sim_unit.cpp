#include "sim_unit.h"

#include <linux/if_packet.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdio>

#include "sim_channel.h"
#include "sim_ctu.h"
#include "sim_dump.h"
#include "sim_link.h"

namespace {

// A DLLP handler runs for one unit that accepted the frame.
using DllpHandler = void (*)(_SIM_CONTEXT&, _SIM_UNIT&, const _SIM_FRAME&);

struct DllpEntry {
    DllpHandler Handler = nullptr;  // nullptr: accepted, logged, not answered
    bool AcceptBroadcast = false;   // only the searches may come to the broadcast address
};

void HandleSearch(_SIM_CONTEXT& Ctx, _SIM_UNIT& Unit, const _SIM_FRAME& F) {
    ++Unit.Stats.Searches;
    const uint8_t code =
        F.Dllp.Cmd == SIM_DLLP_ADVANCE_SEARCH ? Unit.SearchReplyAdvance : Unit.SearchReplyDock;
    SimUnitSend(Ctx, Unit, F.Src, SimDllpEncode(code, 0, 0));
}

void HandleAcu(_SIM_CONTEXT& Ctx, _SIM_UNIT& Unit, const _SIM_FRAME& F) {
    if (F.Dllp.Byte3 != kSimAcuItemInfo) {
        // Hosts only ask for the info structure; other items have no defined answer.
        ++Unit.Stats.Ignored;
        if (Ctx.Verbose)
            SimLog(Ctx, "   " + SimMacFormat(Unit.Mac) + ": ACU item " + SimDumpHex(&F.Dllp.Byte3, 1) +
                            " not answered");
        return;
    }
    ++Unit.Stats.InfoRequests;
    const std::vector<uint8_t> info =
        Unit.Hostile == SimHostile::None
            ? SimInfoBuild(*Unit.Profile, Unit.Mac, Unit.Link)
            : SimInfoBuildHostile(*Unit.Profile, Unit.Mac, Unit.Link, Unit.Hostile, Unit.HostileArg);
    const std::vector<uint8_t> link = SimInfoAcuResponse(Unit.InfoReturnCode, Unit.InfoLengthByte, info);
    size_t cut = 0;
    if (Unit.Hostile == SimHostile::Truncate)
        cut = SimInfoTruncatedLength(kSimEthHeaderLength + link.size(), Unit.HostileArg);
    SimUnitSend(Ctx, Unit, F.Src, link, cut);
}

// Which DLLP commands a unit plays. The entries left empty (the answers only units send,
// and unknown codes) are accepted and logged.
constexpr std::array<DllpEntry, kSimDllpCmdCount> kDllpTable = [] {
    std::array<DllpEntry, kSimDllpCmdCount> t{};
    t[SIM_DLLP_ACK] = {&SimHandleHostAck, false};
    t[SIM_DLLP_NAK] = {&SimHandleHostAck, false};
    t[SIM_DLLP_DOCK_CONNECT] = {&SimHandleConnect, false};
    t[SIM_DLLP_ADVANCE_SEARCH] = {&HandleSearch, true};
    t[SIM_DLLP_DOCK_SEARCH] = {&HandleSearch, true};
    t[SIM_DLLP_KEEP_ALIVE] = {&SimHandleKeepAlive, false};
    t[SIM_DLLP_ADVANCE_CONNECT] = {&SimHandleConnect, false};
    t[SIM_DLLP_ACU] = {&HandleAcu, false};
    return t;
}();

// One draw of a loss setting: true when the frame is to be dropped.
bool LossDraw(std::mt19937& Draw, uint8_t Percent) {
    if (Percent == 0) return false;
    if (Percent >= 100) return true;
    return Draw() % 100 < Percent;
}

void WatchdogSchedule(_SIM_CONTEXT& Ctx, _SIM_UNIT& Unit, int64_t DueMs);

// The watchdog looks at the time of the last keep-alive when its timer runs, so keep-alives
// need not move the timer.
void WatchdogFire(_SIM_CONTEXT& Ctx, const SimMac& Mac, uint64_t Serial) {
    _SIM_UNIT* unit = SimUnitGet(Ctx, Mac);
    if (unit == nullptr || unit->Serial != Serial) return;
    unit->WatchdogTimer = 0;
    if (unit->WatchdogMs == 0 || unit->Link.LinkStatus == 0) return;
    const int64_t due = unit->LastKeepAliveMs + unit->WatchdogMs;
    if (Ctx.Now() < due) {
        WatchdogSchedule(Ctx, *unit, due);
        return;
    }
    if (Ctx.Verbose)
        SimLog(Ctx, "   " + SimMacFormat(unit->Mac) + ": no keep-alive from " +
                        SimMacFormat(unit->Link.ConnectedHostMac) + " for " +
                        std::to_string(unit->WatchdogMs) + " ms: link dropped");
    std::string err;
    // A silent unit gives up on its host without telling it.
    if (!unit->Silent) SimUnitSendKeepAliveTimeout(Ctx, *unit, &err);
    SimUnitDropLink(Ctx, *unit);
}

void WatchdogSchedule(_SIM_CONTEXT& Ctx, _SIM_UNIT& Unit, int64_t DueMs) {
    const SimMac mac = Unit.Mac;
    const uint64_t serial = Unit.Serial;
    Unit.WatchdogTimer = Ctx.Timers.Add(DueMs, [&Ctx, mac, serial]() { WatchdogFire(Ctx, mac, serial); });
}

void Transmit(_SIM_CONTEXT& Ctx, _SIM_UNIT& Unit, const std::vector<uint8_t>& Frame) {
    std::string err;
    _SIM_IFACE& iface = *Unit.Iface;
    if (!Ctx.Transmit(iface, Frame, &err)) {
        ++iface.TxErrors;
        // Every failure in verbose mode; otherwise 1st, 2nd, 4th, 8th ... so a dead link cannot flood.
        if (Ctx.Verbose || (iface.TxErrors & (iface.TxErrors - 1)) == 0)
            std::fprintf(stderr, "qorsim: %s (%s, %llu failures)\n", err.c_str(),
                         SimMacFormat(Unit.Mac).c_str(), static_cast<unsigned long long>(iface.TxErrors));
        return;
    }
    ++iface.TxFrames;
    ++Unit.Stats.TxFrames;
    if (Ctx.Verbose) {
        SimMac dst{};
        for (size_t i = 0; i < 6 && i < Frame.size(); ++i) dst[i] = Frame[i];
        SimLog(Ctx, "tx " + iface.Name + " " + SimMacFormat(Unit.Mac) + " -> " + SimMacFormat(dst) + " " +
                        std::to_string(Frame.size()) + "B " +
                        SimDumpFrame(Frame.data(), Frame.size(), SimSender::Unit));
    }
}

bool IsFile(const std::string& path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

}  // namespace

void SimLog(_SIM_CONTEXT& Ctx, const std::string& Line) {
    const int64_t ms = Ctx.Now() - Ctx.StartMs;
    std::fprintf(Ctx.Log, "[%6lld.%03lld] %s\n", static_cast<long long>(ms / 1000),
                 static_cast<long long>(ms % 1000), Line.c_str());
    std::fflush(Ctx.Log);
}

std::shared_ptr<const _SIM_PROFILE> SimProfileGet(_SIM_CONTEXT& Ctx, const std::string& Name,
                                                  std::string* pError) {
    std::vector<std::string> candidates;
    if (Name.find('/') != std::string::npos) {
        candidates.push_back(Name);
    } else {
        for (const auto& dir : Ctx.ProfileDirs) {
            candidates.push_back(dir + "/" + Name);
            candidates.push_back(dir + "/" + Name + ".prof");
        }
        candidates.push_back(Name);
        candidates.push_back(Name + ".prof");
    }
    std::string path;
    for (const auto& c : candidates) {
        if (IsFile(c)) {
            path = c;
            break;
        }
    }
    if (path.empty()) {
        std::string where;
        for (const auto& dir : Ctx.ProfileDirs) where += " " + dir;
        if (pError) *pError = "profile '" + Name + "' not found (looked in" + where + " .)";
        return nullptr;
    }
    auto it = Ctx.Profiles.find(path);
    if (it != Ctx.Profiles.end()) return it->second;
    auto profile = std::make_shared<_SIM_PROFILE>();
    if (!SimProfileLoad(path, profile.get(), pError)) return nullptr;
    for (const auto& w : SimProfileCheck(*profile)) std::fprintf(stderr, "qorsim: %s\n", w.c_str());
    Ctx.Profiles.emplace(path, profile);
    return profile;
}

_SIM_IFACE* SimIfaceGet(_SIM_CONTEXT& Ctx, const std::string& Name, std::string* pError) {
    for (auto& i : Ctx.Ifaces)
        if (i->Name == Name) return i.get();
    auto iface = Ctx.OpenIface(Name, pError);
    if (!iface) return nullptr;
    Ctx.Ifaces.push_back(std::move(iface));
    return Ctx.Ifaces.back().get();
}

bool SimUnitAdd(_SIM_CONTEXT& Ctx, const std::string& Profile, const SimMac& Mac, const std::string& Iface,
                std::string* pError) {
    auto fail = [&](const std::string& what) {
        if (pError) *pError = what;
        return false;
    };
    if (SimMacIsMulticast(Mac)) return fail("unit MAC " + SimMacFormat(Mac) + " is a group address");
    if (Mac == SimMac{}) return fail("unit MAC 00:00:00:00:00:00 is not usable");
    if (Ctx.Units.count(Mac)) return fail("unit " + SimMacFormat(Mac) + " exists already");
    if (Ctx.Units.size() >= kSimMaxUnits) return fail("already 255 units");
    auto profile = SimProfileGet(Ctx, Profile, pError);
    if (!profile) return false;
    _SIM_IFACE* iface = SimIfaceGet(Ctx, Iface, pError);
    if (!iface) return false;
    auto unit = std::make_unique<_SIM_UNIT>();
    unit->Mac = Mac;
    unit->Iface = iface;
    unit->Profile = profile;
    unit->SearchReplyAdvance = profile->SearchReplyAdvance;
    unit->SearchReplyDock = profile->SearchReplyDock;
    unit->Link.LinkStatus = profile->LinkStatus;
    unit->Link.ConnectedHostMac = profile->ConnectedHostMac;
    unit->Serial = Ctx.NextSerial++;
    unit->Password = profile->Password;
    unit->ConnectReply = profile->ConnectReply;
    unit->DisconnectReply = profile->DisconnectReply;
    unit->TxSeq = profile->DeviceSeq & kSimSeqMask;
    unit->WatchdogMs = profile->WatchdogMs;
    SimUnitSetLoss(*unit, profile->Loss);
    SimUnitRegistersInit(*unit);
    _SIM_UNIT& added = *unit;
    Ctx.Units.emplace(Mac, std::move(unit));
    // After the unit is listed: a model may start timers that find it again by MAC.
    SimChannelStatesInit(Ctx, added);
    return true;
}

bool SimUnitRemove(_SIM_CONTEXT& Ctx, const SimMac& Mac, std::string* pError) {
    if (_SIM_UNIT* unit = SimUnitGet(Ctx, Mac); unit != nullptr && unit->WatchdogTimer != 0)
        Ctx.Timers.Cancel(unit->WatchdogTimer);
    if (Ctx.Units.erase(Mac) == 0) {
        if (pError) *pError = "no unit " + SimMacFormat(Mac);
        return false;
    }
    return true;
}

_SIM_UNIT* SimUnitGet(_SIM_CONTEXT& Ctx, const SimMac& Mac) {
    auto it = Ctx.Units.find(Mac);
    return it == Ctx.Units.end() ? nullptr : it->second.get();
}

void SimFrameReceive(_SIM_CONTEXT& Ctx, _SIM_IFACE& Iface, const uint8_t* pFrame, size_t Length,
                     uint8_t PktType) {
    // Our own frames come back on the socket as outgoing copies; a unit never answers itself.
    if (PktType == PACKET_OUTGOING) return;
    ++Iface.RxFrames;
    _SIM_FRAME f;
    const SimFrameStatus st = SimFrameDecode(pFrame, Length, &f);
    const std::string where = "rx " + Iface.Name + " ";
    if (st != SimFrameStatus::Ok) {
        ++Iface.RxDropped;
        if (Ctx.Verbose)
            SimLog(Ctx, where + std::to_string(Length) + "B dropped: " + SimDumpFrame(pFrame, Length));
        return;
    }
    const std::string head = where + SimMacFormat(f.Dst) + " <- " + SimMacFormat(f.Src) + " " +
                             std::to_string(Length) + "B " + SimDumpFrame(pFrame, Length);
    if (SimMacIsMulticast(f.Src)) {
        ++Iface.RxDropped;
        if (Ctx.Verbose) SimLog(Ctx, head + " (group source address: dropped)");
        return;
    }
    std::vector<_SIM_UNIT*> targets;
    const bool broadcast = f.Dst == kSimBroadcastMac;
    if (broadcast) {
        for (auto& [mac, unit] : Ctx.Units)
            if (unit->Iface == &Iface) targets.push_back(unit.get());
    } else if (_SIM_UNIT* unit = SimUnitGet(Ctx, f.Dst); unit != nullptr && unit->Iface == &Iface) {
        targets.push_back(unit);
    }
    const bool isDllp = f.PacketType == kSimPacketDllp;
    const DllpEntry entry = isDllp ? kDllpTable[f.Dllp.Cmd] : DllpEntry{};
    if (Ctx.Verbose) {
        std::string note;
        if (targets.empty())
            note = " (no unit here)";
        else if (broadcast)
            note = " (broadcast, " + std::to_string(targets.size()) + " units)";
        SimLog(Ctx, head + note);
    }
    if (broadcast && !(isDllp && entry.AcceptBroadcast)) {
        if (Ctx.Verbose && !targets.empty()) SimLog(Ctx, "   broadcast of this command ignored");
        return;
    }
    for (_SIM_UNIT* unit : targets) {
        // Lost on the way: the unit never sees the frame.
        if (LossDraw(unit->Loss.Rx, unit->Loss.Setting.RxPercent)) {
            ++unit->Stats.RxLost;
            if (Ctx.Verbose) SimLog(Ctx, "   " + SimMacFormat(unit->Mac) + ": lost on the way in (loss)");
            continue;
        }
        ++unit->Stats.RxFrames;
        if (unit->Silent) {
            ++unit->Stats.Ignored;
            continue;
        }
        if (!isDllp) {
            SimHandleTlp(Ctx, *unit, f);
        } else if (entry.Handler != nullptr) {
            entry.Handler(Ctx, *unit, f);
        } else {
            ++unit->Stats.Ignored;
            if (Ctx.Verbose) SimLog(Ctx, "   " + SimMacFormat(unit->Mac) + ": command not answered");
        }
    }
    if (Ctx.Verbose) {
        size_t silent = 0;
        for (_SIM_UNIT* unit : targets) silent += unit->Silent ? 1 : 0;
        if (silent > 0) SimLog(Ctx, "   " + std::to_string(silent) + " silent unit(s) did not answer");
    }
}

void SimUnitSend(_SIM_CONTEXT& Ctx, _SIM_UNIT& Unit, const SimMac& Dst, const std::vector<uint8_t>& Link,
                 size_t CutTo) {
    const bool cut = CutTo > 0 && CutTo < kSimEthHeaderLength + Link.size();
    std::vector<uint8_t> frame = SimEthFrameBuild(Dst, Unit.Mac, Link, !cut);
    if (cut) frame.resize(CutTo);
    if (frame.size() > kSimMaxFrame) {
        std::fprintf(stderr, "qorsim: %s: answer of %zu bytes cut to %zu\n", SimMacFormat(Unit.Mac).c_str(),
                     frame.size(), kSimMaxFrame);
        frame.resize(kSimMaxFrame);
    }
    if (LossDraw(Unit.Loss.Tx, Unit.Loss.Setting.TxPercent)) {
        ++Unit.Stats.TxLost;
        if (Ctx.Verbose)
            SimLog(Ctx, "   " + SimMacFormat(Unit.Mac) + ": lost on the way out (loss): " +
                            SimDumpFrame(frame.data(), frame.size(), SimSender::Unit));
        return;
    }
    if (Unit.DelayMs == 0) {
        Transmit(Ctx, Unit, frame);
        return;
    }
    // The unit may be removed before the timer runs; look it up again then. A unit gone
    // silent meanwhile sends nothing either.
    const SimMac mac = Unit.Mac;
    const uint64_t serial = Unit.Serial;
    Ctx.Timers.Add(Ctx.Now() + Unit.DelayMs, [&Ctx, mac, serial, frame = std::move(frame)]() {
        _SIM_UNIT* unit = SimUnitGet(Ctx, mac);
        if (unit != nullptr && unit->Serial == serial && !unit->Silent) Transmit(Ctx, *unit, frame);
    });
}

int SimUnitSendTlp(_SIM_CONTEXT& Ctx, _SIM_UNIT& Unit, const SimMac& Dst, _SIM_TLP Tlp,
                   const std::vector<uint8_t>& Data) {
    Tlp.SeqNumber = Unit.TxSeq & kSimSeqMask;
    const std::vector<uint8_t> link = SimTlpEncode(Tlp, Data.data(), Data.size());
    if (link.empty() || kSimEthHeaderLength + link.size() > kSimMaxFrame) return -1;
    Unit.TxSeq = static_cast<uint16_t>((Tlp.SeqNumber + 1) & kSimSeqMask);
    if (Unit.UnackedTx.size() >= kSimSeqHistory) Unit.UnackedTx.pop_front();
    Unit.UnackedTx.push_back(Tlp.SeqNumber);
    ++Unit.Stats.TlpsTx;
    SimUnitSend(Ctx, Unit, Dst, link);
    return Tlp.SeqNumber;
}

void SimUnitSetLoss(_SIM_UNIT& Unit, const _SIM_LOSS& Loss) {
    Unit.Loss.Setting = Loss;
    // Two streams from one seed; the constant only keeps them apart.
    Unit.Loss.Rx.seed(Loss.Seed);
    Unit.Loss.Tx.seed(Loss.Seed ^ 0x9E3779B9u);
}

void SimUnitDropLink(_SIM_CONTEXT& Ctx, _SIM_UNIT& Unit) {
    Unit.Link.LinkStatus = 0;
    Unit.Link.ConnectedHostMac = SimMac{};
    if (Unit.WatchdogTimer != 0) Ctx.Timers.Cancel(Unit.WatchdogTimer);
    Unit.WatchdogTimer = 0;
    SimCtuLinkDropped(Ctx, Unit);
}

void SimUnitSetLink(_SIM_CONTEXT& Ctx, _SIM_UNIT& Unit, const SimMac& Host) {
    Unit.Link.LinkStatus = 1;
    Unit.Link.ConnectedHostMac = Host;
    Unit.LastKeepAliveMs = Ctx.Now();
    SimUnitWatchdogRestart(Ctx, Unit);
}

void SimUnitWatchdogRestart(_SIM_CONTEXT& Ctx, _SIM_UNIT& Unit) {
    if (Unit.WatchdogTimer != 0) Ctx.Timers.Cancel(Unit.WatchdogTimer);
    Unit.WatchdogTimer = 0;
    if (Unit.WatchdogMs == 0 || Unit.Link.LinkStatus == 0) return;
    WatchdogSchedule(Ctx, Unit, Unit.LastKeepAliveMs + Unit.WatchdogMs);
}
