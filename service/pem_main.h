// Process-wide registries, start-up and teardown of the service.
#pragma once

#include <pthread.h>
#include <signal.h>

#include <atomic>
#include <cstdint>

#include "pem_list.h"

constexpr const char* kServiceVersion = "1.0.15.0";
constexpr const char* kPidFilePath = "/var/run/qorservice.pid";


// One channel-object registry: a list, its count and its mutex.
struct _OBJ_REGISTRY {
    const char* Name;
    _DLIST* List;
    int* Amount;
    pthread_mutex_t* Mutex;
    void (*DelAll)();  // empties the list at teardown; none for families without objects yet
};

#define QOR_DECLARE_OBJ_REGISTRY(Family) \
    extern _DLIST Family##List;          \
    extern int Family##Amount;           \
    extern pthread_mutex_t Family##ListMutex;
QOR_DECLARE_OBJ_REGISTRY(NlkTtyObj)
QOR_DECLARE_OBJ_REGISTRY(CtuObj)
QOR_DECLARE_OBJ_REGISTRY(SioSerObj)
QOR_DECLARE_OBJ_REGISTRY(SioDioObj)
QOR_DECLARE_OBJ_REGISTRY(SioCntObj)
QOR_DECLARE_OBJ_REGISTRY(SioAiObj)
QOR_DECLARE_OBJ_REGISTRY(SioAoObj)
QOR_DECLARE_OBJ_REGISTRY(SioUiObj)
QOR_DECLARE_OBJ_REGISTRY(SioUoObj)
QOR_DECLARE_OBJ_REGISTRY(SioBAoObj)
QOR_DECLARE_OBJ_REGISTRY(SioMAiObj)
QOR_DECLARE_OBJ_REGISTRY(SioTpsObj)
#undef QOR_DECLARE_OBJ_REGISTRY

constexpr int kCtuTcpPorts = 256;
extern int CtuTcpPortActive[kCtuTcpPorts];
extern pthread_mutex_t CtuTcpPortMutex;

extern std::atomic<int> _running;

int _InitProgFunc();
void _FreeProgFunc();
void sig_handler(int signal);

// The daemon's whole life: daemonise, start, idle until SIGTERM, stop. Returns the exit status.
int PemMainRun();
