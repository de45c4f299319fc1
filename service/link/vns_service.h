// The search service: one thread that searches every NIC and drops vanished units.
#pragma once

#include "pem_service.h"

using _VNS_SERVICE = _PEM_SERVICE_THREAD;

extern _VNS_SERVICE VNsService;

int VNsServiceStart(_VNS_SERVICE* pService);
void VNsServiceStop(_VNS_SERVICE* pService);
