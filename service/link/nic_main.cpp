#include "nic_main.h"

#include <arpa/inet.h>
#include <errno.h>
#include <ifaddrs.h>
#include <linux/if_packet.h>
#include <net/if.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <memory>
#include <vector>

#include "pem_dbg.h"
#include "pem_lock.h"
#include "pem_service.h"
#include "pem_thread.h"
#include "vn_main.h"

_DLIST NicList = {&NicList, &NicList};
int NicAmount = 0;
pthread_mutex_t NicListMutex = PTHREAD_MUTEX_INITIALIZER;

namespace {

PNIC_DEVICE FromEntry(PDLIST p) {
    return reinterpret_cast<PNIC_DEVICE>(p);
}

qor::ThreadKind gRxThreadKind = {"NIC rx thd", PemReportOrdinaryScheduling};

// The receive thread runs at SCHED_RR 90 on Linux, ahead of all ordinary work.
void _SetThreadPriority(PNIC_DEVICE pNic) {
    char prefix[96];
    snprintf(prefix, sizeof(prefix), "NIC (%s) ", pNic->InterfaceName);
    PemSetRealtimePriority(&pNic->RxThreadAttr, 9, prefix);
}

void _StopRxThread(PNIC_DEVICE pNic) {
    if (!pNic->RxThreadRunning) return;
    const uint64_t one = 1;
    for (int attempt = 0; attempt < 3; ++attempt)
        if (write(pNic->RxThreadExitFd, &one, sizeof(one)) == static_cast<ssize_t>(sizeof(one))) break;
    pthread_join(pNic->RxThreadHd, nullptr);
    pNic->RxThreadRunning = 0;
}

// Stops the receive thread and closes the descriptors; the buffers and the mutex stay until
// the last reference is dropped, since a holder may still call NicTx (which then fails).
// Never called under NicListMutex: the receive thread may be looking a NIC up.
void _ShutdownNicDevice(PNIC_DEVICE pNic) {
    _StopRxThread(pNic);
    if (pNic->RxThreadAttrInit) {
        pthread_attr_destroy(&pNic->RxThreadAttr);
        pNic->RxThreadAttrInit = 0;
    }
    if (pNic->RxThreadExitFd >= 0) {
        close(pNic->RxThreadExitFd);
        pNic->RxThreadExitFd = -1;
    }
    if (pNic->TxMutexInit) {
        qor::MutexLock lock(&pNic->TxMutex);
        if (pNic->Sock >= 0) close(pNic->Sock);
        pNic->Sock = -1;
    } else if (pNic->Sock >= 0) {
        close(pNic->Sock);
        pNic->Sock = -1;
    }
}

void _FreeNicDevice(PNIC_DEVICE pNic) {
    PemDbg(1, 1, "NIC (%s), del\n", pNic->InterfaceName);
    _ShutdownNicDevice(pNic);
    NicMainRelease(pNic);
}

int _CreateNicDevice(PNIC_DEVICE pNic, const char* pInterfaceName) {
    pNic->Sock = -1;
    pNic->RxThreadExitFd = -1;
    auto fail = [&]() {
        PemDbg(1, 1, "NIC (%s), del because of create fail\n", pInterfaceName);
        _ShutdownNicDevice(pNic);
        return 0;
    };
    // The name is needed by the messages of the later steps; it is whole-name compared later.
    snprintf(pNic->InterfaceName, sizeof(pNic->InterfaceName), "%s", pInterfaceName);

    pNic->Sock = socket(AF_PACKET, SOCK_RAW | SOCK_CLOEXEC, htons(kLinkEtherType));
    if (pNic->Sock < 0) {
        PemDbg(1, 1, "NIC (%s) create socket fail\n", pInterfaceName);
        return fail();
    }
    struct ifreq ifr {};
    snprintf(ifr.ifr_name, sizeof(ifr.ifr_name), "%s", pInterfaceName);
    if (ioctl(pNic->Sock, SIOCGIFFLAGS, &ifr) < 0) {
        PemDbg(1, 1, "NIC (%s) ioctl SIOCGIFFLAGS fail\n", pInterfaceName);
        return fail();
    }
    ifr.ifr_flags = static_cast<short>(ifr.ifr_flags | IFF_PROMISC);
    if (ioctl(pNic->Sock, SIOCSIFFLAGS, &ifr) < 0) {
        PemDbg(1, 1, "NIC (%s) ioctl SIOCSIFFLAGS fail\n", pInterfaceName);
        return fail();
    }
    const int on = 1;
    if (setsockopt(pNic->Sock, SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on)) < 0) {
        PemDbg(1, 1, "NIC (%s) setsockopt SO_REUSEADDR fail\n", pInterfaceName);
        return fail();
    }
    // A unit sends its answers, events and data without waiting for ACKs and keeps no copies
    // to resend, so a burst that overflows the default receive queue (about 208 KiB) is lost
    // for good. A larger queue is a wish, not a requirement: the socket works without it.
    const int rcvbuf = kNicRxQueueBytes;
    if (setsockopt(pNic->Sock, SOL_SOCKET, SO_RCVBUFFORCE, &rcvbuf, sizeof(rcvbuf)) < 0 &&
        setsockopt(pNic->Sock, SOL_SOCKET, SO_RCVBUF, &rcvbuf, sizeof(rcvbuf)) < 0)
        PemDbg(1, 1, "NIC (%s) setsockopt SO_RCVBUF fail\n", pInterfaceName);
    if (setsockopt(pNic->Sock, SOL_SOCKET, SO_BINDTODEVICE, pInterfaceName,
                   static_cast<socklen_t>(strlen(pInterfaceName) + 1)) < 0) {
        PemDbg(1, 1, "NIC (%s) setsockopt SO_BINDTODEVICE fail\n", pInterfaceName);
        return fail();
    }
    memset(&ifr, 0, sizeof(ifr));
    snprintf(ifr.ifr_name, sizeof(ifr.ifr_name), "%s", pInterfaceName);
    if (ioctl(pNic->Sock, SIOCGIFINDEX, &ifr) < 0) {
        PemDbg(1, 1, "NIC (%s) ioctl SIOCGIFINDEX fail\n", pInterfaceName);
        return fail();
    }
    pNic->Index = ifr.ifr_ifindex;
    memset(&ifr, 0, sizeof(ifr));
    snprintf(ifr.ifr_name, sizeof(ifr.ifr_name), "%s", pInterfaceName);
    if (ioctl(pNic->Sock, SIOCGIFHWADDR, &ifr) < 0) {
        PemDbg(1, 1, "NIC (%s) ioctl SIOCGIFHWADDR fail\n", pInterfaceName);
        return fail();
    }
    memcpy(pNic->Mac, ifr.ifr_hwaddr.sa_data, 6);

    pNic->TxBuff = static_cast<uint8_t*>(calloc(kNicBuffSize, 1));
    if (!pNic->TxBuff) {
        PemDbg(1, 1, "NIC (%s) TxBuff malloc fail\n", pInterfaceName);
        return fail();
    }
    pNic->RxBuff = static_cast<uint8_t*>(calloc(kNicBuffSize, 1));
    if (!pNic->RxBuff) {
        PemDbg(1, 1, "NIC (%s) RxBuff malloc fail\n", pInterfaceName);
        return fail();
    }
    if (pthread_mutex_init(&pNic->TxMutex, nullptr) != 0) {
        PemDbg(1, 1, "NIC (%s) init tx mutex fail\n", pInterfaceName);
        return fail();
    }
    pNic->TxMutexInit = 1;
    pNic->RxThreadExitFd = eventfd(0, EFD_CLOEXEC);
    if (pNic->RxThreadExitFd < 0) return fail();
    if (qor::ThreadAttrInit(&pNic->RxThreadAttr) != 0) return fail();
    pNic->RxThreadAttrInit = 1;
    _SetThreadPriority(pNic);
    if (qor::ThreadCreate(&pNic->RxThreadHd, &pNic->RxThreadAttr, NicRxThread, pNic, &gRxThreadKind) != 0)
        return fail();
    pNic->RxThreadRunning = 1;
    PemDbg(1, 1, "NIC (%s), add\n", pInterfaceName);
    return 1;
}

// Creates a record for the interface and lists it; a failed creation is only logged.
void _AddNicLocked(const char* pName) {
    auto pNic = std::make_unique<_NIC_DEVICE>();
    pNic->RefCount.store(1);
    if (!_CreateNicDevice(pNic.get(), pName)) {
        NicMainRelease(pNic.release());
        return;
    }
    PemListInsertTail(&NicList, &pNic.release()->Entry);
    ++NicAmount;
}

bool _HasPacketEntry(const struct ifaddrs* pList, const char* pName) {
    for (const struct ifaddrs* p = pList; p; p = p->ifa_next)
        if (p->ifa_addr && p->ifa_addr->sa_family == AF_PACKET && strcmp(p->ifa_name, pName) == 0)
            return true;
    return false;
}

PNIC_DEVICE _FindLocked(bool (*match)(PNIC_DEVICE, const void*), const void* key) {
    for (PDLIST p = NicList.Flink; p != &NicList; p = p->Flink)
        if (match(FromEntry(p), key)) return FromEntry(p);
    return nullptr;
}

NicRef _GetRef(bool (*match)(PNIC_DEVICE, const void*), const void* key) {
    qor::MutexLock lock(&NicListMutex);
    PNIC_DEVICE pNic = _FindLocked(match, key);
    if (!pNic) return NicRef();
    pNic->RefCount.fetch_add(1, std::memory_order_relaxed);
    return NicRef(pNic);
}

}  // namespace

void NicMainRelease(PNIC_DEVICE pNic) {
    if (pNic->RefCount.fetch_sub(1, std::memory_order_acq_rel) != 1) return;
    if (pNic->TxMutexInit) pthread_mutex_destroy(&pNic->TxMutex);
    free(pNic->TxBuff);
    free(pNic->RxBuff);
    std::unique_ptr<_NIC_DEVICE> owned(pNic);
}

NicRef NicMainAddRef(PNIC_DEVICE pNic) {
    if (!pNic) return NicRef();
    pNic->RefCount.fetch_add(1, std::memory_order_relaxed);
    return NicRef(pNic);
}

bool NicMainIsOpen(PNIC_DEVICE pNic) {
    if (!pNic || !pNic->TxMutexInit) return false;
    qor::MutexLock lock(&pNic->TxMutex);
    return pNic->Sock >= 0;
}

bool NicMainIsExcludedName(const char* pName) {
    return strcmp(pName, "lo") == 0 || strcmp(pName, "virbr0") == 0 || strcmp(pName, "virbr0-nic") == 0;
}

int NicMainRefreshList() {
    struct ifaddrs* pList = nullptr;
    const int nReturn = getifaddrs(&pList);
    if (nReturn != 0) {
        PemDbg(1, 1, "NIC getifaddrs fail, nReturn:%d\n", nReturn);
        return 0;
    }
    std::vector<NicRef> removed;  // each holding the list's reference it took over
    {
        qor::MutexLock lock(&NicListMutex);
        // Removal pass: records whose interface is gone. They are unlinked here and shut down
        // below, outside the lock.
        for (PDLIST p = NicList.Flink; p != &NicList;) {
            PDLIST next = p->Flink;
            PNIC_DEVICE pNic = FromEntry(p);
            if (!_HasPacketEntry(pList, pNic->InterfaceName)) {
                PemListRemoveEntry(p);
                --NicAmount;
                removed.emplace_back(pNic);
            }
            p = next;
        }
        // Addition pass: every packet interface that is not excluded and has no record yet.
        for (const struct ifaddrs* e = pList; e; e = e->ifa_next) {
            if (!e->ifa_addr || e->ifa_addr->sa_family != AF_PACKET) continue;
            if (NicMainIsExcludedName(e->ifa_name)) continue;
            const bool known = _FindLocked(
                [](PNIC_DEVICE n, const void* k) {
                    return strcmp(n->InterfaceName, static_cast<const char*>(k)) == 0;
                },
                e->ifa_name);
            if (known) continue;
            _AddNicLocked(e->ifa_name);
        }
    }
    freeifaddrs(pList);
    for (const NicRef& pNic : removed) {
        PemDbg(1, 1, "NIC (%s), del\n", pNic->InterfaceName);
        _ShutdownNicDevice(pNic.get());
    }
    // Units found through a removed NIC never send through its closed socket again.
    for (const NicRef& pNic : removed) VnMainDelByNic(pNic.get());
    return 1;
}

NicRef NicMainAddInterface(const char* pName) {
    {
        qor::MutexLock lock(&NicListMutex);
        const bool known = _FindLocked(
            [](PNIC_DEVICE n, const void* k) {
                return strcmp(n->InterfaceName, static_cast<const char*>(k)) == 0;
            },
            pName);
        if (!known) _AddNicLocked(pName);
    }
    return NicMainGetByInterfaceName(pName);
}

void NicMainDelAll() {
    std::vector<PNIC_DEVICE> removed;
    {
        qor::MutexLock lock(&NicListMutex);
        while (!PemListEmpty(&NicList)) {
            PDLIST p = NicList.Flink;
            PemListRemoveEntry(p);
            --NicAmount;
            removed.push_back(FromEntry(p));
        }
    }
    for (PNIC_DEVICE pNic : removed) _FreeNicDevice(pNic);
}

void NicMainStopAll() {
    std::vector<NicRef> nics;
    {
        qor::MutexLock lock(&NicListMutex);
        for (PDLIST p = NicList.Flink; p != &NicList; p = p->Flink)
            nics.push_back(NicMainAddRef(FromEntry(p)));
    }
    for (const NicRef& pNic : nics) _StopRxThread(pNic.get());
}

NicRef NicMainGetByInterfaceName(const char* pName) {
    if (!pName) return NicRef();
    return _GetRef([](PNIC_DEVICE n,
                      const void* k) { return strcmp(n->InterfaceName, static_cast<const char*>(k)) == 0; },
                   pName);
}

NicRef NicMainGetByIndex(int Index) {
    return _GetRef([](PNIC_DEVICE n, const void* k) { return n->Index == *static_cast<const int*>(k); },
                   &Index);
}

NicRef NicMainGetByMac(const uint8_t* pMac) {
    if (!pMac) return NicRef();
    return _GetRef([](PNIC_DEVICE n, const void* k) { return memcmp(n->Mac, k, 6) == 0; }, pMac);
}
