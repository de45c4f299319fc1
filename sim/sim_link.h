// The unit's side of the link once it has been found: connect and disconnect answers,
// keep-alive, the watchdog that gives up on a silent host, ACK/NAK of the host's TLPs, the
// per-channel register files, and the ACKs the host sends for the unit's own TLPs. The DLLP
// dispatch table in sim_unit.cpp points here.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "sim_unit.h"

// DLLP handlers (one unit, one accepted frame).
void SimHandleConnect(_SIM_CONTEXT& Ctx, _SIM_UNIT& Unit, const _SIM_FRAME& F);    // codes 2 and 10
void SimHandleKeepAlive(_SIM_CONTEXT& Ctx, _SIM_UNIT& Unit, const _SIM_FRAME& F);  // code 8
void SimHandleHostAck(_SIM_CONTEXT& Ctx, _SIM_UNIT& Unit, const _SIM_FRAME& F);    // codes 0 and 1
// Every TLP: ACK (or NAK while nak-next is set), then the register file or the log.
void SimHandleTlp(_SIM_CONTEXT& Ctx, _SIM_UNIT& Unit, const _SIM_FRAME& F);

// The return code the unit itself gives a connect or disconnect (forced replies aside), and
// in *pWhy a short reason for the log.
uint8_t SimConnectDecide(const _SIM_UNIT& Unit, const _SIM_FRAME& F, std::string* pWhy);

// Sends the keep-alive time-out DLLP (code 24) to the connected host. False (with the reason)
// when the unit has no connected host or is silent.
bool SimUnitSendKeepAliveTimeout(_SIM_CONTEXT& Ctx, _SIM_UNIT& Unit, std::string* pError);

// The register file of a channel, or nullptr when the unit has no DIB with that number.
std::vector<uint32_t>* SimUnitRegisters(_SIM_UNIT& Unit, uint8_t ChlNumber);

// Fills the register files from the profile: zero, then the profile's reg lines in order.
void SimUnitRegistersInit(_SIM_UNIT& Unit);

// "5,6,7n,7": the last kSimSeqShown received TLP numbers, "n" for a NAKed one, led by "..."
// when older ones were left out; "-" when there are none.
std::string SimSeqHistoryText(const _SIM_UNIT& Unit);
// The unit's own TLPs still waiting for the host's ACK, in the same form.
std::string SimUnackedText(const _SIM_UNIT& Unit);
