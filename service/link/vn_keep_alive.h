// Keep-alive of a connected unit: a probe every 300 ms, reconnect after a loss (up to 21
// attempts), then the teardown with one disconnect event.
#pragma once

#include "vn_device.h"

constexpr unsigned kKeepAliveTickMs = 300;
constexpr unsigned kKeepAliveDownCount = 10;     // more outstanding probes: link down
constexpr unsigned kKeepAliveWindow = 16;        // more probes: a new window begins
constexpr unsigned kKeepAliveMaxReconnect = 20;  // attempts while the count is at most this
constexpr unsigned kKeepAliveUnitTimeoutCount = 109;

// Starts the thread; a thread that already runs for this record (idle after a loss) is kept,
// so there is never more than one. 1 on success.
int VnKeepAliveThreadCreate(PVN_DEVICE pVn);
// Ends the thread and waits for a running reconnect or teardown job.
void VnKeepAliveThreadDelete(PVN_DEVICE pVn);
int VnKeepAliveInit(PVN_DEVICE pVn);     // mutexes of the record, at creation
void VnKeepAliveRelease(PVN_DEVICE pVn);  // at the record's last reference

void VnDllpResponseKeepAlive(PVN_DEVICE pVn);
void VnDllpResponseKeepAliveTimeout(PVN_DEVICE pVn);
