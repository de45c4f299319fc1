// The console's TCP connection to the service's management port.
#pragma once

#include <cstdint>

#include "mng_client.h"

// Connects to 127.0.0.1:Port; 1 on success, else 0 with the socket closed.
int MngConnect(PMNG_CLIENT pClient, uint16_t Port);
void MngDisconnect(PMNG_CLIENT pClient);
