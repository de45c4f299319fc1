// The console program: start-up, the main menu and its actions.
#pragma once

#include "mng_client.h"

// The one management client of the console.
extern _MNG_CLIENT MngClient;

// The whole program; returns the process exit status (-1 when start-up fails).
int PemMain(void);

void PemPrintMenu(void);
// Runs the action of one main-menu key; 0 when the key ends the menu loop (Q).
int PemMenuDispatch(PMNG_CLIENT pClient, int Key);

// Printers for the list answers, each bounded by Length.
void PemPrintServiceInfo(const uint8_t* pPayload, size_t Length);
void PemPrintNicList(const uint8_t* pPayload, size_t Length);
// 28-byte records (search) or 36-byte records with ports (connected units).
void PemPrintVnList(const uint8_t* pPayload, size_t Length, bool WithPorts);
// Mapping info records back to back; returns how many were printed.
int PemPrintMappingInfo(const uint8_t* pPayload, size_t Length);
