// The control-unit channel (DIB type 0): configuration transactions through registers 8
// (control), 9 (item FIFO) and 11 (non-volatile memory control), completion events of class 1
// and 2, firmware download and programming, and the "reboot" that gives a unit a new identity.
#pragma once

#include "sim_channel.h"

extern const _SIM_CHANNEL_MODEL kSimCtuModel;

// Called when a unit's link is dropped (a disconnect answered with success, the watchdog): a
// unit with a changed MAC or a finished firmware update reboots now, under its new identity.
void SimCtuLinkDropped(_SIM_CONTEXT& Ctx, _SIM_UNIT& Unit);
