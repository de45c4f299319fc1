#include "cfg_check_dir.h"

#include <errno.h>
#include <sys/stat.h>

#include <initializer_list>

#include "pem_dbg.h"

int CfgDirCheck() {
    for (const char* dir : {kCfgMappingDir, kCfgConnectDir}) {
        struct stat st {};
        if (stat(dir, &st) == 0) continue;
        if (mkdir(dir, 0700) != 0) {
            PemDbg(1, 1, "CFG, check and create %s dir FAIL, errno:%d\n", dir, errno);
            return 0;
        }
    }
    return 1;
}
