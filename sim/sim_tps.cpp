#include "sim_tps.h"

#include <algorithm>

#include "sim_link.h"

namespace {

std::unique_ptr<_SIM_CHANNEL_STATE> Create(_SIM_CONTEXT&, _SIM_UNIT& Unit, const _SIM_DIB& Dib) {
    auto s = std::make_unique<_SIM_TPS_STATE>();
    s->Sensors = Dib.ExtraData.empty() ? 0 : std::min<uint8_t>(Dib.ExtraData[0], 16);
    // A profile's own reading wins.
    if (std::vector<uint32_t>* regs = SimUnitRegisters(Unit, Dib.ChlNumber))
        for (uint8_t p = 0; p < s->Sensors; ++p)
            if ((*regs)[kSimTpsSensorReg + p] == 0) (*regs)[kSimTpsSensorReg + p] = kSimTpsDefaultReading + p;
    return s;
}

std::string CmdTps(_SIM_CONTEXT& Ctx, const std::vector<std::string>& a) {
    std::vector<_SIM_UNIT*> units;
    std::string err;
    if (!SimControlTargets(Ctx, a[1], &units, &err) || units.size() != 1)
        return "error " + (err.empty() ? "one unit" : err);
    unsigned long chl = 0, sensor = 0, value = 0;
    if (!SimControlParseNumber(a[2], 255, &chl)) return "error channel must be 0..255";
    auto* s = SimChannelStateAs<_SIM_TPS_STATE>(*units[0], static_cast<uint8_t>(chl));
    std::vector<uint32_t>* regs = SimUnitRegisters(*units[0], static_cast<uint8_t>(chl));
    if (s == nullptr || regs == nullptr)
        return "error channel " + std::to_string(chl) + " is not a TPS channel";
    if (s->Sensors == 0 || !SimControlParseNumber(a[3], s->Sensors - 1u, &sensor))
        return "error sensor must be below " + std::to_string(s->Sensors);
    if (!SimControlParseNumber(a[4], 0xFFFFFFFFul, &value)) return "error reading must be a 32-bit value";
    (*regs)[kSimTpsSensorReg + sensor] = static_cast<uint32_t>(value);
    return "ok tps " + std::to_string(chl) + " sensor " + std::to_string(sensor);
}

const _SIM_MODEL_COMMAND kCommands[] = {
    {"tps", 4, 4, "tps MAC CHL SENSOR VALUE", &CmdTps},
};

}  // namespace

const _SIM_CHANNEL_MODEL kSimTpsModel = {
    11,  // TPS
    &Create, nullptr, nullptr, nullptr, nullptr, kCommands, std::size(kCommands), nullptr,
};
