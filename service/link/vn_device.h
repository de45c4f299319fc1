// The unit record: one per Varnel unit that answered a search.
#pragma once

#include <pthread.h>
#include <sys/time.h>

#include <atomic>
#include <cstdint>

#include "nic_main.h"
#include "pem_list.h"
#include "vn_dib.h"

constexpr size_t kVnRxBuffSize = 8192;
constexpr int kVnMaxChannels = 64;

struct _VN_DEVICE {
    _DLIST Entry;
    // The NIC through which the unit answered; every frame to it goes out there. Replaced
    // (under VnListMutex) when a refresh removed it and the unit answers on another NIC.
    NicSlot NicPtr;
    uint8_t Index;
    uint8_t Mac[6];
    uint8_t ModelName[10];
    uint8_t TypeInfo;
    uint8_t LinkStatus;
    uint8_t ConnectedHostMac[6];
    uint8_t AvailableChls;
    uint8_t DibLengthInDW;
    uint8_t MajorVersion;
    uint8_t MinorVersion;
    uint8_t TypeInfo_Mode;
    int TypeInfo_Experiment;
    int TypeInfo_PasswordEnable;
    int TypeInfo_TimeSharingEnable;
    int TypeInfo_IsMORA;
    int TypeInfo_WithExternalEEPROM;

    _DIB DibArray[kVnMaxChannels];
    // Held exclusively while an info structure is decoded into the fields above (and while
    // a connect or teardown sets LinkStatus and ConnectedHostMac); held shared by everyone
    // who reads them from another thread.
    pthread_rwlock_t InfoLock;

    // DLLP reply slot, filled by the NIC receive thread.
    uint8_t* RxBuff;
    unsigned RxLength;
    // The reply code the exchange in progress waits for (0: any reply); under
    // DllpCmdCompleteMutex. Replies with another code are not stored over it.
    uint8_t DllpCmdExpectedCode;
    int DllpCmdBusy;  // an exchange owns the reply slot (under DllpCmdCompleteMutex)
    pthread_cond_t DllpCmdCompleteCond;
    pthread_mutex_t DllpCmdCompleteMutex;

    pthread_t DllpGetInfoThreadHd;
    pthread_cond_t DllpGetInfoThreadCondGo;
    pthread_mutex_t DllpGetInfoThreadMutex;
    pthread_attr_t DllpGetInfoThreadAttr;
    std::atomic<int> DllpGetInfoThreadExit;     // 1: stop (also ends a pass that waits for a reply)
    std::atomic<int> DllpGetInfoThreadSuccess;  // read by other threads without the trigger mutex
    std::atomic<int> Informed;                  // 1 once an info structure has been decoded
    int DllpGetInfoThreadRunning;               // the thread exists and has not been joined
    int DllpGetInfoThreadPending;               // a pass was asked for (under DllpGetInfoThreadMutex)

    int IsCreateDibChannelObj;
    std::atomic<int> IsMappingByHost;
    std::atomic<int> IsConnectedByHost;
    uint8_t PasswordRaw[32];

    pthread_mutex_t HostSeqNumberMutex;
    uint16_t HostSeqNumber;
    pthread_mutex_t DeviceSeqNumberMutex;
    uint16_t DeviceSeqNumberRx;
    uint16_t DeviceSeqNumberTx;

    // Keep-alive thread, counters and the reconnect or teardown job.
    pthread_t DllpKeepAliveThreadHd;
    pthread_cond_t DllpKeepAliveThreadCondExit;
    pthread_mutex_t DllpKeepAliveThreadMutex;
    pthread_attr_t DllpKeepAliveThreadAttr;
    int DllpKeepAliveThreadExit;     // set under DllpKeepAliveThreadMutex
    int DllpKeepAliveThreadRunning;  // at most one keep-alive thread per record
    unsigned DllpKeepAliveCnt;
    unsigned DllpKeepAliveCntReset;
    pthread_mutex_t DllpKeepAliveCntMutex;
    struct timeval DllpKeepAliveT1;
    std::atomic<unsigned> DllpKeepAliveTryReConnectCnt;
    pthread_t JobThreadHd;
    std::atomic<int> ReConnectJobIsDone;  // 1 while no reconnect or teardown job runs
    int JobThreadJoinable;                // a finished or running job still to be joined

    // TLPs sent and not yet acknowledged, oldest first.
    _DLIST TlpRetransmissionPacketList;
    unsigned TlpRetransmissionPacketAmount;
    pthread_mutex_t TlpRetransmissionPacketListMutex;

    // References held by VnList (one) and by every lookup in progress.
    std::atomic<int> RefCount;
};
using PVN_DEVICE = _VN_DEVICE*;
