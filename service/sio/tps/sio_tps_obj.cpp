#include "sio_tps_obj.h"

#include "pem_lock.h"
#include "vn_unit_services.h"

_DLIST SioTpsObjList = {&SioTpsObjList, &SioTpsObjList};
int SioTpsObjAmount = 0;
pthread_mutex_t SioTpsObjListMutex = PTHREAD_MUTEX_INITIALIZER;

namespace {

int _FamilyAdd(PVN_DEVICE pVn, PDIB pDib, int) {
    return SioTpsObjAdd(pVn, pDib);
}
void _FamilyDel(PVN_DEVICE pVn, PDIB pDib, int) {
    SioTpsObjDel(pVn, pDib);
}
int _FamilyInfo(PVN_DEVICE pVn, PDIB pDib, int) {
    return SioTpsObjGetControllerAndPortInfo(pVn, pDib);
}
const _VN_CHANNEL_FAMILY kTpsChannelFamily = {0,
                                              1,
                                              1,
                                              _FamilyAdd,
                                              _FamilyDel,
                                              _FamilyInfo,
                                              1,
                                              "get TPS controller & port info fail",
                                              "get TPS controller & port info fail"};

const _VN_TLP_CONSUMER kTpsConsumer = {
    [](PVN_DEVICE pVn, uint8_t Chl) { return SioObjConsumerFind(SioTpsFamily, pVn, Chl); },
    SioObjConsumerResponse, SioObjConsumerData, SioObjConsumerEvent, SioObjConsumerRelease};

}  // namespace

const _SIO_FAMILY SioTpsFamily = {
    SIO_DEVICE_TPS,
    "TPS (T:%d, C:%d), ",
    "TPS (:%.2x:%.2x:%.2x, C:%d, %p), ",
    &SioTpsObjList,
    &SioTpsObjListMutex,
    &SioTpsObjAmount,
    SioTpsCodeName,
    SioTpsCommandWord,
    SioTpsHandle,
    0,
    nullptr,
    nullptr,
    nullptr,
};

int SioTpsObjAdd(PVN_DEVICE pVn, PDIB pDib) {
    return SioObjAdd(SioTpsFamily, pVn, pDib);
}

void SioTpsObjDel(PVN_DEVICE pVn, PDIB pDib) {
    SioObjDel(SioTpsFamily, pVn, pDib);
}

void SioTpsObjDelAll() {
    SioObjDelAll(SioTpsFamily);
}

SioObjRef SioTpsObjGetByVnMacAndDibChlNumber(const uint8_t* pMac, uint8_t ChlNumber) {
    return SioObjGetByVnMacAndDibChlNumber(SioTpsFamily, pMac, ChlNumber);
}

int SioTpsObjGetControllerAndPortInfo(PVN_DEVICE pVn, PDIB pDib) {
    SioObjRef o = SioTpsObjGetByVnMacAndDibChlNumber(pVn->Mac, pDib->ChlNumber);
    _DIB_TPS* t = pDib->TpsPtr.get();
    if (!o || o->DibPtr != pDib || !t) return 0;
    qor::MutexLock reg(&o->RegMutex);
    for (int p = 0; p < t->NumberOfSensors && p < kDibMaxPorts; ++p)
        t->Port[p].Offset = static_cast<uint8_t>(kTpsRegSensorFirst + p);
    return 1;
}

void SioTpsObjRegister() {
    VnUnitServices.Families[DIB_TYPE_TPS] = &kTpsChannelFamily;
    VnTlpConsumers[DIB_TYPE_TPS] = &kTpsConsumer;
    SioFamilies[SIO_DEVICE_TPS] = &SioTpsFamily;
}

void SioTpsObjUnregister() {
    SioFamilies[SIO_DEVICE_TPS] = nullptr;
    VnTlpConsumers[DIB_TYPE_TPS] = nullptr;
    VnUnitServices.Families[DIB_TYPE_TPS] = nullptr;
}
