#include "vn_get_info.h"

#include <errno.h>
#include <string.h>

#include <algorithm>
#include <new>

#include "pem_dbg.h"
#include "pem_lock.h"
#include "pem_thread.h"
#include "pem_utils.h"
#include "qor_wire.h"
#include "vn_dllp_cmd.h"
#include "vn_link_frame.h"
#include "vn_main.h"

namespace {

constexpr unsigned kGetInfoReplyTimeoutMs = 200;

// Allocates the slot's record of type T on first use; an existing one is reused as it is.
template <typename T>
T* _Ensure(PVN_DEVICE pVn, std::unique_ptr<T>& slot, const char* pName) {
    if (!slot) slot.reset(new (std::nothrow) T{});
    if (!slot)
        PemDbg(1, 1, "VN  (:%.2x:%.2x:%.2x), get info thd, malloc DIB %s fail\n", pVn->Mac[3], pVn->Mac[4],
               pVn->Mac[5], pName);
    return slot.get();
}

void _DecodeUart(_DIB& dib) {
    _DIB_UART& u = dib.Uart;
    const uint8_t* x = dib.ExtraData;
    u.Version = dib.Info;
    u.SystemBaseClockX = u.ClockMultiplierM = u.ClockDivisorN = 0;
    uint8_t c0 = 0x01, c1 = 0;  // RS-232 only
    if (u.Version <= 1) {
        u.TxBuffSize = qor::GetLe16(x);
        u.RxBuffSize = qor::GetLe16(x + 2);
    } else if (u.Version <= 4) {
        u.TxBuffSize = qor::GetLe16(x);
        u.RxBuffSize = qor::GetLe16(x + 2);
        c0 = x[4];
        c1 = x[5];
    } else if (u.Version == 5) {
        u.SystemBaseClockX = x[0];
        u.ClockMultiplierM = x[1];
        u.ClockDivisorN = x[2];
        u.TxBuffSize = qor::GetLe16(x + 4);
        u.RxBuffSize = qor::GetLe16(x + 6);
        c0 = x[8];
        c1 = x[9];
    } else {
        u.TxBuffSize = u.RxBuffSize = 0;
    }
    u.RS232Cap = c0 & 1;
    u.RS422Cap = (c0 >> 1) & 1;
    u.RS485Cap = (c0 >> 2) & 1;
    u.AHDCCap = (c0 >> 3) & 1;
    u.CSCap = (c0 >> 4) & 1;
    u.RS422TerminationCtrlCap = (c0 >> 5) & 1;
    u.RS485TerminationCtrlCap = (c0 >> 6) & 1;
    u.RIPowerIO5VCap = (c0 >> 7) & 1;
    u.RIPowerIO12VCap = c1 & 1;
    u.RIPowerIOCap = (c1 >> 1) & 1;
    u.DCDPowerIO5VCap = (c1 >> 2) & 1;
    u.DCDPowerIO12VCap = (c1 >> 3) & 1;
    u.DCDPowerIOCap = (c1 >> 4) & 1;
}

// Banks whose two bytes lie inside the extra data and the bank array.
constexpr int kDioBanksInExtraData = (kDibMaxExtraData - 12) / 4;

void _DecodeDio(const _DIB& dib, _DIB_DIO& d) {
    const uint8_t* x = dib.ExtraData;
    d.Version = dib.Info;
    d.NumberOfBanks = static_cast<uint8_t>(std::min<int>({x[0], kDibMaxDioBanks, kDioBanksInExtraData}));
    d.ShareSameDirectionCtrlCap = x[1] & 1;
    d.SamplingClockScaleCap = x[4];
    d.SystemClockFreq = qor::GetLe32(x + 8);
    uint32_t shift = 0;
    for (int i = 0; i < d.NumberOfBanks; ++i) {
        const uint8_t a = x[12 + 4 * i], b = x[13 + 4 * i];
        _DIB_DIO_BANK& bank = d.Bank[i];
        bank.BankIndex = static_cast<uint8_t>(i);
        bank.NumberOfIOs = static_cast<uint8_t>((a & 0x1F) + 1);
        bank.WritingSettingsToFlashCap = (a >> 5) & 1;
        bank.DirectionCap = static_cast<uint8_t>(((a >> 6) & 1) | (((a >> 7) & 1) << 1));
        bank.EdgeTriggerCap = b & 0x03;
        bank.OutputPinConfigurationCap = static_cast<uint8_t>((b & 0x0C) >> 2);
        bank.OutputPinResistorApplied = static_cast<uint8_t>(((b >> 6) & 1) | (((b >> 7) & 1) << 1));
        bank.IoShiftBits = shift;
        // Computed in 64 bits: banks beyond the 32 lines of the I/O word get no mask bits
        // instead of an undefined shift.
        const uint64_t ones = (uint64_t{1} << bank.NumberOfIOs) - 1;
        bank.IoMask = shift < 64 ? static_cast<uint32_t>(ones << shift) : 0;
        shift += bank.NumberOfIOs;
    }
}

template <typename PortT>
uint8_t _SetPortIndices(PortT (&ports)[kDibMaxPorts], uint8_t count) {
    const uint8_t n = std::min<uint8_t>(count, kDibMaxPorts);
    for (uint8_t k = 0; k < n; ++k) ports[k].PortIndex = k;
    return n;
}

void _CopyRaw4(uint8_t (&dst)[4], const uint8_t* src) {
    memcpy(dst, src, 4);
}

// Fills the typed record of one DIB. Returns 0 when a record could not be allocated.
int _DecodeTyped(PVN_DEVICE pVn, _DIB& dib) {
    const uint8_t* x = dib.ExtraData;
    switch (dib.Type) {
        case DIB_TYPE_CTU:
            dib.CtU.Version = dib.Info;
            return 1;
        case DIB_TYPE_UART:
            _DecodeUart(dib);
            return 1;
        case DIB_TYPE_DIO: {
            _DIB_DIO* d = _Ensure(pVn, dib.DioPtr, "DIO");
            if (!d) return 0;
            _DecodeDio(dib, *d);
            return 1;
        }
        case DIB_TYPE_CNT:
            return _Ensure(pVn, dib.CntPtr, "CNT") ? 1 : 0;
        case DIB_TYPE_AI: {
            _DIB_AI* a = _Ensure(pVn, dib.AiPtr, "AI");
            if (!a) return 0;
            a->Version = dib.Info;
            a->FifoSize = qor::GetLe32(x) & 0x7FFFFFFFu;
            a->FifoType = (x[3] >> 7) & 1;
            a->Resolution = x[5];
            a->SupportInputTypes = x[6];
            a->SupportMaxProgramableGains = x[7];
            a->MaxSamplingRateCapability = qor::GetLe32(x + 8);
            _CopyRaw4(a->Vref, x + 12);
            a->NumberOfInputPorts = _SetPortIndices(a->Port, x[4]);
            return 1;
        }
        case DIB_TYPE_AO: {
            _DIB_AO* a = _Ensure(pVn, dib.AoPtr, "AO");
            if (!a) return 0;
            a->Version = dib.Info;
            a->FifoSize = qor::GetLe16(x);
            a->Resolution = x[5];
            a->SupportMaxProgramableGains = x[6];
            a->MaxUpdateingRateCapability = qor::GetLe32(x + 8);
            _CopyRaw4(a->Vref, x + 12);
            a->NumberOfOutputPorts = _SetPortIndices(a->Port, x[4]);
            return 1;
        }
        case DIB_TYPE_UI: {
            _DIB_UI* u = _Ensure(pVn, dib.UiPtr, "UI");
            if (!u) return 0;
            u->Version = dib.Info;
            u->FifoSize = qor::GetLe16(x);
            u->ClockDividerWidth = x[4] & 0x03;
            u->Resolution = x[9];
            u->SupportInputTypes = x[10];
            u->SupportMaxProgramableGains = x[11];
            u->MaxSamplingRateCapability = qor::GetLe32(x + 12);
            _CopyRaw4(u->Vref, x + 16);
            _CopyRaw4(u->VoltageCoef, x + 20);
            _CopyRaw4(u->CurrentCoef, x + 24);
            _CopyRaw4(u->ResistorCoefAlpha, x + 28);
            _CopyRaw4(u->ResistorCoefBeta, x + 32);
            u->NumberOfInputPorts = _SetPortIndices(u->Port, x[8]);
            return 1;
        }
        case DIB_TYPE_UO: {
            _DIB_UO* u = _Ensure(pVn, dib.UoPtr, "UO");
            if (!u) return 0;
            u->Version = dib.Info;
            u->Resolution = x[1];
            u->SupportOutputTypes = x[2];
            u->SupportMaxProgramableGains = x[3];
            _CopyRaw4(u->Vref, x + 4);
            _CopyRaw4(u->VoltageCoef, x + 8);
            _CopyRaw4(u->CurrentCoef, x + 12);
            u->NumberOfOutputPorts = _SetPortIndices(u->Port, x[0]);
            return 1;
        }
        case DIB_TYPE_BAO: {
            _DIB_BAO* b = _Ensure(pVn, dib.BAoPtr, "BAO");
            if (!b) return 0;
            b->Version = dib.Info;
            b->NumberOfAoGroups = x[1];
            b->Resolution = x[2];
            b->SupportMaxProgramableGains = x[3];
            _CopyRaw4(b->Vref, x + 4);
            b->NumberOfOutputPorts = _SetPortIndices(b->Port, x[0]);
            return 1;
        }
        case DIB_TYPE_MAI: {
            _DIB_MAI* m = _Ensure(pVn, dib.MAiPtr, "MAI");
            if (!m) return 0;
            m->Version = dib.Info;
            m->FifoSize = qor::GetLe32(x) & 0x7FFFFFFFu;
            m->FifoType = (x[3] >> 7) & 1;
            m->MAIType = x[4];
            m->SupportInputSource = x[5];
            m->Resolution = x[9];
            m->SupportInputTypes = x[10];
            m->SupportMaxProgramableGains = x[11];
            _CopyRaw4(m->Vref, x + 12);
            m->NumberOfInputPorts = _SetPortIndices(m->Port, x[8]);
            return 1;
        }
        case DIB_TYPE_TPS: {
            _DIB_TPS* t = _Ensure(pVn, dib.TpsPtr, "TPS");
            if (!t) return 0;
            t->Version = dib.Info;
            t->Resolution = x[1];
            _CopyRaw4(t->LsbUnit, x + 4);
            t->NumberOfSensors = _SetPortIndices(t->Port, x[0]);
            return 1;
        }
        default:  // parallel port, string channel and unknown types keep their raw bytes only
            return 1;
    }
}

const char* _NicName(PVN_DEVICE pVn) {
    return pVn->NicPtr ? pVn->NicPtr->InterfaceName : "-";
}

// One request and answer, as one exchange of the unit. Returns 0 when the thread must end.
int _GetInfoPass(PVN_DEVICE pVn) {
    const uint8_t* m = pVn->Mac;
    pVn->DllpGetInfoThreadSuccess = 0;
    // Only the info-structure answer ends the wait: a late connect or disconnect answer is
    // neither taken for it nor a reason to end the thread.
    VnDllpExchange exchange(pVn, DLLP_CMD_ACU_RESPONSE);
    VnDllpCmdGetInfoStructure(pVn->NicPtr.get(), pVn->Mac);
    const int rc = exchange.WaitReply(kGetInfoReplyTimeoutMs, &pVn->DllpGetInfoThreadExit);
    if (pVn->DllpGetInfoThreadExit) return 0;
    if (pVn->RxLength == 0) {
        // A unit that went away times out on every search cycle until it is removed: shown
        // only when debug printing or logging is switched on.
        if (rc == ETIMEDOUT)
            PemDbg(0, 0, "VN  (:%.2x:%.2x:%.2x)(%s), get info thd, TIMEOUT\n", m[3], m[4], m[5],
                   _NicName(pVn));
        else
            PemDbg(1, 1, "VN  (:%.2x:%.2x:%.2x)(%s), get info thd, NO DATA\n", m[3], m[4], m[5],
                   _NicName(pVn));
        return 1;
    }
    // The reply slot holds a whole frame of at least the 14 + 2 bytes the dispatch needed.
    const uint8_t* frame = pVn->RxBuff;
    const size_t length = pVn->RxLength;
    const uint8_t code = frame[15] & 0x1F;
    const uint8_t returnCode = length > 16 ? frame[16] : 0;
    const uint8_t lengthByte = length > 17 ? frame[17] : 0;
    if (code != DLLP_CMD_ACU_RESPONSE) {
        PemDbg(1, 1, "VN  (:%.2x:%.2x:%.2x)(%s), get info thd, CmdCode:x%02x not ACU response\n", m[3], m[4],
               m[5], _NicName(pVn), code);
        return 0;
    }
    if (returnCode != 0 && returnCode != 1) {
        PemDbg(1, 1, "VN  (:%.2x:%.2x:%.2x)(%s), get info thd, ReturnCode:x%02x fail\n", m[3], m[4], m[5],
               _NicName(pVn), returnCode);
        return 0;
    }
    // A structure too short for its unit header is treated like any other answer that
    // cannot be decoded.
    if (returnCode == 1 && lengthByte == 0xFF &&
        length >= kInfoStructureFrameOffset + kInfoStructureHeaderLength) {
        qor::WriteLock info(&pVn->InfoLock);
        if (VnGetInfoDecode(pVn, frame + kInfoStructureFrameOffset, length - kInfoStructureFrameOffset)) {
            pVn->Informed = 1;
            pVn->DllpGetInfoThreadSuccess = 1;
        }
        return 1;
    }
    PemDbg(1, 1,
           "VN  (:%.2x:%.2x:%.2x)(%s), get info thd, unknow packet, ReturnCode:x%02x, LengthInDW:x%02x\n",
           m[3], m[4], m[5], _NicName(pVn), returnCode, lengthByte);
    return 1;
}

void* _GetInfoThread(void* pArg) {
    PVN_DEVICE pVn = static_cast<PVN_DEVICE>(pArg);
    // The trigger mutex guards only the pending flag and the wait, never a pass: the NIC
    // receive thread triggers from the very thread that must deliver the pass's reply, so it
    // may not wait for a pass to end. A trigger during a pass leaves the flag set, and the
    // next pass follows at once; triggers are never lost.
    for (;;) {
        {
            qor::MutexLock lock(&pVn->DllpGetInfoThreadMutex);
            while (!pVn->DllpGetInfoThreadPending && !pVn->DllpGetInfoThreadExit)
                pthread_cond_wait(&pVn->DllpGetInfoThreadCondGo, &pVn->DllpGetInfoThreadMutex);
            if (pVn->DllpGetInfoThreadExit) break;
            pVn->DllpGetInfoThreadPending = 0;
        }
        if (!_GetInfoPass(pVn)) break;  // the unit answered with something fatal: end for good
    }
    return nullptr;
}

}  // namespace

int VnGetInfoDecode(PVN_DEVICE pVn, const uint8_t* p, size_t Length) {
    if (Length < kInfoStructureHeaderLength) return 1;
    memcpy(pVn->ModelName, p + 6, 10);
    pVn->TypeInfo = p[16];
    pVn->LinkStatus = p[17];
    memcpy(pVn->ConnectedHostMac, p + 18, 6);
    const uint8_t announced = p[24];
    pVn->DibLengthInDW = p[25];
    pVn->MajorVersion = p[26];
    pVn->MinorVersion = p[27];
    pVn->TypeInfo_Mode = pVn->TypeInfo & 0x07;
    pVn->TypeInfo_Experiment = (pVn->TypeInfo >> 3) & 1;
    pVn->TypeInfo_PasswordEnable = (pVn->TypeInfo >> 4) & 1;
    pVn->TypeInfo_TimeSharingEnable = (pVn->TypeInfo >> 5) & 1;
    pVn->TypeInfo_IsMORA = (pVn->TypeInfo >> 6) & 1;
    pVn->TypeInfo_WithExternalEEPROM = (pVn->TypeInfo >> 7) & 1;

    size_t pos = kInfoStructureHeaderLength;
    int decoded = 0;
    int result = 1;
    const int wanted = std::min<int>(announced, kVnMaxChannels);
    while (decoded < wanted) {
        // A DIB that does not arrive whole ends the table: nothing behind it can be trusted.
        if (Length - pos < 4) break;
        const uint8_t lengthInDW = p[pos + 2];
        const size_t extra = lengthInDW > 1 ? (static_cast<size_t>(lengthInDW) - 1) * 4 : 0;
        if (Length - pos - 4 < extra) break;
        _DIB& dib = pVn->DibArray[decoded];
        dib.ChlNumber = p[pos];
        dib.Type = p[pos + 1];
        dib.LengthInDW = lengthInDW;
        dib.Info = p[pos + 3];
        pos += 4;
        // Typed decoders read fixed offsets of the extra data; bytes the DIB did not carry
        // read as zero rather than as leftovers of an earlier decode.
        memset(dib.ExtraData, 0, sizeof(dib.ExtraData));
        if (extra > 0) {
            if (extra > kDibMaxExtraData)
                PemDbg(1, 1, "VN  (:%.2x:%.2x:%.2x), get info thd, RX RESPONSE, extra data too small\n",
                       pVn->Mac[3], pVn->Mac[4], pVn->Mac[5]);
            memcpy(dib.ExtraData, p + pos, std::min<size_t>(extra, kDibMaxExtraData));
            pos += extra;
        }
        ++decoded;
        if (!_DecodeTyped(pVn, dib)) {
            result = 0;
            break;
        }
    }
    pVn->AvailableChls = static_cast<uint8_t>(decoded);
    return result;
}

int VnGetInfoThreadCreate(PVN_DEVICE pVn) {
    pVn->DllpGetInfoThreadExit = 0;
    pVn->DllpGetInfoThreadPending = 1;  // the first pass runs at once
    if (pthread_mutex_init(&pVn->DllpGetInfoThreadMutex, nullptr) != 0) return 0;
    if (pthread_cond_init(&pVn->DllpGetInfoThreadCondGo, nullptr) != 0) {
        pthread_mutex_destroy(&pVn->DllpGetInfoThreadMutex);
        return 0;
    }
    if (qor::ThreadAttrInit(&pVn->DllpGetInfoThreadAttr) != 0) {
        pthread_cond_destroy(&pVn->DllpGetInfoThreadCondGo);
        pthread_mutex_destroy(&pVn->DllpGetInfoThreadMutex);
        return 0;
    }
    if (qor::ThreadCreate(&pVn->DllpGetInfoThreadHd, &pVn->DllpGetInfoThreadAttr, _GetInfoThread, pVn) != 0) {
        pthread_attr_destroy(&pVn->DllpGetInfoThreadAttr);
        pthread_cond_destroy(&pVn->DllpGetInfoThreadCondGo);
        pthread_mutex_destroy(&pVn->DllpGetInfoThreadMutex);
        return 0;
    }
    pVn->DllpGetInfoThreadRunning = 1;
    return 1;
}

void VnGetInfoThreadTrigger(PVN_DEVICE pVn) {
    qor::MutexLock lock(&pVn->DllpGetInfoThreadMutex);
    pVn->DllpGetInfoThreadPending = 1;
    pthread_cond_signal(&pVn->DllpGetInfoThreadCondGo);
}

void VnGetInfoThreadDelete(PVN_DEVICE pVn) {
    if (!pVn->DllpGetInfoThreadRunning) return;
    // A pass waiting for the unit's reply is cut short, so a stop never waits out the 200 ms.
    pVn->DllpGetInfoThreadExit = 1;
    {
        qor::MutexLock lock(&pVn->DllpCmdCompleteMutex);
        pthread_cond_broadcast(&pVn->DllpCmdCompleteCond);
    }
    {
        qor::MutexLock lock(&pVn->DllpGetInfoThreadMutex);
        pthread_cond_signal(&pVn->DllpGetInfoThreadCondGo);
    }
    pthread_join(pVn->DllpGetInfoThreadHd, nullptr);
    pVn->DllpGetInfoThreadRunning = 0;
    pthread_attr_destroy(&pVn->DllpGetInfoThreadAttr);
}

void VnGetInfoThreadRelease(PVN_DEVICE pVn) {
    pthread_cond_destroy(&pVn->DllpGetInfoThreadCondGo);
    pthread_mutex_destroy(&pVn->DllpGetInfoThreadMutex);
}

PDIB VnGetDibPointer(PVN_DEVICE pVn, uint8_t ChlNumber) {
    const int n = std::min<int>(pVn->AvailableChls, kVnMaxChannels);
    for (int i = 0; i < n; ++i)
        if (pVn->DibArray[i].ChlNumber == ChlNumber) return &pVn->DibArray[i];
    return nullptr;
}

uint8_t VnGetChannelType(PVN_DEVICE pVn, uint8_t ChlNumber) {
    const PDIB pDib = VnGetDibPointer(pVn, ChlNumber);
    return pDib ? pDib->Type : 0;
}
