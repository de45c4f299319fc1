#include "sim_ai.h"

#include <algorithm>
#include <memory>

#include "sim_link.h"

namespace {

constexpr uint8_t kTypeAi = 5, kTypeUi = 7, kTypeMai = 10;
constexpr uint32_t kSampleEnable = 0x1, kDataEnable = 0x2, kEventEnable = 0x4;
constexpr size_t kDataTlpMax = 0x7FF;

// The number of input ports in each type's DIB extra data.
uint8_t PortsOf(const _SIM_DIB& d) {
    const size_t at = d.Type == kTypeAi ? 4 : 8;
    return at < d.ExtraData.size() ? std::min<uint8_t>(d.ExtraData[at], 16) : 0;
}

std::unique_ptr<_SIM_CHANNEL_STATE> Create(_SIM_CONTEXT&, _SIM_UNIT&, const _SIM_DIB& Dib) {
    auto s = std::make_unique<_SIM_AI_STATE>();
    s->Type = Dib.Type;
    s->Ports = PortsOf(Dib);
    return s;
}

uint32_t TlpCtrl(_SIM_UNIT& Unit, uint8_t Chl) {
    std::vector<uint32_t>* r = SimUnitRegisters(Unit, Chl);
    return r != nullptr && !r->empty() ? (*r)[0] : 0;
}

const char* TypeName(uint8_t t) {
    return t == kTypeAi ? "ai" : t == kTypeUi ? "ui" : "mai";
}

std::string ShowType(const _SIM_UNIT& Unit, uint8_t Type) {
    std::string s;
    auto& u = const_cast<_SIM_UNIT&>(Unit);
    for (auto& [chl, state] : u.ChannelStates) {
        auto* a = dynamic_cast<_SIM_AI_STATE*>(state.get());
        if (a == nullptr || a->Type != Type) continue;
        const std::vector<uint32_t>* r = SimUnitRegisters(u, chl);
        s += " " + std::string(TypeName(a->Type)) + std::to_string(chl) +
             "=tlp:" + std::to_string(r ? (*r)[0] : 0) + ",sent:" + std::to_string(a->StreamSent) +
             ",held:" + std::to_string(a->StreamHeld) + ",events:" + std::to_string(a->Events);
        // Each port's block as the map places it.
        const _SIM_AI_MAP m = SimAiMap(a->Type);
        for (uint8_t p = 0; r && p < a->Ports; ++p) {
            s += ",p" + std::to_string(p) + ":";
            for (uint8_t w = 0; w < m.PortWords; ++w)
                s += (w ? "/" : "") + std::to_string((*r)[m.PortFirst + m.PortWords * p + w]);
        }
    }
    return s;
}

std::string ShowAi(const _SIM_UNIT& Unit) {
    return ShowType(Unit, kTypeAi);
}
std::string ShowUi(const _SIM_UNIT& Unit) {
    return ShowType(Unit, kTypeUi);
}
std::string ShowMai(const _SIM_UNIT& Unit) {
    return ShowType(Unit, kTypeMai);
}

// Sends what the stream owes by now; schedules the next tick while it runs.
void Tick(_SIM_CONTEXT& Ctx, SimMac Mac, uint64_t Serial, uint8_t Chl, uint64_t Id) {
    _SIM_UNIT* u = SimUnitGet(Ctx, Mac);
    if (u == nullptr || u->Serial != Serial) return;
    auto* s = SimChannelStateAs<_SIM_AI_STATE>(*u, Chl);
    if (s == nullptr || s->StreamId != Id) return;
    SimMac host{};
    std::string err;
    if (!SimControlHostOf(*u, &host, &err)) {
        s->StreamId = 0;
        return;
    }
    const int64_t elapsed = Ctx.Now() - s->StreamStartMs;
    const uint64_t due =
        std::min<uint64_t>(s->StreamCount, static_cast<uint64_t>(elapsed + 1) * s->StreamRate / 1000);
    const uint32_t ctrl = TlpCtrl(*u, Chl);
    const bool on = (ctrl & (kSampleEnable | kDataEnable)) == (kSampleEnable | kDataEnable);
    uint8_t flag = 0;
    for (uint8_t p = 0; p < 16; ++p)
        if (ctrl & (1u << (16 + p))) {
            flag = p;
            break;
        }
    std::vector<uint8_t> data(s->StreamBytes);
    while (s->StreamSent + s->StreamHeld < due) {
        const uint64_t k = s->StreamSent + s->StreamHeld;
        if (!on) {
            ++s->StreamHeld;
            continue;
        }
        for (size_t i = 0; i < data.size(); ++i)
            data[i] = i < 4 ? static_cast<uint8_t>(k >> (8 * i)) : static_cast<uint8_t>(k + i);
        _SIM_TLP t{};
        t.Type = kSimTlpData;
        t.ChlNumber = Chl;
        t.Flag = flag;
        t.LengthInByte = static_cast<uint16_t>(data.size());
        if (SimUnitSendTlp(Ctx, *u, host, t, data) < 0) {
            s->StreamId = 0;
            return;
        }
        ++s->StreamSent;
    }
    if (s->StreamSent + s->StreamHeld >= s->StreamCount) {
        s->StreamId = 0;
        return;
    }
    _SIM_CONTEXT* ctx = &Ctx;
    Ctx.Timers.Add(Ctx.Now() + 1, [ctx, Mac, Serial, Chl, Id]() { Tick(*ctx, Mac, Serial, Chl, Id); });
}

_SIM_AI_STATE* Target(_SIM_CONTEXT& Ctx, const std::string& Mac, const std::string& Chl, _SIM_UNIT** ppUnit,
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
    auto* s = SimChannelStateAs<_SIM_AI_STATE>(*units[0], static_cast<uint8_t>(c));
    if (s == nullptr) {
        *pError = "channel " + std::to_string(c) + " is not an analog input";
        return nullptr;
    }
    *ppUnit = units[0];
    *pChl = static_cast<uint8_t>(c);
    return s;
}

uint64_t gNextStream = 1;

// ai-stream MAC CHL COUNT RATE [BYTES] | ai-stream MAC CHL stop
std::string CmdStream(_SIM_CONTEXT& Ctx, const std::vector<std::string>& a) {
    _SIM_UNIT* u = nullptr;
    uint8_t chl = 0;
    std::string err;
    _SIM_AI_STATE* s = Target(Ctx, a[1], a[2], &u, &chl, &err);
    if (s == nullptr) return "error " + err;
    if (a[3] == "stop") {
        s->StreamId = 0;
        return "ok ai-stream " + std::to_string(chl) + " stopped sent=" + std::to_string(s->StreamSent);
    }
    unsigned long count = 0, rate = 0, bytes = 64;
    if (a.size() < 5 || !SimControlParseNumber(a[3], 100000000, &count) ||
        !SimControlParseNumber(a[4], 1000000, &rate) || rate == 0)
        return "error usage: ai-stream MAC CHL COUNT RATE [BYTES] | ai-stream MAC CHL stop";
    if (a.size() == 6 && (!SimControlParseNumber(a[5], kDataTlpMax, &bytes) || bytes < 4))
        return "error bytes must be 4..2047";
    SimMac host{};
    if (!SimControlHostOf(*u, &host, &err)) return "error " + err;
    s->StreamId = gNextStream++;
    s->StreamCount = count;
    s->StreamRate = static_cast<unsigned>(rate);
    s->StreamBytes = bytes;
    s->StreamSent = 0;
    s->StreamHeld = 0;
    s->StreamStartMs = Ctx.Now();
    Tick(Ctx, u->Mac, u->Serial, chl, s->StreamId);
    return "ok ai-stream " + std::to_string(chl) + " count=" + std::to_string(count) +
           " rate=" + std::to_string(rate);
}

// ai-stream-state MAC CHL: how far the stream got.
std::string CmdStreamState(_SIM_CONTEXT& Ctx, const std::vector<std::string>& a) {
    _SIM_UNIT* u = nullptr;
    uint8_t chl = 0;
    std::string err;
    _SIM_AI_STATE* s = Target(Ctx, a[1], a[2], &u, &chl, &err);
    if (s == nullptr) return "error " + err;
    return "ok ai-stream-state " + std::to_string(chl) + " running=" + (s->StreamId ? "1" : "0") +
           " sent=" + std::to_string(s->StreamSent) + " held=" + std::to_string(s->StreamHeld);
}

// ai-event MAC CHL B0 B1 B2 B3: an event, when the channel's events are enabled.
std::string CmdEvent(_SIM_CONTEXT& Ctx, const std::vector<std::string>& a) {
    _SIM_UNIT* u = nullptr;
    uint8_t chl = 0;
    std::string err;
    _SIM_AI_STATE* s = Target(Ctx, a[1], a[2], &u, &chl, &err);
    if (s == nullptr) return "error " + err;
    _SIM_TLP t{};
    t.Type = kSimTlpEvent;
    t.ChlNumber = chl;
    for (size_t i = 0; i < 4; ++i) {
        unsigned long b = 0;
        if (!SimControlParseNumber(a[3 + i], 255, &b)) return "error event bytes must be 0..255";
        t.Event[i] = static_cast<uint8_t>(b);
    }
    if ((TlpCtrl(*u, chl) & kEventEnable) == 0)
        return "ok ai-event " + std::to_string(chl) + " held (events disabled)";
    SimMac host{};
    if (!SimControlHostOf(*u, &host, &err)) return "error " + err;
    const int seq = SimUnitSendTlp(Ctx, *u, host, t, {});
    if (seq < 0) return "error event not sent";
    ++s->Events;
    return "ok ai-event " + std::to_string(chl) + " seq " + std::to_string(seq);
}

const _SIM_MODEL_COMMAND kCommands[] = {
    {"ai-stream", 3, 5, "ai-stream MAC CHL COUNT RATE [BYTES] | ai-stream MAC CHL stop", &CmdStream},
    {"ai-stream-state", 2, 2, "ai-stream-state MAC CHL", &CmdStreamState},
    {"ai-event", 6, 6, "ai-event MAC CHL B0 B1 B2 B3", &CmdEvent},
};

}  // namespace

_SIM_AI_MAP SimAiMap(uint8_t DibType) {
    switch (DibType) {
        case kTypeAi:
            return {3, 5};  // TLP control, ADC calibration, ADC control; then 5 per port
        case kTypeUi:
            return {4, 3};  // ... and the sample rate control; then 3 per port
        default:
            return {2, 4};  // TLP control, ADC calibration; then 4 per port
    }
}

const _SIM_CHANNEL_MODEL kSimAiModel = {kTypeAi, &Create, nullptr,   nullptr,
                                        nullptr, &ShowAi, kCommands, std::size(kCommands)};
const _SIM_CHANNEL_MODEL kSimUiModel = {kTypeUi, &Create, nullptr, nullptr, nullptr, &ShowUi, nullptr, 0};
const _SIM_CHANNEL_MODEL kSimMaiModel = {kTypeMai, &Create, nullptr, nullptr, nullptr, &ShowMai, nullptr, 0};
