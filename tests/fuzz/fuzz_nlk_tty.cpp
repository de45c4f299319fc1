// The kernel driver's side of the TTY bridge: one arbitrary NLK message (any code, minor,
// Length and payload, any size) goes to NlkTtyHandleFromKernel against the TTY objects of a
// connected mapped unit with UART channels of versions 0, 2, 4, 5 and an unsupported 6 on
// minors 0..4, behind a NIC whose socket is closed (whatever goes to the unit fails at once).
// The same bytes, taken as a TLP of one of those channels, also go to the event and data
// handlers of the unit's receive path.
//
// Replies go through a netlink socket of this process (NETLINK_USERSOCK) back to itself, and
// are checked: a message without object gets one failure reply with its code + 0x8000; with
// an object, a request code 1..20 gets exactly one reply with that code, status 0 or 1 and
// the payload length of the code on success, nothing else; data and unknown codes get none.
// Every event and data message to the driver has version 1, device type 1 and a Length that
// matches the bytes sent.
#include "fuzz_support.h"
#include "nlk_service.h"
#include "nlk_tty.h"
#include "nlk_tty_obj.h"
#include "pem_dbg.h"
#include "qor_wire.h"

namespace {

const uint8_t kVersions[] = {0, 2, 4, 5, 6};
constexpr int kMinors = sizeof(kVersions);

int gSock = -1;

void Setup() {
    // UART DIBs with every capability: version in the info byte, capability bytes where the
    // version keeps them.
    InfoBuilder info("FUZZ-TTY");
    for (int i = 0; i < kMinors; ++i) {
        std::vector<uint8_t> caps = {0x80, 0, 0x80, 0, 0x7F, 0x3F};
        if (kVersions[i] == 5) caps.insert(caps.begin(), 4, 0);
        info.Dib(static_cast<uint8_t>(i), 1, kVersions[i], caps);
    }
    const uint8_t mac[6] = {0x02, 0x00, 0x00, 0x00, 0x1F, 0x01};
    VnRef unit = fuzz::AddUnit(fuzz::AddClosedNic(), mac, info);
    unit->IsMappingByHost = 1;
    unit->IsConnectedByHost = 1;
    for (int i = 0; i < kMinors; ++i) {
        unit->DibArray[i].Uart.TtyMinorNumber = i;
        if (!NlkTtyObjAdd(static_cast<uint8_t>(i), unit.get(), &unit->DibArray[i])) __builtin_trap();
    }

    // The bridge's socket talks to itself: every reply comes back here.
    gSock = socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC | SOCK_NONBLOCK, NETLINK_USERSOCK);
    struct sockaddr_nl self = {};
    self.nl_family = AF_NETLINK;
    socklen_t len = sizeof(self);
    if (gSock < 0 || bind(gSock, reinterpret_cast<sockaddr*>(&self), sizeof(self)) != 0 ||
        getsockname(gSock, reinterpret_cast<sockaddr*>(&self), &len) != 0)
        __builtin_trap();
    const int big = 4 << 20;
    setsockopt(gSock, SOL_SOCKET, SO_RCVBUFFORCE, &big, sizeof(big));
    NlkService.Sock = gSock;
    NlkService.SrcAddr = self;
    NlkService.DestAddr = self;
    DbgNlkIpcProtocol = 1;  // the trace reads the messages too (its output goes nowhere)
}

// The headers of the messages the bridge sent, each checked against its netlink length.
std::vector<_NLK_HEADER> Drain() {
    std::vector<_NLK_HEADER> out;
    uint8_t buff[8192];
    for (;;) {
        const ssize_t n = recv(gSock, buff, sizeof(buff), 0);
        if (n <= 0) break;
        if (static_cast<size_t>(n) < NLMSG_HDRLEN + kNlkHeaderLength) __builtin_trap();
        const _NLK_HEADER h = NlkHeaderDecode(buff + NLMSG_HDRLEN);
        const size_t payload = static_cast<size_t>(n) - NLMSG_HDRLEN - kNlkHeaderLength;
        // The netlink length is rounded up to 4: at most 3 bytes of padding.
        if (h.Version != 1 || h.Length > payload || payload - h.Length > 3) __builtin_trap();
        out.push_back(h);
    }
    return out;
}

// Payload of a successful reply to request code c.
size_t SuccessLength(uint16_t c) {
    if (c == TTY_CMD_OPEN) return 17;
    if (c == TTY_CMD_GET_TX_CURRENT_CREDIT || c == TTY_CMD_GET_TX_FIFO_DATA_CNT) return 2;
    const bool get = c == TTY_CMD_GET_MSR || c == TTY_CMD_GET_MODE_1 || c == TTY_CMD_GET_MODE_2 ||
                     c == TTY_CMD_GET_ON_CHIP_HARDWARE_FLOW_CTRL || c == TTY_CMD_GET_TX_TRIGGER_LEVEL ||
                     c == TTY_CMD_GET_RX_TRIGGER_LEVEL;
    return get ? 1 : 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const bool ready = (Setup(), true);
    (void)ready;
    NlkTtyHandleFromKernel(data, size);
    // The same bytes as a TLP of one of the channels, on the unit's receive path.
    if (size >= kTlpHeaderLength) {
        std::vector<uint8_t> tlp(data, data + size);
        tlp[0] = static_cast<uint8_t>(tlp[0] % kMinors);
        NlkTtyObjRef o = NlkTtyObjGetByMinorNumer(tlp[0]);
        if (!o) __builtin_trap();
        const auto* hdr = reinterpret_cast<const _TLP_HEADER*>(tlp.data());
        NlkTtyEventHandle(o.get(), hdr, tlp.size());
        NlkTtyDataHandle(o.get(), hdr, tlp.size());
    }
    if (!NlkTtyWaitWorkers(5000)) __builtin_trap();
    const std::vector<_NLK_HEADER> replies = Drain();

    // The one reply the message asks for, if any.
    size_t answered = replies.size();
    if (size >= kNlkHeaderLength) {
        const _NLK_HEADER h = NlkHeaderDecode(data);
        const uint16_t c = h.CmdResponseEventData;
        const bool object = h.MinorNumber < kMinors;
        if (!object || (c >= kNlkFirstRequest && c <= kNlkLastRequest)) {
            for (size_t i = 0; i < replies.size(); ++i) {
                const _NLK_HEADER& r = replies[i];
                if (r.CmdResponseEventData != static_cast<uint16_t>(c + kNlkResponseBit) ||
                    r.MinorNumber != h.MinorNumber)
                    continue;
                if (answered != replies.size() || r.ResponseStatus > 1) __builtin_trap();
                if (!object && r.ResponseStatus != 1) __builtin_trap();
                if (r.Length != (r.ResponseStatus == 0 ? SuccessLength(c) : 0)) __builtin_trap();
                answered = i;
            }
            if (answered == replies.size()) __builtin_trap();
        }
    }
    // Everything else is an event or received data for a minor with an object.
    for (size_t i = 0; i < replies.size(); ++i) {
        if (i == answered) continue;
        const _NLK_HEADER& r = replies[i];
        const uint16_t c = r.CmdResponseEventData;
        if (r.DeviceType != 1 || r.ResponseStatus != 0 || r.MinorNumber >= kMinors) __builtin_trap();
        if (c != TTY_EVENT_MSR && c != TTY_EVENT_LSR && c != TTY_EVENT_DATA_SERVICE_TO_KERNEL &&
            c != TTY_DATA_SERVICE_TO_KERNEL)
            __builtin_trap();
        if ((c == TTY_EVENT_MSR && r.Length != 1) || (c == TTY_EVENT_LSR && r.Length != 3)) __builtin_trap();
    }
    return 0;
}
