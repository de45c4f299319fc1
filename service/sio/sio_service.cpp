#include "sio_service.h"

#include "sio_server.h"
#include "sio_obj.h"
#include "sio_ser_obj.h"
#include "sio_dio_obj.h"
#include "sio_tps_obj.h"
#include "sio_ai_obj.h"
#include "sio_ui_obj.h"
#include "sio_mai_obj.h"
#include "sio_ao_obj.h"
#include "sio_uo_obj.h"
#include "sio_bao_obj.h"

// Each family of the SIO service adds its registration here.
void SioServiceRegister() {
    SioServerRegister();
    SioSerObjRegister();
    SioDioObjRegister();
    SioTpsObjRegister();
    SioAiObjRegister();
    SioUiObjRegister();
    SioMAiObjRegister();
    SioAoObjRegister();
    SioUoObjRegister();
    SioBAoObjRegister();
}

void SioServiceUnregister() {
    SioBAoObjUnregister();
    SioUoObjUnregister();
    SioAoObjUnregister();
    SioMAiObjUnregister();
    SioUiObjUnregister();
    SioAiObjUnregister();
    SioTpsObjUnregister();
    SioDioObjUnregister();
    SioSerObjUnregister();
    SioServerUnregister();
}

void SioServiceDelAllObjects() {
    // Command workers still running end (their unit is gone) before the objects go.
    SioWaitWorkers(5000);
    SioSerObjDelAll();
    SioDioObjDelAll();
    SioTpsObjDelAll();
    SioAiObjDelAll();
    SioUiObjDelAll();
    SioMAiObjDelAll();
    SioAoObjDelAll();
    SioUoObjDelAll();
    SioBAoObjDelAll();
}
