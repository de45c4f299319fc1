#include "sio_ser_obj.h"

#include <stdio.h>

#include "pem_dbg.h"
#include "vn_unit_services.h"

_DLIST SioSerObjList = {&SioSerObjList, &SioSerObjList};
int SioSerObjAmount = 0;
pthread_mutex_t SioSerObjListMutex = PTHREAD_MUTEX_INITIALIZER;

namespace {

#define SER_OBJ_FMT "SER (:%.2x:%.2x:%.2x, C:%d, %p), "

int _FamilyAdd(PVN_DEVICE pVn, PDIB pDib, int) {
    return SioSerObjAdd(pVn, pDib);
}
void _FamilyDel(PVN_DEVICE pVn, PDIB pDib, int) {
    SioSerObjDel(pVn, pDib);
}
int _FamilyInfo(PVN_DEVICE pVn, PDIB pDib, int) {
    return SioSerObjGetControllerInfo(pVn, pDib);
}
// UART channels of unmapped units only: a mapped unit's are the TTY bridge's.
const _VN_CHANNEL_FAMILY kSerChannelFamily = {0,
                                              0,
                                              1,
                                              _FamilyAdd,
                                              _FamilyDel,
                                              _FamilyInfo,
                                              1,
                                              "get SER controller info fail",
                                              "get SER controller info fail"};

const _VN_TLP_CONSUMER kSerConsumer = {
    [](PVN_DEVICE pVn, uint8_t Chl) { return SioObjConsumerFind(SioSerFamily, pVn, Chl); },
    SioObjConsumerResponse, SioObjConsumerData, SioObjConsumerEvent, SioObjConsumerRelease};

}  // namespace

const _SIO_FAMILY SioSerFamily = {
    SIO_DEVICE_SER,     "SER (T:%d, C:%d), ", SER_OBJ_FMT,       &SioSerObjList, &SioSerObjListMutex,
    &SioSerObjAmount,   SioSerCodeName,       SioSerCommandWord, SioSerHandle,   SER_DATA_LIBRARY_TO_SERVICE,
    SioSerDataTransmit, SioSerEventHandle,    SioSerDataHandle,
};

int SioSerObjAdd(PVN_DEVICE pVn, PDIB pDib) {
    return SioObjAdd(SioSerFamily, pVn, pDib);
}

void SioSerObjDel(PVN_DEVICE pVn, PDIB pDib) {
    SioObjDel(SioSerFamily, pVn, pDib);
}

void SioSerObjDelAll() {
    SioObjDelAll(SioSerFamily);
}

SioObjRef SioSerObjGetByVnMacAndDibChlNumber(const uint8_t* pMac, uint8_t ChlNumber) {
    return SioObjGetByVnMacAndDibChlNumber(SioSerFamily, pMac, ChlNumber);
}

_UART_CHL SioSerObjChl(PSIO_OBJ pObj, const char* Prefix) {
    return {pObj->VnPtr, pObj->DibPtr, &pObj->Slot, &pObj->RegMutex, Prefix};
}

int SioSerObjGetControllerInfo(PVN_DEVICE pVn, PDIB pDib) {
    SioObjRef o = SioSerObjGetByVnMacAndDibChlNumber(pVn->Mac, pDib->ChlNumber);
    if (!o || o->DibPtr != pDib) return 0;
    const uint8_t* m = pVn->Mac;
    const int chl = pDib->ChlNumber;
    const void* p = o.get();
    const UartGen gen = UartGenOf(pDib->Uart.Version);
    if (gen == UART_GEN_NONE) {
        PemDbg(1, 1, SER_OBJ_FMT "get info fail, unsupport version:x%02x\n", m[3], m[4], m[5], chl, p,
               pDib->Uart.Version);
        return 0;
    }
    char prefix[64];
    snprintf(prefix, sizeof(prefix), SER_OBJ_FMT, m[3], m[4], m[5], chl, p);
    const char* g = UartGenName(gen);
    switch (UartReadControllerInfo(SioSerObjChl(o.get(), prefix), gen)) {
        case UART_OK:
            return 1;
        case UART_TX_FAIL:
            PemDbg(1, 1, "%stx get controller %s cmd fail\n", prefix, g);
            return 0;
        case UART_TIMEOUT:
            PemDbg(1, 1, "%srx get controller %s response wait timeout\n", prefix, g);
            return 0;
        case UART_NO_DATA:
            PemDbg(1, 1, "%srx get controller %s response no data\n", prefix, g);
            return 0;
        default:
            return 0;
    }
}

void SioSerObjRegister() {
    VnUnitServices.Families[DIB_TYPE_UART] = &kSerChannelFamily;
    VnTlpConsumers[DIB_TYPE_UART] = &kSerConsumer;
    SioFamilies[SIO_DEVICE_SER] = &SioSerFamily;
}

void SioSerObjUnregister() {
    SioFamilies[SIO_DEVICE_SER] = nullptr;
    VnTlpConsumers[DIB_TYPE_UART] = nullptr;
    VnUnitServices.Families[DIB_TYPE_UART] = nullptr;
}
