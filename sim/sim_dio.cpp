#include "sim_dio.h"

#include <cstdio>

#include "qor_wire.h"
#include "sim_link.h"

namespace {

constexpr size_t kRegInput = 0, kRegDelta = 1, kRegWriteEnable = 3, kRegOutput = 4, kRegLatchRise = 9,
                 kRegLatchFall = 10, kRegCounterReset = 11, kRegCountRise = 12, kRegCountFall = 13,
                 kRegCounter = 64;

std::unique_ptr<_SIM_CHANNEL_STATE> Create(_SIM_CONTEXT&, _SIM_UNIT&, const _SIM_DIB& Dib) {
    auto s = std::make_unique<_SIM_DIO_STATE>();
    s->Version = Dib.Info;
    return s;
}

// Writes that reach the output or the counter reset register are the model's: every word is
// stored here, those two with their own effect.
bool TakeWrite(_SIM_CONTEXT& Ctx, _SIM_UNIT& Unit, const _SIM_FRAME& F) {
    const _SIM_TLP& t = F.Tlp;
    std::vector<uint32_t>* regs = SimUnitRegisters(Unit, t.ChlNumber);
    if (regs == nullptr) return false;
    const size_t first = std::min<size_t>(t.Offset, regs->size());
    const size_t n = std::min<size_t>({t.LengthInDW, regs->size() - first, t.DataLength / 4});
    const bool ours = first <= kRegCounterReset && first + n > kRegOutput;
    if (!ours) return false;
    for (size_t i = 0; i < n; ++i) {
        const size_t at = first + i;
        const uint32_t w = qor::GetLe32(t.Data + 4 * i);
        if (at == kRegOutput) {
            const uint32_t enable = (*regs)[kRegWriteEnable];
            (*regs)[kRegOutput] = ((*regs)[kRegOutput] & ~enable) | (w & enable);
        } else if (at == kRegCounterReset) {
            for (size_t line = 0; line < 32; ++line)
                if ((w >> line) & 1) (*regs)[kRegCounter + line] = 0;
        } else {
            (*regs)[at] = w;
        }
    }
    if (Ctx.Verbose)
        SimLog(Ctx, "   " + SimMacFormat(Unit.Mac) + ": dio " + std::to_string(t.ChlNumber) +
                        ": write registers " + std::to_string(first) + ".." + std::to_string(first + n - 1));
    return true;
}

std::string Show(const _SIM_UNIT& Unit) {
    std::string out;
    for (const auto& [chl, state] : Unit.ChannelStates) {
        const auto* s = dynamic_cast<const _SIM_DIO_STATE*>(state.get());
        auto it = Unit.Registers.find(chl);
        if (s == nullptr || it == Unit.Registers.end()) continue;
        char b[96];
        std::snprintf(b, sizeof(b), " dio%u=in:0x%08x,out:0x%08x,dir:0x%08x,events:%llu", chl,
                      it->second[kRegInput], it->second[kRegOutput], it->second[5],
                      static_cast<unsigned long long>(s->Events));
        out += b;
    }
    return out;
}

std::string CmdDioIn(_SIM_CONTEXT& Ctx, const std::vector<std::string>& a) {
    std::vector<_SIM_UNIT*> units;
    std::string err;
    if (!SimControlTargets(Ctx, a[1], &units, &err) || units.size() != 1)
        return "error " + (err.empty() ? "one unit" : err);
    _SIM_UNIT& u = *units[0];
    unsigned long chl = 0, state = 0;
    if (!SimControlParseNumber(a[2], 255, &chl)) return "error channel must be 0..255";
    if (!SimControlParseNumber(a[3], 0xFFFFFFFFul, &state)) return "error state must be a 32-bit value";
    auto* s = SimChannelStateAs<_SIM_DIO_STATE>(u, static_cast<uint8_t>(chl));
    std::vector<uint32_t>* regs = SimUnitRegisters(u, static_cast<uint8_t>(chl));
    if (s == nullptr || regs == nullptr)
        return "error channel " + std::to_string(chl) + " is not a DIO channel";
    std::vector<uint32_t>& r = *regs;
    const uint32_t old = r[kRegInput], now = static_cast<uint32_t>(state);
    const uint32_t changed = old ^ now, rise = changed & now, fall = changed & old;
    r[kRegInput] = now;
    r[kRegDelta] |= changed;
    r[kRegLatchRise] |= rise;
    r[kRegLatchFall] |= fall;
    for (size_t line = 0; line < 32; ++line) {
        const uint32_t bit = 1u << line;
        if (((rise & r[kRegCountRise]) | (fall & r[kRegCountFall])) & bit) ++r[kRegCounter + line];
    }
    if (changed == 0) return "ok dio-in unchanged";
    SimMac host{};
    if (!SimControlHostOf(u, &host, &err)) return "ok dio-in no event: " + err;
    _SIM_TLP t{};
    t.Type = kSimTlpEvent;
    t.ChlNumber = static_cast<uint8_t>(chl);
    t.Event = {static_cast<uint8_t>(changed), static_cast<uint8_t>(changed >> 8),
               static_cast<uint8_t>(changed >> 16), static_cast<uint8_t>(changed >> 24)};
    std::vector<uint8_t> data(8, 0);
    qor::PutLe32(data.data(), now);
    const int seq = SimUnitSendTlp(Ctx, u, host, t, data);
    if (seq < 0) return "error event not sent";
    ++s->Events;
    return "ok dio-in event seq " + std::to_string(seq);
}

const _SIM_MODEL_COMMAND kCommands[] = {
    {"dio-in", 3, 3, "dio-in MAC CHL STATE", &CmdDioIn},
};

}  // namespace

const _SIM_CHANNEL_MODEL kSimDioModel = {
    3,  // DIO
    &Create, nullptr, nullptr, nullptr, &Show, kCommands, std::size(kCommands), &TakeWrite,
};
