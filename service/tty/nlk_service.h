// The netlink transport to the kernel TTY driver: the socket and its receive thread, the
// transmit routine, the NLK message format and its codes, and the protocol trace.
#pragma once

#include <linux/netlink.h>
#include <pthread.h>

#include <atomic>
#include <cstddef>
#include <cstdint>

// The driver's netlink protocol and multicast group. Fixed at build time (one small file
// compiled per daemon binary): the shipped service uses 31 and 35, the test build a protocol
// and group a user-space stand-in for the driver can use.
extern const int NlkProtocol;
extern const int NlkGroup;

constexpr size_t kNlkHeaderLength = 12;
constexpr size_t kNlkMaxMessage = 2060;  // NLK header and payload
constexpr size_t kNlkMaxPayload = kNlkMaxMessage - kNlkHeaderLength;
constexpr size_t kNlkRxBuffSize = NLMSG_HDRLEN + kNlkMaxMessage;  // 2076
constexpr uint8_t kNlkVersion = 1;
constexpr uint8_t kNlkDeviceTypeTty = 1;
constexpr uint16_t kNlkResponseBit = 0x8000;

enum : uint16_t {
    TTY_CMD_OPEN = 0x0001,
    TTY_CMD_CLOSE = 0x0002,
    TTY_CMD_SET_DLL_DLM = 0x0003,
    TTY_CMD_SET_LCR = 0x0004,
    TTY_CMD_SET_FIFO_CTRL = 0x0005,
    TTY_CMD_SET_MCR = 0x0006,
    TTY_CMD_SET_EVENT_CTRL = 0x0007,
    TTY_CMD_GET_MSR = 0x0008,
    TTY_CMD_GET_MODE_1 = 0x0009,
    TTY_CMD_SET_MODE_1 = 0x000A,
    TTY_CMD_GET_MODE_2 = 0x000B,
    TTY_CMD_SET_MODE_2 = 0x000C,
    TTY_CMD_GET_ON_CHIP_HARDWARE_FLOW_CTRL = 0x000D,
    TTY_CMD_SET_ON_CHIP_HARDWARE_FLOW_CTRL = 0x000E,
    TTY_CMD_GET_TX_CURRENT_CREDIT = 0x000F,
    TTY_CMD_GET_TX_FIFO_DATA_CNT = 0x0010,
    TTY_CMD_GET_TX_TRIGGER_LEVEL = 0x0011,
    TTY_CMD_SET_TX_TRIGGER_LEVEL = 0x0012,
    TTY_CMD_GET_RX_TRIGGER_LEVEL = 0x0013,
    TTY_CMD_SET_RX_TRIGGER_LEVEL = 0x0014,
    TTY_EVENT_MSR = 0x1001,
    TTY_EVENT_LSR = 0x1002,
    TTY_EVENT_DATA_SERVICE_TO_KERNEL = 0x1004,
    TTY_DATA_KERNEL_TO_SERVICE = 0x2001,
    TTY_DATA_SERVICE_TO_KERNEL = 0x2002,
};
constexpr uint16_t kNlkFirstRequest = TTY_CMD_OPEN;
constexpr uint16_t kNlkLastRequest = TTY_CMD_SET_RX_TRIGGER_LEVEL;

// The 12-byte NLK header, little-endian on the wire.
struct _NLK_HEADER {
    uint8_t Version;
    uint8_t Reserved;
    uint8_t DeviceType;
    uint8_t MinorNumber;
    uint16_t CmdResponseEventData;
    uint16_t ResponseStatus;
    uint32_t Length;
};
// p holds at least kNlkHeaderLength bytes.
_NLK_HEADER NlkHeaderDecode(const uint8_t* p);
void NlkHeaderEncode(const _NLK_HEADER& h, uint8_t* p);

// The name of a code for the trace; "UNKNOW" for anything outside the table.
const char* NlkCodeName(uint16_t Code);

struct _NLK_SERVICE {
    int Start;
    int Sock;
    struct sockaddr_nl SrcAddr;
    // Where messages to the driver go: the sender of the last message received (the kernel,
    // pid 0, until then). Written by the receive thread, read by every sender.
    struct sockaddr_nl DestAddr;
    pthread_mutex_t DestAddrMutex;
    int RxThreadExitFd;
    pthread_t RxThreadHd;
    pthread_attr_t RxThreadAttr;
    uint8_t RxBuff[kNlkRxBuffSize];
};
extern _NLK_SERVICE NlkService;
// 1 while the bridge runs (read by the management service info from any thread).
extern std::atomic<int> NlkServiceStarted;

// 1 when running (also when it already ran), 0 when it could not start; without the kernel
// driver (protocol not supported) it fails without a message.
int NlkServiceStart(_NLK_SERVICE* pService);
void NlkServiceStop(_NLK_SERVICE* pService);

// Sends one NLK message (header and payload, Length bytes) to the driver. The byte count of
// the send, or -1 too long, -2 out of memory, or the negative result of the send.
int NlkTx(const uint8_t* pBuff, size_t Length);

// Sends one NLK message built from a header and up to two payload parts (a prefix such as a
// flag byte, then the data), without assembling it in a buffer of the caller's first; the
// header's Length is set to n1 + n2. Results as NlkTx.
int NlkTxMessage(_NLK_HEADER h, const uint8_t* p1, size_t n1, const uint8_t* p2 = nullptr, size_t n2 = 0);

// Prints one NLK message (header and payload, Length bytes present) for the protocol trace.
void NlkDump(const uint8_t* p, size_t Length, bool Received);

// Hands the bridge's state to the management service info.
void NlkServiceRegister();
