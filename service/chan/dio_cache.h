// The DIO registers a flash store sends, read from a DIO channel's cache. The DIO family
// (service/sio/dio/) changes that cache under its channel's register lock while its commands
// run; the control unit's "store DIO setting to flash" reads it through DioCacheRead, which the
// DIO family sets, so it sees each channel's values whole and never races a command.
#pragma once

#include <cstdint>

#include "vn_device.h"

struct _DIO_CACHE_WORDS {
    // InputInvertEnableReg, DirectionCtrlReg, OutputInitialValueReg, OutputSafeValueReg,
    // OutputSafeValueTimerReg.
    uint32_t Reg[5];
    uint32_t BankCtrl[kDibMaxDioBanks];  // CtrlReg of banks 0..Banks-1
    int Banks;
};

// 1 with *pOut filled when the unit has a DIO channel object for ChlNumber; 0 otherwise (the
// caller then reads the DIB itself: no command can be changing it). The caller holds the
// unit's InfoLock shared. Null while no DIO family is registered.
inline int (*DioCacheRead)(PVN_DEVICE pVn, uint8_t ChlNumber, _DIO_CACHE_WORDS* pOut) = nullptr;
