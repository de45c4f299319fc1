// The console's management receive thread: responses to the waiting request, events to the
// operator's screen.
#pragma once

#include "mng_client.h"

// 1 when the thread runs.
int MngRxThreadCreate(PMNG_CLIENT pClient);
// Stops and joins the thread (an 8-byte 1 on its exit eventfd).
void MngRxThreadDelete(PMNG_CLIENT pClient);
