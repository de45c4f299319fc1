// Channel models: what a channel type does beyond its plain register file (a UART that sends
// what is written to its transmit window, a control unit that runs configuration
// transactions, ...). One model per DIB type; a type without a model is a register file only.
// Models run in the event loop's one thread like everything else.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "sim_unit.h"

// A control command a model adds; answered like the built-in ones ("ok ..." / "error ...").
struct _SIM_MODEL_COMMAND {
    const char* Name;
    size_t MinArgs;
    size_t MaxArgs;
    const char* Usage;
    std::string (*Run)(_SIM_CONTEXT& Ctx, const std::vector<std::string>& Args);
};

struct _SIM_CHANNEL_MODEL {
    uint8_t DibType;
    // State for one channel of a unit being added (null when the model keeps none). The
    // register file already holds the profile's values.
    std::unique_ptr<_SIM_CHANNEL_STATE> (*Create)(_SIM_CONTEXT& Ctx, _SIM_UNIT& Unit, const _SIM_DIB& Dib);
    // A CMD write, after its words went to the register file: registers First..First+Count-1.
    void (*OnWrite)(_SIM_CONTEXT& Ctx, _SIM_UNIT& Unit, const _SIM_FRAME& F, size_t First, size_t Count);
    // A CMD read. True when the model answered it itself (or decided not to); false lets the
    // register file answer.
    bool (*OnRead)(_SIM_CONTEXT& Ctx, _SIM_UNIT& Unit, const _SIM_FRAME& F);
    // A DATA TLP for the channel.
    void (*OnData)(_SIM_CONTEXT& Ctx, _SIM_UNIT& Unit, const _SIM_FRAME& F);
    // Extra "key=value" fields for `show` (may be null), e.g. " uart1=...".
    std::string (*Show)(const _SIM_UNIT& Unit);
    const _SIM_MODEL_COMMAND* Commands;
    size_t CommandCount;
    // A CMD write before it reaches the register file. True when the model took it itself (a
    // transmit window, say), so nothing is stored and OnWrite is not called. May be null.
    bool (*TakeWrite)(_SIM_CONTEXT& Ctx, _SIM_UNIT& Unit, const _SIM_FRAME& F) = nullptr;
};

// The model of a DIB type, or null.
const _SIM_CHANNEL_MODEL* SimChannelModel(uint8_t DibType);
// Every model, for command lookup and `help`.
const std::vector<const _SIM_CHANNEL_MODEL*>& SimChannelModels();

// Creates the model state of every channel of a unit (called when the unit is added and
// when it "reboots").
void SimChannelStatesInit(_SIM_CONTEXT& Ctx, _SIM_UNIT& Unit);
// The state of one channel, or null.
_SIM_CHANNEL_STATE* SimChannelState(_SIM_UNIT& Unit, uint8_t ChlNumber);
template <typename T>
T* SimChannelStateAs(_SIM_UNIT& Unit, uint8_t ChlNumber) {
    return dynamic_cast<T*>(SimChannelState(Unit, ChlNumber));
}

// Sends an answer TLP with the unit's pending answer fault applied (one use of it).
void SimUnitSendAnswer(_SIM_CONTEXT& Ctx, _SIM_UNIT& Unit, const SimMac& Dst, _SIM_TLP Tlp,
                       const std::vector<uint8_t>& Data);

// Helpers for model commands, shared with the built-in ones.
// "all" or one MAC; false with *pError set when the MAC is malformed or unknown.
bool SimControlTargets(_SIM_CONTEXT& Ctx, const std::string& Which, std::vector<_SIM_UNIT*>* pOut,
                       std::string* pError);
// Decimal or 0x hexadecimal, at most Max.
bool SimControlParseNumber(const std::string& S, unsigned long Max, unsigned long* pOut);
// Hex digits, two per byte, appended to *pOut.
bool SimControlParseHex(const std::string& S, std::vector<uint8_t>* pOut);
// The connected host of a unit that may send on its own (not silent, connected).
bool SimControlHostOf(const _SIM_UNIT& Unit, SimMac* pHost, std::string* pError);
