// The CTU side of libqorio: one configuration connection per unit (to the unit's CTU port),
// kept in a registry by MAC, and one request function per configuration command.
//
// A request waits for the response with its own code (0x8000 | command); events and foreign
// responses that arrive first are dropped. Calls on one unit are serialised by the entry's own
// lock. The protocol has no request id, so after a time-out the connection is closed (a late
// answer could otherwise be taken for the next call's) and opened again by the next call.
#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <stdio.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <mutex>
#include <new>
#include <vector>

#include "ctu_codes.h"
#include "ctu_decode.h"
#include "mng_client.h"
#include "qor_wire.h"
#include "qorio.h"

using namespace qorlib;

namespace {

constexpr size_t kCtuHeaderLength = qor::ctu::kHeaderLength;
// The largest packet the service sends, header included.
constexpr size_t kCtuMaxPacket = 2060;
constexpr int kCtuTimeoutMs = 20000;
constexpr int kCtuFirmwareTimeoutMs = 82000;
constexpr size_t kPortsRecordLength = 36;

using enum qor::ctu::CtuCode;
constexpr uint16_t CTU_RESPONSE_FLAG = qor::ctu::kResponseBit;
constexpr uint16_t FIRMWARE_DOWNLOAD_OK = qor::ctu::kStatusFirmwareDownloadOk;

// One unit's configuration connection.
struct _CTU_CLIENT {
    std::mutex Lock;  // one request at a time on this connection
    int Sock = -1;
    sockaddr_in Addr{};
    uint8_t VnMac[6]{};
    std::vector<uint8_t> Buff = std::vector<uint8_t>(kCtuMaxPacket);

    ~_CTU_CLIENT() {
        if (Sock >= 0) close(Sock);
    }
};
using PCTU_CLIENT = std::shared_ptr<_CTU_CLIENT>;

std::mutex CtuListMutex;
std::vector<PCTU_CLIENT> CtuList;

PCTU_CLIENT CtuMainGetByMac(const uint8_t* pMac) {
    std::lock_guard<std::mutex> lock(CtuListMutex);
    for (const auto& c : CtuList) {
        if (memcmp(c->VnMac, pMac, 6) == 0) return c;
    }
    return nullptr;
}

bool CtuMainAdd(const PCTU_CLIENT& pClient) {
    std::lock_guard<std::mutex> lock(CtuListMutex);
    for (const auto& c : CtuList) {
        if (memcmp(c->VnMac, pClient->VnMac, 6) == 0) return false;
    }
    CtuList.push_back(pClient);
    return true;
}

// Removes the MAC's entry; its socket closes when the last call using it has returned.
bool CtuMaindel(const uint8_t* pMac) {
    std::lock_guard<std::mutex> lock(CtuListMutex);
    const auto it =
        std::find_if(CtuList.begin(), CtuList.end(), [&](const PCTU_CLIENT& c) { return memcmp(c->VnMac, pMac, 6) == 0; });
    if (it == CtuList.end()) return false;
    CtuList.erase(it);
    return true;
}

// The unit's CTU port from the units this host has connected: 0 and the port, or a code.
int _FindCtuPort(const uint8_t* pMac, uint16_t* pPort) {
    if (!MngClient().IsConnect) return VN_ERR_NOT_CONNECTED;
    MngExchange x;
    const int rc = x.Request(CMD_GET_ALL_VN_INFO_CONNECTED_BY_HOST, nullptr, 0);
    if (rc != 0) return rc;
    if (x.Response.PayloadLength == 0) return VN_ERR_EMPTY_ANSWER;
    for (size_t at = 0; at + kPortsRecordLength <= x.Response.PayloadLength; at += kPortsRecordLength) {
        const uint8_t* p = x.Response.Payload + at;
        if (memcmp(p, pMac, 6) == 0) {
            const uint32_t port = qor::GetBe32(p + 28);
            if (port > 0xFFFF) return VN_ERR_NOT_CONNECTED_BY_HOST;
            *pPort = static_cast<uint16_t>(port);
            return 0;
        }
    }
    return VN_ERR_NOT_CONNECTED_BY_HOST;
}

void _CtuDisconnect(_CTU_CLIENT* pClient) {
    if (pClient->Sock >= 0) close(pClient->Sock);
    pClient->Sock = -1;
}

// 1 when the connection to the CTU port is up. The unit's server may still be starting
// (connect reports the port first) or not yet listening again after its last client left, so
// a refusal is retried for a second.
int _CtuConnect(_CTU_CLIENT* pClient) {
    _CtuDisconnect(pClient);
    for (int attempt = 0; attempt < 100; ++attempt) {
        const int sock = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (sock < 0) return 0;
        const int one = 1;
        setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));
        if (connect(sock, reinterpret_cast<const sockaddr*>(&pClient->Addr), sizeof(pClient->Addr)) == 0) {
            pClient->Sock = sock;
            return 1;
        }
        const int err = errno;
        close(sock);
        if (err != ECONNREFUSED) return 0;
        usleep(10000);
    }
    return 0;
}

using SteadyClock = std::chrono::steady_clock;

// Reads exactly Length bytes (a null pBuff drops them) before the deadline.
bool _RecvExact(int Sock, uint8_t* pBuff, size_t Length, SteadyClock::time_point Deadline) {
    uint8_t scratch[256];
    size_t done = 0;
    while (done < Length) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(Deadline - SteadyClock::now()).count();
        if (left <= 0) return false;
        struct pollfd pfd = {Sock, POLLIN, 0};
        const int n = poll(&pfd, 1, static_cast<int>(left));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        size_t want = Length - done;
        uint8_t* dst = pBuff ? pBuff + done : scratch;
        if (!pBuff && want > sizeof(scratch)) want = sizeof(scratch);
        const ssize_t r = recv(Sock, dst, want, 0);
        if (r > 0) {
            done += static_cast<size_t>(r);
        } else if (r == 0 || (errno != EINTR && errno != EAGAIN)) {
            return false;  // closed by the service, or a socket error
        }
    }
    return true;
}

// One whole packet into Buff: its code, status and payload length; false when it did not
// arrive whole in time or was larger than any packet the service sends.
bool _RecvPacket(_CTU_CLIENT* pClient, int TimeoutMs, uint16_t* pCode, uint16_t* pStatus, size_t* pLength) {
    const auto deadline = SteadyClock::now() + std::chrono::milliseconds(TimeoutMs);
    uint8_t* b = pClient->Buff.data();
    memset(b, 0, pClient->Buff.size());
    if (!_RecvExact(pClient->Sock, b, kCtuHeaderLength, deadline)) return false;
    const uint32_t length = qor::GetLe32(b + 8);
    if (length > kCtuMaxPacket - kCtuHeaderLength) return false;
    if (!_RecvExact(pClient->Sock, b + kCtuHeaderLength, length, deadline)) return false;
    *pCode = qor::GetLe16(b + 4);
    *pStatus = qor::GetLe16(b + 6);
    *pLength = length;
    return true;
}

// Sends one command and waits for its response; 0 and the status, or 117 / 116. On 116 the
// connection is closed so that its late answer is never read as another call's.
int _Request(_CTU_CLIENT* pClient, uint16_t Cmd, const uint8_t* pPayload, size_t Length, int TimeoutMs,
             uint16_t* pStatus, size_t* pAnswerLength) {
    if (pClient->Sock < 0 && !_CtuConnect(pClient)) return VN_ERR_CTU_CONNECT;
    if (kCtuHeaderLength + Length > kCtuMaxPacket) return 117;
    std::vector<uint8_t> tx(kCtuHeaderLength + Length, 0);
    tx[0] = qor::ctu::kVersion;
    qor::PutLe16(&tx[4], Cmd);
    qor::PutLe32(&tx[8], static_cast<uint32_t>(Length));
    if (Length > 0) memcpy(&tx[kCtuHeaderLength], pPayload, Length);
    const ssize_t sent = send(pClient->Sock, tx.data(), tx.size(), MSG_NOSIGNAL);
    if (sent != static_cast<ssize_t>(tx.size())) {
        _CtuDisconnect(pClient);
        return 117;
    }
    const auto deadline = SteadyClock::now() + std::chrono::milliseconds(TimeoutMs);
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - SteadyClock::now()).count();
        uint16_t code = 0;
        if (left <= 0 || !_RecvPacket(pClient, static_cast<int>(left), &code, pStatus, pAnswerLength)) {
            _CtuDisconnect(pClient);
            return 116;
        }
        if (code == (CTU_RESPONSE_FLAG | Cmd)) return 0;
    }
}

// The request with the status as result.
int _Command(const uint8_t* pMac, uint16_t Cmd, const uint8_t* pPayload, size_t Length) {
    if (!pMac) return 1;
    const PCTU_CLIENT c = CtuMainGetByMac(pMac);
    if (!c) return 112;
    std::lock_guard<std::mutex> lock(c->Lock);
    uint16_t status = 0;
    size_t answer = 0;
    const int rc = _Request(c.get(), Cmd, pPayload, Length, kCtuTimeoutMs, &status, &answer);
    return rc != 0 ? rc : status;
}

int _CtuUpdatefirmware(_CTU_CLIENT* pClient, const char* pPath) {
    printf("ZEPLIB : Download ...\n");
    fflush(stdout);
    uint16_t status = 0;
    size_t answer = 0;
    int rc = _Request(pClient, CMD_SET_FIRMWARE_FILE_AND_UPDATE, reinterpret_cast<const uint8_t*>(pPath),
                      strlen(pPath), kCtuFirmwareTimeoutMs, &status, &answer);
    if (rc != 0) return rc;
    if (status != FIRMWARE_DOWNLOAD_OK) return status;
    int progress = 0;
    for (;;) {
        uint16_t code = 0;
        if (!_RecvPacket(pClient, kCtuFirmwareTimeoutMs, &code, &status, &answer)) {
            _CtuDisconnect(pClient);
            return 116;
        }
        if (code == EVENT_PROGRAMMING_OK) {
            progress += 10;
            if (progress <= 90) printf("ZEPLIB : Programming %d%% OK\n", progress);
        } else if (code == EVENT_PROGRAMMING_FAIL) {
            printf("ZEPLIB : Programming %d%% FAIL\n\n\n", progress + 10);
            fflush(stdout);
            return VN_ERR_CTU_PROGRAMMING_FAIL;
        } else if (code == EVENT_PROGRAMMING_FINISH) {
            printf("ZEPLIB : Programming FINISH\n\n");
            printf("ZEPLIB : VN will reboot and receive disconnect event in a while.\n\n");
            printf("          Back to main menu\n\n");
            fflush(stdout);
            return 0;
        }
        fflush(stdout);
    }
}

}  // namespace

extern "C" {

QORIO_API int ctu_connect(uint8_t* pMac) {
    if (!pMac) return 1;
    uint16_t port = 0;
    const int rc = _FindCtuPort(pMac, &port);
    if (rc != 0) return rc;
    if (CtuMainGetByMac(pMac)) return 115;
    auto c = std::make_shared<_CTU_CLIENT>();
    memcpy(c->VnMac, pMac, 6);
    c->Addr.sin_family = AF_INET;
    c->Addr.sin_port = htons(port);
    c->Addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (!_CtuConnect(c.get())) return 113;
    if (!CtuMainAdd(c)) return 115;  // another thread connected the unit meanwhile
    return 0;
}

QORIO_API int ctu_disconnect(uint8_t* pMac) {
    if (!pMac) return 1;
    uint16_t port = 0;
    const int rc = _FindCtuPort(pMac, &port);
    const bool present = CtuMaindel(pMac);  // removed in every case
    if (rc != 0) return rc;
    return present ? 0 : 81;
}

QORIO_API int ctu_set_mac(uint8_t* pMac, uint8_t* pNewMac) {
    if (!pMac || !pNewMac) return 1;
    const int rc = _Command(pMac, CMD_SET_MAC_ADDRESS, pNewMac, 6);
    // The service disconnects the unit, which takes its new identity: the old connection is
    // of no further use.
    if (rc == 0) CtuMaindel(pMac);
    return rc;
}

QORIO_API int ctu_set_device_name(uint8_t* pMac, const char* pName) {
    if (!pMac || !pName) return 1;
    if (!CtuMainGetByMac(pMac)) return 112;
    std::unique_ptr<_VN_UNIT_RECORD> unit(new (std::nothrow) _VN_UNIT_RECORD);
    if (!unit) return VN_ERR_NO_MEMORY;
    const int rc = mng_get_specific_vn_detail_info(pMac, unit.get());
    if (rc != 0) return rc;
    bool named = false;
    for (int i = 0; i < unit->AvailableChls && i < VN_MAX_CHANNELS; ++i) named |= unit->Chl[i].Type == 128;
    if (!named) return 119;
    return _Command(pMac, CMD_SET_DEVICE_NAME, reinterpret_cast<const uint8_t*>(pName), strlen(pName));
}

QORIO_API int ctu_set_passsword(uint8_t* pMac, int Setting, const char* pPassword) {
    if (!pMac) return 1;
    if (!CtuMainGetByMac(pMac)) return 112;
    if (Setting != 0 && Setting != 1) return 118;
    std::vector<uint8_t> payload = {static_cast<uint8_t>(Setting)};
    if (Setting == 1 && pPassword) payload.insert(payload.end(), pPassword, pPassword + strlen(pPassword));
    return _Command(pMac, CMD_SET_PASSWORD, payload.data(), payload.size());
}

QORIO_API int ctu_set_uart_setting(uint8_t* pMac) {
    return _Command(pMac, CMD_STORE_UART_SETTING_TO_FLASH, nullptr, 0);
}

QORIO_API int ctu_set_dio_setting(uint8_t* pMac) {
    return _Command(pMac, CMD_STORE_DIO_SETTING_TO_FLASH, nullptr, 0);
}

QORIO_API int ctu_update_firmware(uint8_t* pMac, const char* pPath) {
    if (!pMac || !pPath) return 1;
    const PCTU_CLIENT c = CtuMainGetByMac(pMac);
    if (!c) return 112;
    std::lock_guard<std::mutex> lock(c->Lock);
    return _CtuUpdatefirmware(c.get(), pPath);
}

QORIO_API int CtuClientGetMaiT1Calibration(uint8_t* pMac, _MAI_T1_CALIBRATION* pOut) {
    if (!pMac || !pOut) return 1;
    const PCTU_CLIENT c = CtuMainGetByMac(pMac);
    if (!c) return 112;
    std::lock_guard<std::mutex> lock(c->Lock);
    uint16_t status = 0;
    size_t length = 0;
    const int rc = _Request(c.get(), CMD_GET_MFAI_T1_CALIBRATION, nullptr, 0, kCtuTimeoutMs, &status, &length);
    if (rc != 0) return rc;
    if (status != 0) return status;
    CtuDecodeMaiT1Calibration(c->Buff.data() + kCtuHeaderLength, length, pOut);
    return 0;
}

}  // extern "C"

namespace qorlib {

// Closes the unit's configuration connection, if there is one (vn_disconnect).
bool CtuClientCloseForUnit(const uint8_t* pMac) { return CtuMaindel(pMac); }

}  // namespace qorlib
