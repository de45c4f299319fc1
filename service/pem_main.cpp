#include "pem_main.h"

#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cstddef>

#include "cfg_check_dir.h"
#include "cfg_service.h"
#include "ctu_obj.h"
#include "ctu_server.h"
#include "mng_server.h"
#include "nic_main.h"
#include "nlk_service.h"
#include "nlk_tty.h"
#include "nlk_tty_info.h"
#include "pem_dbg.h"
#include "pem_worker.h"
#include "sio_ai_obj.h"
#include "sio_dio_obj.h"
#include "sio_mai_obj.h"
#include "sio_ser_obj.h"
#include "sio_tps_obj.h"
#include "sio_ui_obj.h"
#include "sio_service.h"
#include "vn_connect.h"
#include "vn_main.h"
#include "vn_utils.h"
#include "vns_service.h"

// The CTU port pool and the CTU objects' registry live with the CTU server (service/ctu/).
// Cleared by the SIGTERM handler, which may run on any thread (the NIC receive threads
// included); a lock-free atomic is both async-signal-safe and a defined cross-thread read.
std::atomic<int> _running{1};
static_assert(std::atomic<int>::is_always_lock_free);

#define QOR_DEFINE_OBJ_REGISTRY(Family)                   \
    _DLIST Family##List = {&Family##List, &Family##List}; \
    int Family##Amount = 0;                               \
    pthread_mutex_t Family##ListMutex = PTHREAD_MUTEX_INITIALIZER;
// The TTY objects' registry lives with the TTY bridge (service/tty/nlk_tty_obj.cpp), the SER
// objects' with their family (service/sio/ser/sio_ser_obj.cpp), and likewise DIO, TPS, AI, UI, MAI, AO, UO and BAO.
QOR_DEFINE_OBJ_REGISTRY(SioCntObj)
#undef QOR_DEFINE_OBJ_REGISTRY

namespace {

#define QOR_OBJ_REGISTRY(Family) \
    { #Family, &Family##List, &Family##Amount, &Family##ListMutex, nullptr }
// Creation order; teardown runs it backwards. Each family's delete-all joins its entry when
// the family's objects exist.
std::array<_OBJ_REGISTRY, 12> gObjRegistries = {{
    {"NlkTtyObj", &NlkTtyObjList, &NlkTtyObjAmount, &NlkTtyObjListMutex, NlkTtyObjDelAll},
    // Command workers still running end (their unit is gone) before the objects are freed.
    {"CtuObj", &CtuObjList, &CtuObjAmount, &CtuObjListMutex,
     []() {
         CtuWaitWorkers(5000);
         CtuObjDelAll();
     }},
    QOR_OBJ_REGISTRY(SioSerObj),
    QOR_OBJ_REGISTRY(SioDioObj),
    QOR_OBJ_REGISTRY(SioCntObj),
    QOR_OBJ_REGISTRY(SioAiObj),
    QOR_OBJ_REGISTRY(SioAoObj),
    QOR_OBJ_REGISTRY(SioUiObj),
    QOR_OBJ_REGISTRY(SioUoObj),
    QOR_OBJ_REGISTRY(SioBAoObj),
    QOR_OBJ_REGISTRY(SioMAiObj),
    // Torn down first of the SIO registries: the families' command workers end, then every
    // family's objects go while all their list mutexes still exist.
    {"SioTpsObj", &SioTpsObjList, &SioTpsObjAmount, &SioTpsObjListMutex, SioServiceDelAllObjects},
}};
#undef QOR_OBJ_REGISTRY

int _InitObjRegistry(_OBJ_REGISTRY& r) {
    *r.Amount = 0;
    PemListInit(r.List);
    return pthread_mutex_init(r.Mutex, nullptr) == 0 ? 1 : 0;
}

void _FreeObjRegistry(_OBJ_REGISTRY& r) {
    if (r.DelAll) r.DelAll();
    pthread_mutex_destroy(r.Mutex);
}

struct InitStep {
    int (*Init)();
    void (*Undo)();
    // Ends the threads of the step that read registries. The stops of all completed steps run,
    // in reverse, before the first undo: no thread may still read a registry that an undo
    // empties or whose mutex it destroys.
    void (*Stop)() = nullptr;
};

void _SleepMs(unsigned ms) {
    usleep(ms * 1000);
}

template <size_t I>
InitStep _ObjRegistryStep() {
    return {[]() { return _InitObjRegistry(gObjRegistries[I]); },
            []() { _FreeObjRegistry(gObjRegistries[I]); }};
}

// Start-up in its fixed order. A failing step makes _InitProgFunc undo the steps before it in
// reverse; _FreeProgFunc undoes all of them the same way, so both paths stay in step.
const std::array<InitStep, 28> gInitSteps = {{
    // Debug lock and switches.
    {[]() {
         DbgVnProtocol = DbgMngIpcProtocol = DbgCtuIpcProtocol = DbgSioIpcProtocol = DbgNlkIpcProtocol = 0;
         PrintfEnable = LogEnable = 0;
         LogNode = -1;
         return pthread_mutex_init(&DbgLock, nullptr) == 0 ? 1 : 0;
     },
     []() { pthread_mutex_destroy(&DbgLock); }},
    {[]() { return PemDbgBuffAlloc(); }, []() { PemDbgBuffFree(); }},
    // Request workers: undone after every step that hands them requests has stopped and waited
    // for its own, so the idle ones end before the process does.
    {[]() { return 1; }, []() { PemWorkerStopAll(2000); }},
    {[]() { return LogOpen(); }, []() { LogClose(); }},
    {[]() { return CfgDirCheck(); }, nullptr},
    {[]() {
         NlkTtyDeleteDeviceNodeAll();
         return 1;
     },
     nullptr},
    // TTY minor table.
    {[]() {
         memset(NlkTtyInfo, 0, sizeof(NlkTtyInfo));
         if (pthread_mutex_init(&NlkTtyInfoMutex, nullptr) != 0) return 0;
         NlkTtyInfoRegister();
         NlkTtyObjRegister();
         NlkServiceRegister();
         return 1;
     },
     []() {
         NlkTtyObjUnregister();
         NlkTtyInfoUnregister();
         memset(NlkTtyInfo, 0, sizeof(NlkTtyInfo));
         pthread_mutex_destroy(&NlkTtyInfoMutex);
     }},
    // NIC list.
    {[]() {
         NicAmount = 0;
         PemListInit(&NicList);
         return pthread_mutex_init(&NicListMutex, nullptr) == 0 ? 1 : 0;
     },
     []() { pthread_mutex_destroy(&NicListMutex); }},
    {[]() {
         if (!NicMainRefreshList()) return 0;
         _SleepMs(100);
         return 1;
     },
     []() { NicMainDelAll(); }},
    // Unit index table.
    {[]() {
         memset(VnIndexActive, 0, sizeof(VnIndexActive));
         return pthread_mutex_init(&VnIndexActiveMutex, nullptr) == 0 ? 1 : 0;
     },
     []() {
         memset(VnIndexActive, 0, sizeof(VnIndexActive));
         pthread_mutex_destroy(&VnIndexActiveMutex);
     }},
    // Unit registry. At teardown the NIC receive threads (which look units up, create them
    // and run the TLP dispatch into the channel objects) stop first, then every unit's
    // threads; only then are the registries emptied.
    {[]() {
         VnAmount = 0;
         PemListInit(&VnList);
         if (pthread_mutex_init(&VnListMutex, nullptr) != 0) return 0;
         if (pthread_mutex_init(&VnListMutexExtra, nullptr) != 0) {
             pthread_mutex_destroy(&VnListMutex);
             return 0;
         }
         VnMainUnitJobsRefuse(0);
         return 1;
     },
     []() {
         VnMainDelAll();
         pthread_mutex_destroy(&VnListMutexExtra);
         pthread_mutex_destroy(&VnListMutex);
     },
     []() {
         NicMainStopAll();
         VnMainStopAll();
     }},
    _ObjRegistryStep<0>(),
    _ObjRegistryStep<1>(),
    _ObjRegistryStep<2>(),
    _ObjRegistryStep<3>(),
    _ObjRegistryStep<4>(),
    _ObjRegistryStep<5>(),
    _ObjRegistryStep<6>(),
    _ObjRegistryStep<7>(),
    _ObjRegistryStep<8>(),
    _ObjRegistryStep<9>(),
    _ObjRegistryStep<10>(),
    _ObjRegistryStep<11>(),
    {[]() {
         memset(CtuTcpPortActive, 0, sizeof(CtuTcpPortActive));
         if (pthread_mutex_init(&CtuTcpPortMutex, nullptr) != 0) return 0;
         CtuServiceRegister();
         SioServiceRegister();
         return 1;
     },
     []() {
         SioServiceUnregister();
         CtuServiceUnregister();
         memset(CtuTcpPortActive, 0, sizeof(CtuTcpPortActive));
         pthread_mutex_destroy(&CtuTcpPortMutex);
     }},
    // Long-running services; stopped first at teardown, before any registry is emptied.
    {[]() {
         if (!MngServerStart(&MngServer)) return 0;
         _SleepMs(100);
         return 1;
     },
     nullptr, []() { MngServerStop(&MngServer); }},
    // The netlink bridge may fail to start (no kernel TTY driver): the service runs on and the
    // service info reports the bridge as not started. Its stop also waits for the request
    // workers still answering the driver.
    {[]() {
         NlkServiceStart(&NlkService);
         return 1;
     },
     nullptr,
     []() {
         NlkServiceStop(&NlkService);
         NlkTtyWaitWorkers(2000);
     }},
    {[]() { return VNsServiceStart(&VNsService); }, nullptr, []() { VNsServiceStop(&VNsService); }},
    {[]() { return CfgServiceStart(&CfgService); }, nullptr, []() { CfgServiceStop(&CfgService); }},
}};

const InitStep& _Step(size_t i) {
    return gInitSteps[i];
}

size_t gStepsDone = 0;

void _UndoSteps() {
    for (size_t i = gStepsDone; i > 0; --i)
        if (_Step(i - 1).Stop) _Step(i - 1).Stop();
    while (gStepsDone > 0) {
        --gStepsDone;
        if (_Step(gStepsDone).Undo) _Step(gStepsDone).Undo();
    }
}

}  // namespace

int _InitProgFunc() {
    gStepsDone = 0;
    for (size_t i = 0; i < gInitSteps.size(); ++i) {
        if (!_Step(i).Init()) {
            // The unit registry is emptied whatever step failed: its list head and mutex are
            // valid from program start, and emptying it twice is harmless.
            VnMainDelAll();
            _UndoSteps();
            return 0;
        }
        gStepsDone = i + 1;
    }
    return 1;
}

void _FreeProgFunc() {
    _UndoSteps();
}

void sig_handler(int) {
    _running.store(0);
}

int PemMainRun() {
    openlog("qorservice", LOG_PID, LOG_DAEMON);
    printf("QORSERVICE : Version - %s\n", kServiceVersion);
    fflush(stdout);

    const pid_t pid = fork();
    if (pid < 0) {
        syslog(LOG_INFO, "Fork off the parent process failure.");
        exit(1);
    }
    if (pid > 0) exit(0);
    if (setsid() < 0) {
        syslog(LOG_INFO, "Create a new SID for the child process failure.");
        exit(1);
    }
    signal(SIGINT, SIG_IGN);
    umask(0);
    if (chdir("/") < 0) {
        syslog(LOG_INFO, "Change the current working directory failure.");
        exit(1);
    }
    // Standard input, output and error stay closed: the printed copy of debug messages is
    // switched off before any descriptor can be reused.
    PemPrintFd = -1;
    const long openMax = sysconf(_SC_OPEN_MAX);
    for (long fd = openMax > 0 ? openMax : 1024; fd >= 0; --fd) close(static_cast<int>(fd));
    closelog();
    openlog("qorservice", LOG_PID, LOG_DAEMON);

    const int pidFd = open(kPidFilePath, O_RDWR | O_CREAT | O_CLOEXEC, 0666);
    if (pidFd >= 0) {
        char line[32];
        const int n = snprintf(line, sizeof(line), "%d\n", static_cast<int>(getpid()));
        if (pwrite(pidFd, line, static_cast<size_t>(n), 0) != n) {
            // Nothing to report: a pid file that cannot be written is not an error.
        }
        close(pidFd);
    }
    signal(SIGTERM, sig_handler);

    if (!_InitProgFunc()) {
        syslog(LOG_INFO, "Init service failure.");
        exit(1);
    }
    while (_running.load()) sleep(1);
    _FreeProgFunc();
    closelog();
    return 0;
}
