#include "sim_channel.h"

#include "sim_ai.h"
#include "sim_ao.h"
#include "sim_ctu.h"
#include "sim_dio.h"
#include "sim_tps.h"
#include "sim_uart.h"

namespace {

// The models, one per DIB type. A new model adds its `extern` here and one line to the list.
const std::vector<const _SIM_CHANNEL_MODEL*>& Models() {
    static const std::vector<const _SIM_CHANNEL_MODEL*> models = {
        &kSimCtuModel,
        &kSimUartModel,
        &kSimDioModel,
        &kSimTpsModel,
        &kSimAiModel,
        &kSimUiModel,
        &kSimMaiModel,
        &kSimAoModel,
        &kSimUoModel,
        &kSimBaoModel,
    };
    return models;
}

const char* FaultName(SimAnswerFault k) {
    switch (k) {
        case SimAnswerFault::TransactionId:
            return "with another TransactionID";
        case SimAnswerFault::Offset:
            return "with another Offset";
        case SimAnswerFault::Length:
            return "with another LengthInDW";
        case SimAnswerFault::Late:
            return "late";
        case SimAnswerFault::Drop:
            return "not at all";
        default:
            return "as asked";
    }
}

}  // namespace

const std::vector<const _SIM_CHANNEL_MODEL*>& SimChannelModels() {
    return Models();
}

const _SIM_CHANNEL_MODEL* SimChannelModel(uint8_t DibType) {
    for (const auto* m : Models())
        if (m->DibType == DibType) return m;
    return nullptr;
}

void SimChannelStatesInit(_SIM_CONTEXT& Ctx, _SIM_UNIT& Unit) {
    Unit.ChannelStates.clear();
    for (const auto& dib : Unit.Profile->Dibs) {
        const _SIM_CHANNEL_MODEL* m = SimChannelModel(dib.Type);
        if (m == nullptr || m->Create == nullptr) continue;
        if (auto state = m->Create(Ctx, Unit, dib)) Unit.ChannelStates[dib.ChlNumber] = std::move(state);
    }
}

_SIM_CHANNEL_STATE* SimChannelState(_SIM_UNIT& Unit, uint8_t ChlNumber) {
    auto it = Unit.ChannelStates.find(ChlNumber);
    return it == Unit.ChannelStates.end() ? nullptr : it->second.get();
}

void SimUnitSendAnswer(_SIM_CONTEXT& Ctx, _SIM_UNIT& Unit, const SimMac& Dst, _SIM_TLP Tlp,
                       const std::vector<uint8_t>& Data) {
    _SIM_ANSWER_FAULT& f = Unit.AnswerFault;
    SimAnswerFault kind = SimAnswerFault::None;
    if (f.Kind != SimAnswerFault::None && f.Count > 0) {
        kind = f.Kind;
        if (--f.Count == 0) f.Kind = SimAnswerFault::None;
        SimLog(Ctx, SimMacFormat(Unit.Mac) + ": answer for channel " + std::to_string(Tlp.ChlNumber) + " sent " +
                        FaultName(kind) + " (" + std::to_string(f.Count) + " more to spoil)");
    }
    switch (kind) {
        case SimAnswerFault::TransactionId:
            Tlp.TransactionID = static_cast<uint8_t>(Tlp.TransactionID + 1);
            break;
        case SimAnswerFault::Offset:
            Tlp.Offset = static_cast<uint8_t>(Tlp.Offset + 1);
            break;
        case SimAnswerFault::Length: {
            // One word fewer (or one more for an empty answer): the words carried follow it.
            std::vector<uint8_t> d = Data;
            if (Tlp.LengthInDW > 0) {
                --Tlp.LengthInDW;
                d.resize(d.size() >= 4 ? d.size() - 4 : 0);
            } else {
                Tlp.LengthInDW = 1;
                d.assign(4, 0);
            }
            SimUnitSendTlp(Ctx, Unit, Dst, Tlp, d);
            return;
        }
        case SimAnswerFault::Drop:
            return;
        case SimAnswerFault::Late: {
            // The unit is found again by MAC and serial, so a unit removed meanwhile is left alone.
            Tlp.Data = nullptr;  // the answer's words travel in Data, not in the request's frame
            const SimMac mac = Unit.Mac;
            const uint64_t serial = Unit.Serial;
            _SIM_CONTEXT* ctx = &Ctx;
            Ctx.Timers.Add(Ctx.Now() + f.LateMs, [ctx, mac, serial, Dst, Tlp, Data]() {
                _SIM_UNIT* u = SimUnitGet(*ctx, mac);
                if (u != nullptr && u->Serial == serial) SimUnitSendTlp(*ctx, *u, Dst, Tlp, Data);
            });
            return;
        }
        default:
            break;
    }
    SimUnitSendTlp(Ctx, Unit, Dst, Tlp, Data);
}
