// The restore service: for about ten seconds after start-up, maps and then connects again
// the units that the record directories name.
#pragma once

#include <pthread.h>

struct _CFG_SERVICE {
    pthread_t ThreadHd;
    pthread_cond_t ThreadCondExit;
    pthread_mutex_t ThreadMutex;
    pthread_attr_t ThreadAttr;
    int ExitRequested;
    int Running;
};

extern _CFG_SERVICE CfgService;

int CfgServiceStart(_CFG_SERVICE* pService);
void CfgServiceStop(_CFG_SERVICE* pService);

// One pass over each directory (exposed for tests).
void CfgMappingPass();
void CfgConnectPass();
