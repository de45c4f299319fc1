// The search service: one thread that searches every NIC and drops vanished units.
#pragma once

#include <pthread.h>

struct _VNS_SERVICE {
    pthread_t ThreadHd;
    pthread_cond_t ThreadCondExit;
    pthread_mutex_t ThreadMutex;
    pthread_attr_t ThreadAttr;
    int ExitRequested;  // set under ThreadMutex: a stop that arrives while sending is not lost
};

extern _VNS_SERVICE VNsService;

int VNsServiceStart(_VNS_SERVICE* pService);
void VNsServiceStop(_VNS_SERVICE* pService);
