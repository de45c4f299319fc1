#include "nlk_tty_info.h"

#include <errno.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include "pem_dbg.h"
#include "pem_lock.h"
#include "vn_unit_services.h"

_NLK_TTY_INFO NlkTtyInfo[kNlkTtyMinors] = {};
pthread_mutex_t NlkTtyInfoMutex = PTHREAD_MUTEX_INITIALIZER;

namespace {
void _NodePath(char* path, size_t size, int minor) {
    snprintf(path, size, kNlkTtyNodeFormat, minor);
}
}  // namespace

int NlkTtyInfoAlloc(PVN_DEVICE pVn, uint8_t ChlNumber) {
    qor::MutexLock lock(&NlkTtyInfoMutex);
    for (int minor = 0; minor < kNlkTtyMinors; ++minor) {
        _NLK_TTY_INFO& e = NlkTtyInfo[minor];
        if (e.IsMaping) continue;
        e.IsMaping = 1;
        e.DibChlNumber = ChlNumber;
        memcpy(e.VnMac, pVn->Mac, 6);
        return minor;
    }
    return -1;
}

void NlkTtyInfoFree(int Minor) {
    qor::MutexLock lock(&NlkTtyInfoMutex);
    memset(&NlkTtyInfo[Minor & 0xFF], 0, sizeof(_NLK_TTY_INFO));
}

int NlkTtyCreateDeviceNode(int Minor, int* pErrno) {
    char path[32];
    _NodePath(path, sizeof(path), Minor);
    // Mode 0777 exactly: the daemon runs with umask 0, but a test process may not.
    const mode_t saved = umask(0);
    const int rc = mknod(path, S_IFCHR | 0777, makedev(kNlkTtyMajor, static_cast<unsigned>(Minor)));
    *pErrno = rc == 0 ? 0 : errno;
    umask(saved);
    return rc;
}

int NlkTtyDeleteDeviceNode(int Minor, int* pErrno) {
    char path[32];
    _NodePath(path, sizeof(path), Minor);
    const int rc = unlink(path);
    *pErrno = rc == 0 ? 0 : errno;
    return rc;
}

void NlkTtyDeleteDeviceNodeAll() {
    for (int minor = 0; minor < kNlkTtyMinors; ++minor) {
        char path[32];
        _NodePath(path, sizeof(path), minor);
        const int rc = unlink(path);
        if (rc != 0 && errno != ENOENT)
            PemDbg(1, 1, "NLK, delete %s, nReturn:%d, errno:%d\n", path, rc, errno);
    }
}

void NlkTtyInfoRegister() {
    VnUnitServices.TtyMinorAlloc = NlkTtyInfoAlloc;
    VnUnitServices.TtyMinorFree = NlkTtyInfoFree;
    VnUnitServices.TtyNodeCreate = NlkTtyCreateDeviceNode;
    VnUnitServices.TtyNodeDelete = NlkTtyDeleteDeviceNode;
}

void NlkTtyInfoUnregister() {
    VnUnitServices.TtyMinorAlloc = nullptr;
    VnUnitServices.TtyMinorFree = nullptr;
    VnUnitServices.TtyNodeCreate = nullptr;
    VnUnitServices.TtyNodeDelete = nullptr;
}
