#include "sim_ao.h"

#include <algorithm>
#include <memory>

#include "sim_link.h"

namespace {

constexpr uint8_t kTypeAo = 6, kTypeUo = 8, kTypeBao = 9;
constexpr uint32_t kEventEnable = 0x2;

// The number of output ports in each type's DIB extra data.
uint8_t PortsOf(const _SIM_DIB& d) {
    const size_t at = d.Type == kTypeAo ? 4 : 0;
    return at < d.ExtraData.size() ? std::min<uint8_t>(d.ExtraData[at], 16) : 0;
}

std::unique_ptr<_SIM_CHANNEL_STATE> Create(_SIM_CONTEXT&, _SIM_UNIT&, const _SIM_DIB& Dib) {
    auto s = std::make_unique<_SIM_AO_STATE>();
    s->Type = Dib.Type;
    s->Ports = PortsOf(Dib);
    return s;
}

const char* TypeName(uint8_t t) {
    return t == kTypeAo ? "ao" : t == kTypeUo ? "uo" : "bao";
}

// Where port p's registers are and how many words each port has.
std::pair<size_t, size_t> PortBlock(uint8_t Type, uint8_t p) {
    switch (Type) {
        case kTypeAo:
            return {3u * (p + 1u), 3};
        case kTypeUo:
            return {4u + 2u * p, 2};
        default:
            return {4u + p, 1};
    }
}

std::string ShowType(const _SIM_UNIT& Unit, uint8_t Type) {
    std::string s;
    auto& u = const_cast<_SIM_UNIT&>(Unit);
    for (auto& [chl, state] : u.ChannelStates) {
        auto* a = dynamic_cast<_SIM_AO_STATE*>(state.get());
        if (a == nullptr || a->Type != Type) continue;
        const std::vector<uint32_t>* r = SimUnitRegisters(u, chl);
        s += " " + std::string(TypeName(a->Type)) + std::to_string(chl) +
             "=tlp:" + std::to_string(r ? (*r)[0] : 0);
        if (Type == kTypeAo)
            s += ",writes:" + std::to_string(a->Writes) + ",refused:" + std::to_string(a->Refused) +
                 ",events:" + std::to_string(a->Events);
        for (uint8_t p = 0; r && p < a->Ports; ++p) {
            const auto [first, words] = PortBlock(a->Type, p);
            s += ",p" + std::to_string(p) + ":";
            for (size_t w = 0; w < words; ++w) s += (w ? "/" : "") + std::to_string((*r)[first + w]);
            if (Type == kTypeAo) s += "/out" + std::to_string(a->Output[p]);
        }
    }
    return s;
}
std::string ShowAo(const _SIM_UNIT& Unit) {
    return ShowType(Unit, kTypeAo);
}
std::string ShowUo(const _SIM_UNIT& Unit) {
    return ShowType(Unit, kTypeUo);
}
std::string ShowBao(const _SIM_UNIT& Unit) {
    return ShowType(Unit, kTypeBao);
}

// Output data: RW 1, Flag the port, exactly two bytes; anything else is counted and dropped.
void OnData(_SIM_CONTEXT& Ctx, _SIM_UNIT& Unit, const _SIM_FRAME& F) {
    auto* s = SimChannelStateAs<_SIM_AO_STATE>(Unit, F.Tlp.ChlNumber);
    if (s == nullptr) return;
    const _SIM_TLP& t = F.Tlp;
    if (t.RW != 1 || t.LengthInByte != 2 || t.DataTruncated || t.DataLength < 2 || t.Flag >= s->Ports) {
        ++s->Refused;
        SimLog(Ctx, SimMacFormat(Unit.Mac) + ": ao" + std::to_string(t.ChlNumber) +
                        " output data refused (flag " + std::to_string(t.Flag) + ", " +
                        std::to_string(t.LengthInByte) + " bytes)");
        return;
    }
    s->Output[t.Flag] = static_cast<uint16_t>((t.Data[0] << 8) | t.Data[1]);
    ++s->Writes;
}

_SIM_AO_STATE* Target(_SIM_CONTEXT& Ctx, const std::string& Mac, const std::string& Chl, _SIM_UNIT** ppUnit,
                      uint8_t* pChl, std::string* pError) {
    std::vector<_SIM_UNIT*> units;
    if (Mac == "all") {
        *pError = "name one unit";
        return nullptr;
    }
    if (!SimControlTargets(Ctx, Mac, &units, pError)) return nullptr;
    unsigned long c = 0;
    if (!SimControlParseNumber(Chl, 255, &c)) {
        *pError = "channel must be 0..255";
        return nullptr;
    }
    auto* s = SimChannelStateAs<_SIM_AO_STATE>(*units[0], static_cast<uint8_t>(c));
    if (s == nullptr || s->Type != kTypeAo) {
        *pError = "channel " + std::to_string(c) + " is not an analog output";
        return nullptr;
    }
    *ppUnit = units[0];
    *pChl = static_cast<uint8_t>(c);
    return s;
}

// ao-output MAC CHL: the last value of every port and the counts.
std::string CmdOutput(_SIM_CONTEXT& Ctx, const std::vector<std::string>& a) {
    _SIM_UNIT* u = nullptr;
    uint8_t chl = 0;
    std::string err;
    _SIM_AO_STATE* s = Target(Ctx, a[1], a[2], &u, &chl, &err);
    if (s == nullptr) return "error " + err;
    std::string out = "ok ao-output " + std::to_string(chl) + " writes=" + std::to_string(s->Writes) +
                      " refused=" + std::to_string(s->Refused) + " values=";
    for (uint8_t p = 0; p < s->Ports; ++p) out += (p ? "," : "") + std::to_string(s->Output[p]);
    return out;
}

// ao-event MAC CHL B0 B1 B2 B3: an event, when the channel's events are enabled.
std::string CmdEvent(_SIM_CONTEXT& Ctx, const std::vector<std::string>& a) {
    _SIM_UNIT* u = nullptr;
    uint8_t chl = 0;
    std::string err;
    _SIM_AO_STATE* s = Target(Ctx, a[1], a[2], &u, &chl, &err);
    if (s == nullptr) return "error " + err;
    _SIM_TLP t{};
    t.Type = kSimTlpEvent;
    t.ChlNumber = chl;
    for (size_t i = 0; i < 4; ++i) {
        unsigned long b = 0;
        if (!SimControlParseNumber(a[3 + i], 255, &b)) return "error event bytes must be 0..255";
        t.Event[i] = static_cast<uint8_t>(b);
    }
    const std::vector<uint32_t>* r = SimUnitRegisters(*u, chl);
    if (r == nullptr || r->empty() || ((*r)[0] & kEventEnable) == 0)
        return "ok ao-event " + std::to_string(chl) + " held (events disabled)";
    SimMac host{};
    if (!SimControlHostOf(*u, &host, &err)) return "error " + err;
    const int seq = SimUnitSendTlp(Ctx, *u, host, t, {});
    if (seq < 0) return "error event not sent";
    ++s->Events;
    return "ok ao-event " + std::to_string(chl) + " seq " + std::to_string(seq);
}

const _SIM_MODEL_COMMAND kCommands[] = {
    {"ao-output", 2, 2, "ao-output MAC CHL", &CmdOutput},
    {"ao-event", 6, 6, "ao-event MAC CHL B0 B1 B2 B3", &CmdEvent},
};

}  // namespace

const _SIM_CHANNEL_MODEL kSimAoModel = {kTypeAo, &Create, nullptr,   nullptr,
                                        &OnData, &ShowAo, kCommands, std::size(kCommands)};
const _SIM_CHANNEL_MODEL kSimUoModel = {kTypeUo, &Create, nullptr, nullptr, nullptr, &ShowUo, nullptr, 0};
const _SIM_CHANNEL_MODEL kSimBaoModel = {kTypeBao, &Create, nullptr, nullptr, nullptr, &ShowBao, nullptr, 0};
