// The restore service: for about ten seconds after start-up, maps and then connects again
// the units that the record directories name.
#pragma once

#include "pem_service.h"

using _CFG_SERVICE = _PEM_SERVICE_THREAD;

extern _CFG_SERVICE CfgService;

int CfgServiceStart(_CFG_SERVICE* pService);
void CfgServiceStop(_CFG_SERVICE* pService);

// One pass over each directory (exposed for tests).
void CfgMappingPass();
void CfgConnectPass();
