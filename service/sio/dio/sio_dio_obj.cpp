#include "sio_dio_obj.h"

#include <stdio.h>

#include "dio_cache.h"
#include "pem_dbg.h"
#include "pem_lock.h"
#include "vn_unit_services.h"

_DLIST SioDioObjList = {&SioDioObjList, &SioDioObjList};
int SioDioObjAmount = 0;
pthread_mutex_t SioDioObjListMutex = PTHREAD_MUTEX_INITIALIZER;

namespace {

#define DIO_OBJ_FMT "DIO (:%.2x:%.2x:%.2x, C:%d, %p), "

int _FamilyAdd(PVN_DEVICE pVn, PDIB pDib, int) {
    return SioDioObjAdd(pVn, pDib);
}
void _FamilyDel(PVN_DEVICE pVn, PDIB pDib, int) {
    SioDioObjDel(pVn, pDib);
}
int _FamilyInfo(PVN_DEVICE pVn, PDIB pDib, int) {
    return SioDioObjGetControllerAndBankInfo(pVn, pDib);
}
// DIO channels are served by the SIO server whether the unit is mapped or not.
const _VN_CHANNEL_FAMILY kDioChannelFamily = {0,
                                              1,
                                              1,
                                              _FamilyAdd,
                                              _FamilyDel,
                                              _FamilyInfo,
                                              1,
                                              "get DIO controller & bank info fail",
                                              "get DIO controller & bank info fail"};

const _VN_TLP_CONSUMER kDioConsumer = {
    [](PVN_DEVICE pVn, uint8_t Chl) { return SioObjConsumerFind(SioDioFamily, pVn, Chl); },
    SioObjConsumerResponse, SioObjConsumerData, SioObjConsumerEvent, SioObjConsumerRelease};

// The cache as a flash store reads it, under the channel's register lock.
int _CacheRead(PVN_DEVICE pVn, uint8_t ChlNumber, _DIO_CACHE_WORDS* pOut) {
    SioObjRef o = SioDioObjGetByVnMacAndDibChlNumber(pVn->Mac, ChlNumber);
    if (!o || o->VnPtr != pVn) return 0;
    qor::MutexLock reg(&o->RegMutex);
    const _DIB_DIO* d = o->DibPtr->DioPtr.get();
    if (!d) return 0;
    pOut->Reg[0] = d->InputInvertEnableReg;
    pOut->Reg[1] = d->DirectionCtrlReg;
    pOut->Reg[2] = d->OutputInitialValueReg;
    pOut->Reg[3] = d->OutputSafeValueReg;
    pOut->Reg[4] = d->OutputSafeValueTimerReg;
    pOut->Banks = d->NumberOfBanks < kDibMaxDioBanks ? d->NumberOfBanks : kDibMaxDioBanks;
    for (int b = 0; b < pOut->Banks; ++b) pOut->BankCtrl[b] = d->Bank[b].CtrlReg;
    return 1;
}

}  // namespace

const _SIO_FAMILY SioDioFamily = {
    SIO_DEVICE_DIO,   "DIO (T:%d, C:%d), ", DIO_OBJ_FMT,       &SioDioObjList, &SioDioObjListMutex,
    &SioDioObjAmount, SioDioCodeName,       SioDioCommandWord, SioDioHandle,   0,
    nullptr,          SioDioEventHandle,    nullptr,
};

int SioDioObjAdd(PVN_DEVICE pVn, PDIB pDib) {
    return SioObjAdd(SioDioFamily, pVn, pDib);
}

void SioDioObjDel(PVN_DEVICE pVn, PDIB pDib) {
    SioObjDel(SioDioFamily, pVn, pDib);
}

void SioDioObjDelAll() {
    SioObjDelAll(SioDioFamily);
}

SioObjRef SioDioObjGetByVnMacAndDibChlNumber(const uint8_t* pMac, uint8_t ChlNumber) {
    return SioObjGetByVnMacAndDibChlNumber(SioDioFamily, pMac, ChlNumber);
}

int SioDioObjGetControllerAndBankInfo(PVN_DEVICE pVn, PDIB pDib) {
    SioObjRef o = SioDioObjGetByVnMacAndDibChlNumber(pVn->Mac, pDib->ChlNumber);
    if (!o || o->DibPtr != pDib || !pDib->DioPtr) return 0;
    const uint8_t* m = pVn->Mac;
    char prefix[64];
    snprintf(prefix, sizeof(prefix), DIO_OBJ_FMT, m[3], m[4], m[5], pDib->ChlNumber,
             static_cast<void*>(o.get()));
    if (pDib->DioPtr->Version > 2) {
        PemDbg(1, 1, "%sget info fail, unsupport version:x%02x\n", prefix, pDib->DioPtr->Version);
        return 0;
    }
    return SioDioObjReadControllerAndBanks(o.get(), prefix);
}

void SioDioObjRegister() {
    VnUnitServices.Families[DIB_TYPE_DIO] = &kDioChannelFamily;
    VnTlpConsumers[DIB_TYPE_DIO] = &kDioConsumer;
    SioFamilies[SIO_DEVICE_DIO] = &SioDioFamily;
    DioCacheRead = _CacheRead;
}

void SioDioObjUnregister() {
    DioCacheRead = nullptr;
    SioFamilies[SIO_DEVICE_DIO] = nullptr;
    VnTlpConsumers[DIB_TYPE_DIO] = nullptr;
    VnUnitServices.Families[DIB_TYPE_DIO] = nullptr;
}
