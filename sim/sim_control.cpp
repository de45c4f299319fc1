#include "sim_control.h"

#include <cstdio>
#include <sstream>
#include <vector>

#include "sim_channel.h"
#include "sim_link.h"

namespace {

using Args = std::vector<std::string>;

struct Command {
    const char* Name;
    size_t MinArgs;
    size_t MaxArgs;
    const char* Usage;
    std::string (*Run)(_SIM_CONTEXT&, const Args&);
};

std::string Error(const std::string& what) {
    return "error " + what;
}

bool ParseNumber(const std::string& s, unsigned long Max, unsigned long* out) {
    if (s.empty() || s.size() > 12) return false;
    int base = 10;
    size_t i = 0;
    if (s.size() > 2 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X')) base = 16, i = 2;
    unsigned long v = 0;
    for (; i < s.size(); ++i) {
        const char c = s[i];
        int d;
        if (c >= '0' && c <= '9')
            d = c - '0';
        else if (base == 16 && c >= 'a' && c <= 'f')
            d = c - 'a' + 10;
        else if (base == 16 && c >= 'A' && c <= 'F')
            d = c - 'A' + 10;
        else
            return false;
        v = v * static_cast<unsigned long>(base) + static_cast<unsigned long>(d);
    }
    if (v > Max) return false;
    *out = v;
    return true;
}

// The units a command names: one MAC, or "all".
bool Targets(_SIM_CONTEXT& Ctx, const std::string& which, std::vector<_SIM_UNIT*>* out, std::string* err) {
    if (which == "all") {
        for (auto& [mac, unit] : Ctx.Units) out->push_back(unit.get());
        return true;
    }
    SimMac mac{};
    if (!SimMacParse(which, &mac)) {
        *err = "'" + which + "' is not a MAC address";
        return false;
    }
    _SIM_UNIT* unit = SimUnitGet(Ctx, mac);
    if (unit == nullptr) {
        *err = "no unit " + SimMacFormat(mac);
        return false;
    }
    out->push_back(unit);
    return true;
}

// Hex digits, two per byte, appended to *out.
bool ParseHex(const std::string& s, std::vector<uint8_t>* out) {
    if (s.empty() || s.size() % 2 != 0) return false;
    auto digit = [](char c) {
        if (c >= '0' && c <= '9') return c - '0';
        if (c >= 'a' && c <= 'f') return c - 'a' + 10;
        if (c >= 'A' && c <= 'F') return c - 'A' + 10;
        return -1;
    };
    std::vector<uint8_t> bytes;
    for (size_t i = 0; i < s.size(); i += 2) {
        const int hi = digit(s[i]), lo = digit(s[i + 1]);
        if (hi < 0 || lo < 0) return false;
        bytes.push_back(static_cast<uint8_t>((hi << 4) | lo));
    }
    out->insert(out->end(), bytes.begin(), bytes.end());
    return true;
}

std::string Hex(unsigned v) {
    char buf[8];
    std::snprintf(buf, sizeof(buf), "0x%02x", v & 0xFF);
    return buf;
}

std::string CmdHelp(_SIM_CONTEXT&, const Args&);

std::string CmdAdd(_SIM_CONTEXT& Ctx, const Args& a) {
    SimMac mac{};
    if (!SimMacParse(a[2], &mac)) return Error("'" + a[2] + "' is not a MAC address");
    std::string err;
    if (!SimUnitAdd(Ctx, a[1], mac, a[3], &err)) return Error(err);
    return "ok added " + SimMacFormat(mac);
}

std::string CmdAddMany(_SIM_CONTEXT& Ctx, const Args& a) {
    unsigned long n = 0;
    if (!ParseNumber(a[1], kSimMaxUnits, &n) || n == 0) return Error("count must be 1..255");
    SimMac mac{};
    if (!SimMacParse(a[3], &mac)) return Error("'" + a[3] + "' is not a MAC address");
    std::string err;
    if (!SimUnitAddMany(Ctx, static_cast<unsigned>(n), a[2], mac, a[4], &err)) return Error(err);
    SimMac last{};
    SimMacAdd(mac, static_cast<unsigned>(n - 1), &last);
    return "ok added " + std::to_string(n) + " " + SimMacFormat(mac) + ".." + SimMacFormat(last);
}

std::string CmdRemove(_SIM_CONTEXT& Ctx, const Args& a) {
    std::vector<_SIM_UNIT*> units;
    std::string err;
    if (!Targets(Ctx, a[1], &units, &err)) return Error(err);
    std::vector<SimMac> macs;
    for (auto* u : units) macs.push_back(u->Mac);
    for (const auto& m : macs) SimUnitRemove(Ctx, m, nullptr);
    return "ok removed " + std::to_string(macs.size());
}

std::string SetSilent(_SIM_CONTEXT& Ctx, const Args& a, bool silent) {
    std::vector<_SIM_UNIT*> units;
    std::string err;
    if (!Targets(Ctx, a[1], &units, &err)) return Error(err);
    for (auto* u : units) u->Silent = silent;
    return std::string("ok ") + (silent ? "silent " : "talking ") + std::to_string(units.size());
}
std::string CmdSilent(_SIM_CONTEXT& Ctx, const Args& a) {
    return SetSilent(Ctx, a, true);
}
std::string CmdTalk(_SIM_CONTEXT& Ctx, const Args& a) {
    return SetSilent(Ctx, a, false);
}

std::string CmdInfoReply(_SIM_CONTEXT& Ctx, const Args& a) {
    std::vector<_SIM_UNIT*> units;
    std::string err;
    if (!Targets(Ctx, a[1], &units, &err)) return Error(err);
    unsigned long rc = kSimAcuReturnInfo, len = kSimAcuLengthInfo;
    if (a.size() == 3) {
        if (a[2] != "default") return Error("usage: info-reply MAC|all RC LEN | info-reply MAC|all default");
    } else if (a.size() == 4) {
        if (!ParseNumber(a[2], 255, &rc)) return Error("return code must be 0..255");
        if (!ParseNumber(a[3], 255, &len)) return Error("length byte must be 0..255");
    } else {
        return Error("usage: info-reply MAC|all RC LEN | info-reply MAC|all default");
    }
    for (auto* u : units) {
        u->InfoReturnCode = static_cast<uint8_t>(rc);
        u->InfoLengthByte = static_cast<uint8_t>(len);
    }
    return "ok info-reply " + Hex(static_cast<unsigned>(rc)) + " " + Hex(static_cast<unsigned>(len));
}

std::string CmdHostile(_SIM_CONTEXT& Ctx, const Args& a) {
    std::vector<_SIM_UNIT*> units;
    std::string err;
    if (!Targets(Ctx, a[1], &units, &err)) return Error(err);
    SimHostile kind{};
    if (!SimHostileParse(a[2], &kind))
        return Error("unknown kind '" + a[2] +
                     "' (none, many-dibs, long-dib, overrun, banks, banks-short, ports, truncate)");
    unsigned long arg = SimHostileDefaultArg(kind);
    if (a.size() == 4) {
        if (kind == SimHostile::None) return Error("'none' takes no argument");
        if (!ParseNumber(a[3], SimHostileMaxArg(kind), &arg))
            return Error("argument of " + a[2] + " must be 0.." + std::to_string(SimHostileMaxArg(kind)));
    }
    for (auto* u : units) {
        u->Hostile = kind;
        u->HostileArg = static_cast<unsigned>(arg);
    }
    return "ok hostile " + std::string(SimHostileName(kind)) + " " + std::to_string(arg);
}

std::string CmdSearchReply(_SIM_CONTEXT& Ctx, const Args& a) {
    std::vector<_SIM_UNIT*> units;
    std::string err;
    if (!Targets(Ctx, a[1], &units, &err)) return Error(err);
    const bool advance = a[2] == "advance";
    if (!advance && a[2] != "dock") return Error("which search: 'advance' or 'dock', not '" + a[2] + "'");
    unsigned long code = 0;
    const bool reset = a[3] == "default";
    if (!reset && !ParseNumber(a[3], 255, &code)) return Error("reply code must be 0..255 or 'default'");
    for (auto* u : units) {
        uint8_t& slot = advance ? u->SearchReplyAdvance : u->SearchReplyDock;
        slot = reset ? (advance ? u->Profile->SearchReplyAdvance : u->Profile->SearchReplyDock)
                     : static_cast<uint8_t>(code);
        code = slot;
    }
    return "ok search-reply " + a[2] + " " + (reset ? std::string("default") : std::to_string(code));
}

std::string CmdDelay(_SIM_CONTEXT& Ctx, const Args& a) {
    std::vector<_SIM_UNIT*> units;
    std::string err;
    if (!Targets(Ctx, a[1], &units, &err)) return Error(err);
    unsigned long ms = 0;
    if (!ParseNumber(a[2], 60000, &ms)) return Error("delay must be 0..60000 ms");
    for (auto* u : units) u->DelayMs = static_cast<unsigned>(ms);
    return "ok delay " + std::to_string(ms);
}

std::string CmdLinkState(_SIM_CONTEXT& Ctx, const Args& a) {
    std::vector<_SIM_UNIT*> units;
    std::string err;
    if (!Targets(Ctx, a[1], &units, &err)) return Error(err);
    unsigned long status = 0;
    if (!ParseNumber(a[2], 255, &status)) return Error("link status must be 0..255");
    SimMac host{};
    if (!SimMacParse(a[3], &host)) return Error("'" + a[3] + "' is not a MAC address");
    for (auto* u : units) {
        u->Link.LinkStatus = static_cast<uint8_t>(status);
        u->Link.ConnectedHostMac = host;
    }
    return "ok link-state " + std::to_string(status) + " " + SimMacFormat(host);
}

// RC (0..63), "default" (the unit decides) or "none" (no answer).
bool ParseForcedReply(const std::string& s, _SIM_FORCED_REPLY* out) {
    if (s == "default") {
        *out = {};
        return true;
    }
    if (s == "none") {
        *out = {_SIM_FORCED_REPLY::Kind::None, 0};
        return true;
    }
    unsigned long rc = 0;
    if (!ParseNumber(s, kSimRcMax, &rc)) return false;
    *out = {_SIM_FORCED_REPLY::Kind::Code, static_cast<uint8_t>(rc)};
    return true;
}

std::string SetForcedReply(_SIM_CONTEXT& Ctx, const Args& a, bool disconnect) {
    std::vector<_SIM_UNIT*> units;
    std::string err;
    if (!Targets(Ctx, a[1], &units, &err)) return Error(err);
    _SIM_FORCED_REPLY r;
    if (!ParseForcedReply(a[2], &r)) return Error("return code must be 0..63, 'default' or 'none'");
    for (auto* u : units) (disconnect ? u->DisconnectReply : u->ConnectReply) = r;
    return "ok " + a[0] + " " + SimForcedReplyText(r);
}
std::string CmdConnectReply(_SIM_CONTEXT& Ctx, const Args& a) {
    return SetForcedReply(Ctx, a, false);
}
std::string CmdDisconnectReply(_SIM_CONTEXT& Ctx, const Args& a) {
    return SetForcedReply(Ctx, a, true);
}

std::string CmdDeviceSeq(_SIM_CONTEXT& Ctx, const Args& a) {
    std::vector<_SIM_UNIT*> units;
    std::string err;
    if (!Targets(Ctx, a[1], &units, &err)) return Error(err);
    unsigned long seq = 0;
    if (!ParseNumber(a[2], kSimSeqMask, &seq)) return Error("sequence number must be 0..1023");
    for (auto* u : units) u->TxSeq = static_cast<uint16_t>(seq);
    return "ok device-seq " + std::to_string(seq);
}

std::string CmdPassword(_SIM_CONTEXT& Ctx, const Args& a) {
    std::vector<_SIM_UNIT*> units;
    std::string err;
    if (!Targets(Ctx, a[1], &units, &err)) return Error(err);
    const bool reset = a[2] == "default";
    std::vector<uint8_t> pw;
    if (!reset) {
        if (a[2].rfind("hex:", 0) == 0) {
            if (!ParseHex(a[2].substr(4), &pw)) return Error("'" + a[2].substr(4) + "' is not hex data");
        } else {
            pw.assign(a[2].begin(), a[2].end());
        }
        if (pw.empty() || pw.size() > kSimPasswordMax) return Error("password must be 1 to 32 bytes");
        for (uint8_t b : pw)
            if (b == 0) return Error("password must not contain a zero byte");
    }
    for (auto* u : units) u->Password = reset ? u->Profile->Password : pw;
    return "ok password " + (reset ? std::string("default") : std::to_string(pw.size()) + " bytes");
}

std::string CmdKeepAliveTimeout(_SIM_CONTEXT& Ctx, const Args& a) {
    std::vector<_SIM_UNIT*> units;
    std::string err;
    if (!Targets(Ctx, a[1], &units, &err)) return Error(err);
    size_t sent = 0;
    for (auto* u : units) {
        if (SimUnitSendKeepAliveTimeout(Ctx, *u, &err))
            ++sent;
        else if (a[1] != "all")
            return Error(err);
    }
    return "ok ka-timeout " + std::to_string(sent);
}

std::string CmdWatchdog(_SIM_CONTEXT& Ctx, const Args& a) {
    std::vector<_SIM_UNIT*> units;
    std::string err;
    if (!Targets(Ctx, a[1], &units, &err)) return Error(err);
    unsigned long ms = 0;
    if (a[2] != "off" && !ParseNumber(a[2], kSimWatchdogMaxMs, &ms))
        return Error("watchdog must be 0..600000 ms or 'off'");
    for (auto* u : units) {
        u->WatchdogMs = static_cast<unsigned>(ms);
        SimUnitWatchdogRestart(Ctx, *u);
    }
    return "ok watchdog " + (ms == 0 ? std::string("off") : std::to_string(ms));
}

std::string CmdNakNext(_SIM_CONTEXT& Ctx, const Args& a) {
    std::vector<_SIM_UNIT*> units;
    std::string err;
    if (!Targets(Ctx, a[1], &units, &err)) return Error(err);
    unsigned long n = 1;
    if (a.size() == 3 && !ParseNumber(a[2], 1024, &n)) return Error("count must be 0..1024");
    for (auto* u : units) u->NakNext = static_cast<unsigned>(n);
    return "ok nak-next " + std::to_string(n);
}

std::string CmdLoss(_SIM_CONTEXT& Ctx, const Args& a) {
    std::vector<_SIM_UNIT*> units;
    std::string err;
    if (!Targets(Ctx, a[1], &units, &err)) return Error(err);
    unsigned long rx = 0, tx = 0, seed = 0;
    if (a.size() == 3) {
        if (a[2] != "off") return Error("usage: loss MAC|all RX-PERCENT TX-PERCENT SEED | loss MAC|all off");
    } else if (a.size() == 5) {
        if (!ParseNumber(a[2], 100, &rx) || !ParseNumber(a[3], 100, &tx))
            return Error("loss percentages must be 0..100");
        if (!ParseNumber(a[4], 0xFFFFFFFFul, &seed)) return Error("seed must be 0..4294967295");
    } else {
        return Error("usage: loss MAC|all RX-PERCENT TX-PERCENT SEED | loss MAC|all off");
    }
    const _SIM_LOSS loss{static_cast<uint8_t>(rx), static_cast<uint8_t>(tx), static_cast<uint32_t>(seed)};
    for (auto* u : units) SimUnitSetLoss(*u, loss);
    return "ok loss " + std::to_string(rx) + " " + std::to_string(tx) + " " + std::to_string(seed);
}

std::string CmdClearSeqs(_SIM_CONTEXT& Ctx, const Args& a) {
    std::vector<_SIM_UNIT*> units;
    std::string err;
    if (!Targets(Ctx, a[1], &units, &err)) return Error(err);
    for (auto* u : units) {
        u->RxTlpSeqs.clear();
        u->UnackedTx.clear();
    }
    return "ok clear-seqs " + std::to_string(units.size());
}

// One unit and one of its channels; for the commands that act on a single unit.
_SIM_UNIT* OneUnit(_SIM_CONTEXT& Ctx, const std::string& which, std::string* err) {
    SimMac mac{};
    if (!SimMacParse(which, &mac)) {
        *err = "'" + which + "' is not a MAC address";
        return nullptr;
    }
    _SIM_UNIT* u = SimUnitGet(Ctx, mac);
    if (u == nullptr) *err = "no unit " + SimMacFormat(mac);
    return u;
}

std::string CmdReg(_SIM_CONTEXT& Ctx, const Args& a) {
    std::string err;
    _SIM_UNIT* u = OneUnit(Ctx, a[1], &err);
    if (u == nullptr) return Error(err);
    unsigned long chl = 0, offset = 0;
    if (!ParseNumber(a[2], 255, &chl)) return Error("channel must be 0..255");
    std::vector<uint32_t>* regs = SimUnitRegisters(*u, static_cast<uint8_t>(chl));
    if (regs == nullptr) return Error("unit has no channel " + std::to_string(chl));
    if (!ParseNumber(a[3], kSimRegisterWords - 1, &offset))
        return Error("offset must be 0.." + std::to_string(kSimRegisterWords - 1));
    std::vector<uint32_t> values;
    for (size_t i = 4; i < a.size(); ++i) {
        unsigned long v = 0;
        if (!ParseNumber(a[i], 0xFFFFFFFFul, &v)) return Error("'" + a[i] + "' is not a 32-bit value");
        values.push_back(static_cast<uint32_t>(v));
    }
    if (offset + values.size() > regs->size())
        return Error("registers past " + std::to_string(regs->size() - 1) + " do not exist");
    for (size_t i = 0; i < values.size(); ++i) (*regs)[offset + i] = values[i];
    char buf[16];
    std::snprintf(buf, sizeof(buf), "0x%08x", (*regs)[offset]);
    return "ok reg " + std::to_string(chl) + " " + std::to_string(offset) + " " + buf;
}

// The connected host, or an error for commands that send on their own.
bool HostOf(const _SIM_UNIT& u, SimMac* host, std::string* err) {
    if (u.Silent) {
        *err = SimMacFormat(u.Mac) + " is silent";
        return false;
    }
    if (u.Link.LinkStatus == 0 || u.Link.ConnectedHostMac == SimMac{}) {
        *err = SimMacFormat(u.Mac) + " has no connected host";
        return false;
    }
    *host = u.Link.ConnectedHostMac;
    return true;
}

std::string CmdEvent(_SIM_CONTEXT& Ctx, const Args& a) {
    std::string err;
    _SIM_UNIT* u = OneUnit(Ctx, a[1], &err);
    if (u == nullptr) return Error(err);
    unsigned long chl = 0;
    if (!ParseNumber(a[2], 255, &chl)) return Error("channel must be 0..255");
    _SIM_TLP t{};
    t.Type = kSimTlpEvent;
    t.ChlNumber = static_cast<uint8_t>(chl);
    for (size_t i = 0; i < 4; ++i) {
        unsigned long b = 0;
        if (!ParseNumber(a[3 + i], 255, &b)) return Error("event bytes must be 0..255");
        t.Event[i] = static_cast<uint8_t>(b);
    }
    std::vector<uint8_t> data;
    for (size_t i = 7; i < a.size(); ++i)
        if (!ParseHex(a[i], &data)) return Error("'" + a[i] + "' is not hex data");
    SimMac host{};
    if (!HostOf(*u, &host, &err)) return Error(err);
    const int seq = SimUnitSendTlp(Ctx, *u, host, t, data);
    if (seq < 0) return Error("event does not fit one frame");
    return "ok event seq " + std::to_string(seq);
}

std::string CmdData(_SIM_CONTEXT& Ctx, const Args& a) {
    std::string err;
    _SIM_UNIT* u = OneUnit(Ctx, a[1], &err);
    if (u == nullptr) return Error(err);
    unsigned long chl = 0, flag = 0;
    if (!ParseNumber(a[2], 255, &chl)) return Error("channel must be 0..255");
    if (!ParseNumber(a[3], 31, &flag)) return Error("flag must be 0..31");
    std::vector<uint8_t> data;
    for (size_t i = 4; i < a.size(); ++i)
        if (!ParseHex(a[i], &data)) return Error("'" + a[i] + "' is not hex data");
    if (data.size() > 0x7FF) return Error("at most 2047 data bytes");
    _SIM_TLP t{};
    t.Type = kSimTlpData;
    t.ChlNumber = static_cast<uint8_t>(chl);
    t.Flag = static_cast<uint8_t>(flag);
    t.LengthInByte = static_cast<uint16_t>(data.size());
    SimMac host{};
    if (!HostOf(*u, &host, &err)) return Error(err);
    const int seq = SimUnitSendTlp(Ctx, *u, host, t, data);
    if (seq < 0) return Error("data does not fit one frame");
    return "ok data seq " + std::to_string(seq);
}

std::string CmdList(_SIM_CONTEXT& Ctx, const Args&) {
    std::string s = "ok " + std::to_string(Ctx.Units.size());
    for (auto& [mac, u] : Ctx.Units) {
        s += " " + SimMacFormat(mac) + "," + u->Iface->Name + "," + u->Profile->Name + "," +
             (u->Silent ? "silent" : "talking");
        if (u->Hostile != SimHostile::None) s += ",hostile=" + std::string(SimHostileName(u->Hostile));
    }
    return s;
}

const char* const kFaultNames[] = {"none", "tid", "offset", "length", "late", "drop"};

// "answer-fault=KIND/COUNT/MS", then the channel models' own fields.
std::string ModelShow(const _SIM_UNIT& u) {
    const _SIM_ANSWER_FAULT& f = u.AnswerFault;
    std::string s = std::string(" answer-fault=") + kFaultNames[static_cast<int>(f.Kind)] + "/" +
                    std::to_string(f.Count) + "/" + std::to_string(f.LateMs);
    for (const auto* m : SimChannelModels())
        if (m->Show) s += m->Show(u);
    return s;
}

std::string CmdAnswerFault(_SIM_CONTEXT& Ctx, const Args& a) {
    std::vector<_SIM_UNIT*> units;
    std::string err;
    if (!Targets(Ctx, a[1], &units, &err)) return Error(err);
    const std::string usage = "usage: answer-fault MAC|all tid|offset|length|drop [COUNT] | late MS [COUNT] | off";
    _SIM_ANSWER_FAULT f;
    size_t next = 3;
    if (a[2] == "off") {
        if (a.size() != 3) return Error(usage);
    } else {
        size_t k = 1;
        while (k < std::size(kFaultNames) && a[2] != kFaultNames[k]) ++k;
        if (k == std::size(kFaultNames)) return Error(usage);
        f.Kind = static_cast<SimAnswerFault>(k);
        if (f.Kind == SimAnswerFault::Late) {
            unsigned long ms = 0;
            if (a.size() < 4 || !ParseNumber(a[3], 60000, &ms)) return Error("late needs MS 0..60000");
            f.LateMs = static_cast<unsigned>(ms);
            next = 4;
        }
        unsigned long count = 1;
        if (a.size() > next + 1) return Error(usage);
        if (a.size() == next + 1 && !ParseNumber(a[next], 1024, &count)) return Error("count must be 0..1024");
        f.Count = static_cast<unsigned>(count);
        if (f.Count == 0) f.Kind = SimAnswerFault::None;
    }
    for (auto* u : units) u->AnswerFault = f;
    return std::string("ok answer-fault ") + kFaultNames[static_cast<int>(f.Kind)] + " " + std::to_string(f.Count);
}

std::string CmdShow(_SIM_CONTEXT& Ctx, const Args& a) {
    SimMac mac{};
    if (!SimMacParse(a[1], &mac)) return Error("'" + a[1] + "' is not a MAC address");
    _SIM_UNIT* u = SimUnitGet(Ctx, mac);
    if (u == nullptr) return Error("no unit " + SimMacFormat(mac));
    const auto& st = u->Stats;
    return "ok " + SimMacFormat(mac) + " iface=" + u->Iface->Name + " profile=" + u->Profile->Name +
           " silent=" + (u->Silent ? "1" : "0") + " hostile=" + SimHostileName(u->Hostile) + "/" +
           std::to_string(u->HostileArg) + " delay=" + std::to_string(u->DelayMs) +
           " info-reply=" + Hex(u->InfoReturnCode) + "/" + Hex(u->InfoLengthByte) +
           " search-reply=" + std::to_string(u->SearchReplyAdvance) + "/" +
           std::to_string(u->SearchReplyDock) + " link=" + std::to_string(u->Link.LinkStatus) + "/" +
           SimMacFormat(u->Link.ConnectedHostMac) + " rx=" + std::to_string(st.RxFrames) +
           " tx=" + std::to_string(st.TxFrames) + " searches=" + std::to_string(st.Searches) +
           " info-requests=" + std::to_string(st.InfoRequests) + " ignored=" + std::to_string(st.Ignored) +
           " connect-reply=" + SimForcedReplyText(u->ConnectReply) +
           " disconnect-reply=" + SimForcedReplyText(u->DisconnectReply) +
           " seq=" + std::to_string(u->TxSeq) + " host-seq=" + std::to_string(u->HostSeq) +
           " nak-next=" + std::to_string(u->NakNext) + " loss=" + std::to_string(u->Loss.Setting.RxPercent) +
           "/" + std::to_string(u->Loss.Setting.TxPercent) + "/" + std::to_string(u->Loss.Setting.Seed) +
           " watchdog=" + std::to_string(u->WatchdogMs) + " connects=" + std::to_string(st.Connects) +
           " disconnects=" + std::to_string(st.Disconnects) + " refused=" + std::to_string(st.Refused) +
           " keep-alives=" + std::to_string(st.KeepAlives) +
           " ka-timeouts=" + std::to_string(st.KeepAliveTimeouts) + " tlps-rx=" + std::to_string(st.TlpsRx) +
           " tlps-tx=" + std::to_string(st.TlpsTx) + " acks=" + std::to_string(st.AcksTx) +
           " naks=" + std::to_string(st.NaksTx) + " acks-rx=" + std::to_string(st.AcksRx) +
           " naks-rx=" + std::to_string(st.NaksRx) + " lost=" + std::to_string(st.RxLost) + "/" +
           std::to_string(st.TxLost) + " unacked=" + SimUnackedText(*u) + ModelShow(*u) +
           " tlp-seqs=" + SimSeqHistoryText(*u);
}

std::string CmdVerbose(_SIM_CONTEXT& Ctx, const Args& a) {
    if (a[1] != "on" && a[1] != "off") return Error("usage: verbose on|off");
    Ctx.Verbose = a[1] == "on";
    return "ok verbose " + a[1];
}

std::string CmdQuit(_SIM_CONTEXT& Ctx, const Args&) {
    Ctx.QuitRequested = true;
    return "ok bye";
}

const Command kCommands[] = {
    {"help", 0, 0, "help", &CmdHelp},
    {"add", 3, 3, "add PROFILE MAC IFACE", &CmdAdd},
    {"add-many", 4, 4, "add-many COUNT PROFILE FIRST-MAC IFACE", &CmdAddMany},
    {"remove", 1, 1, "remove MAC|all", &CmdRemove},
    {"silent", 1, 1, "silent MAC|all", &CmdSilent},
    {"talk", 1, 1, "talk MAC|all", &CmdTalk},
    {"info-reply", 2, 3, "info-reply MAC|all RC LEN | default", &CmdInfoReply},
    {"hostile", 2, 3, "hostile MAC|all KIND [ARG]", &CmdHostile},
    {"search-reply", 3, 3, "search-reply MAC|all advance|dock CODE|default", &CmdSearchReply},
    {"delay", 2, 2, "delay MAC|all MS", &CmdDelay},
    {"link-state", 3, 3, "link-state MAC|all STATUS HOST-MAC", &CmdLinkState},
    {"connect-reply", 2, 2, "connect-reply MAC|all RC|default|none", &CmdConnectReply},
    {"disconnect-reply", 2, 2, "disconnect-reply MAC|all RC|default|none", &CmdDisconnectReply},
    {"device-seq", 2, 2, "device-seq MAC|all SEQ", &CmdDeviceSeq},
    {"password", 2, 2, "password MAC|all TEXT|hex:HEX|default", &CmdPassword},
    {"ka-timeout", 1, 1, "ka-timeout MAC|all", &CmdKeepAliveTimeout},
    {"watchdog", 2, 2, "watchdog MAC|all MS|off", &CmdWatchdog},
    {"nak-next", 1, 2, "nak-next MAC|all [N]", &CmdNakNext},
    {"loss", 2, 4, "loss MAC|all RX-PERCENT TX-PERCENT SEED | off", &CmdLoss},
    {"clear-seqs", 1, 1, "clear-seqs MAC|all", &CmdClearSeqs},
    {"answer-fault", 2, 4, "answer-fault MAC|all tid|offset|length|drop [COUNT] | late MS [COUNT] | off",
     &CmdAnswerFault},
    {"reg", 3, 3 + kSimRegisterWords, "reg MAC CHL OFFSET [VALUE...]", &CmdReg},
    {"event", 6, 6 + 1024, "event MAC CHL B0 B1 B2 B3 [HEX...]", &CmdEvent},
    {"data", 3, 3 + 1024, "data MAC CHL FLAG [HEX...]", &CmdData},
    {"list", 0, 0, "list", &CmdList},
    {"show", 1, 1, "show MAC", &CmdShow},
    {"verbose", 1, 1, "verbose on|off", &CmdVerbose},
    {"quit", 0, 0, "quit", &CmdQuit},
};

std::string CmdHelp(_SIM_CONTEXT&, const Args&) {
    std::string s = "ok";
    for (const auto& c : kCommands) s += std::string(" | ") + c.Usage;
    for (const auto* m : SimChannelModels())
        for (size_t i = 0; i < m->CommandCount; ++i) s += std::string(" | ") + m->Commands[i].Usage;
    return s;
}

}  // namespace

bool SimUnitAddMany(_SIM_CONTEXT& Ctx, unsigned Count, const std::string& Profile, const SimMac& BaseMac,
                    const std::string& Iface, std::string* pError) {
    if (Count == 0 || Count > kSimMaxUnits) {
        if (pError) *pError = "count must be 1..255";
        return false;
    }
    if (Ctx.Units.size() + Count > kSimMaxUnits) {
        if (pError)
            *pError = std::to_string(Count) + " more units would exceed 255 (" +
                      std::to_string(Ctx.Units.size()) + " exist)";
        return false;
    }
    std::vector<SimMac> added;
    for (unsigned i = 0; i < Count; ++i) {
        SimMac mac{};
        bool ok = SimMacAdd(BaseMac, i, &mac);
        if (!ok && pError) *pError = "MAC range runs past ff:ff:ff:ff:ff:ff";
        // Consecutive MACs must stay in the same group-bit class as the first one.
        if (ok && SimMacIsMulticast(mac) != SimMacIsMulticast(BaseMac)) {
            ok = false;
            if (pError) *pError = "MAC range crosses into group addresses at " + SimMacFormat(mac);
        }
        if (ok) ok = SimUnitAdd(Ctx, Profile, mac, Iface, pError);
        if (!ok) {
            for (const auto& m : added) SimUnitRemove(Ctx, m, nullptr);
            return false;
        }
        added.push_back(mac);
    }
    return true;
}

std::string SimControlExecute(_SIM_CONTEXT& Ctx, const std::string& Line) {
    Args args;
    std::istringstream in(Line);
    for (std::string t; in >> t;) args.push_back(t);
    if (args.empty()) return Error("empty command");
    for (const auto& c : kCommands) {
        if (args[0] != c.Name) continue;
        const size_t n = args.size() - 1;
        if (n < c.MinArgs || n > c.MaxArgs) return Error(std::string("usage: ") + c.Usage);
        return c.Run(Ctx, args);
    }
    for (const auto* m : SimChannelModels()) {
        for (size_t i = 0; i < m->CommandCount; ++i) {
            const _SIM_MODEL_COMMAND& c = m->Commands[i];
            if (args[0] != c.Name) continue;
            const size_t n = args.size() - 1;
            if (n < c.MinArgs || n > c.MaxArgs) return Error(std::string("usage: ") + c.Usage);
            return c.Run(Ctx, args);
        }
    }
    return Error("unknown command '" + args[0] + "' (try help)");
}

bool SimControlTargets(_SIM_CONTEXT& Ctx, const std::string& Which, std::vector<_SIM_UNIT*>* pOut,
                       std::string* pError) {
    return Targets(Ctx, Which, pOut, pError);
}

bool SimControlParseNumber(const std::string& S, unsigned long Max, unsigned long* pOut) {
    return ParseNumber(S, Max, pOut);
}

bool SimControlParseHex(const std::string& S, std::vector<uint8_t>* pOut) {
    return ParseHex(S, pOut);
}

bool SimControlHostOf(const _SIM_UNIT& Unit, SimMac* pHost, std::string* pError) {
    return HostOf(Unit, pHost, pError);
}
