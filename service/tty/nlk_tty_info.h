// TTY minor numbers (one host-wide table of 256) and the /dev/ttyVN device nodes.
#pragma once

#include <pthread.h>

#include <cstdint>

#include "vn_device.h"

struct _NLK_TTY_INFO {
    int IsMaping;
    unsigned char DibChlNumber;
    uint8_t VnMac[6];
};
constexpr int kNlkTtyMinors = 256;
constexpr unsigned kNlkTtyMajor = 222;
constexpr const char* kNlkTtyNodeFormat = "/dev/ttyVN%d";

extern _NLK_TTY_INFO NlkTtyInfo[kNlkTtyMinors];
extern pthread_mutex_t NlkTtyInfoMutex;

// Lowest free minor, now taken for the unit's channel; -1 when all 256 are in use.
int NlkTtyInfoAlloc(PVN_DEVICE pVn, uint8_t ChlNumber);
void NlkTtyInfoFree(int Minor);

// 0 on success; the system error number is stored in *pErrno in every case.
int NlkTtyCreateDeviceNode(int Minor, int* pErrno);
int NlkTtyDeleteDeviceNode(int Minor, int* pErrno);
void NlkTtyDeleteDeviceNodeAll();

// Hands the minor table and node functions to the link layer's mapping.
void NlkTtyInfoRegister();
void NlkTtyInfoUnregister();
