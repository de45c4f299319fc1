// Dispatch of a client's packet to a command worker thread, the worker frame that always
// sends exactly one response, and the thirteen command handlers.
#include <errno.h>
#include <stdarg.h>
#include <stdio.h>
#include <string.h>
#include <sys/time.h>

#include <algorithm>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "cfg_record.h"
#include "ctu_cmd.h"
#include "ctu_firmware_file.h"
#include "ctu_obj.h"
#include "ctu_protocol.h"
#include "ctu_server.h"
#include "cu_nvm.h"
#include "dio_cache.h"
#include "pem_dbg.h"
#include "pem_lock.h"
#include "pem_worker.h"
#include "qor_wire.h"
#include "vn_connect.h"
#include "vn_dllp_cmd.h"
#include "vn_main.h"

namespace {

PemWorkerGroup gWorkers;

// The words of each command in the dispatch messages and in the handlers' messages.
const char* const kDispatchWords[] = {
    "get mac address",
    "set mac address",
    "get device name",
    "set device name",
    "get link status",
    "set link status",
    "set firmware file and update",
    "set model name",
    "set password",
    "store uart setting to flash",
    "store dio setting to flash",
    "get MFAI T0 calibration",
    "get MFAI T1 calibration",
};
const char* const kHandlerWords[] = {
    "get mac address",
    "set mac address",
    "get device name",
    "set device name",
    "get link status",
    "set link status",
    "set firmware file and update",
    "set model name",
    "set password",
    "store UART setting to flash",
    "store DIO setting to flash",
    "get MFAI T0 calibration",
    "get MFAI T1 calibration",
};

struct _CTU_THREAD_CONTEXT {
    PCTU_CLIENT ClientPtr;
    std::vector<uint8_t> Buff;            // the packet, header included, zero beyond the bytes received
    size_t Length;                        // bytes received
    std::shared_ptr<_CTU_SERVER> Server;  // keeps the client slot valid for the response
    uint32_t Generation;                  // the client that asked
    VnRef Vn;
};

// What a handler works with: the request, its unit and object, and the response payload.
struct Job {
    uint16_t Cmd;
    const uint8_t* Payload;  // PayloadLength bytes readable
    uint32_t PayloadLength;
    PVN_DEVICE Vn;
    CtuObjRef Obj;
    _CTU_LOG Log;
    std::vector<uint8_t> Out;
    bool DisconnectAfter = false;
};

void _Log(const Job& j, const char* fmt, ...) __attribute__((format(printf, 2, 3)));
void _Log(const Job& j, const char* fmt, ...) {
    char what[160];
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(what, sizeof(what), fmt, ap);
    va_end(ap);
    PemDbg(1, 1, "CTU (T:%d, C:%d), %s, %s\n", j.Log.Port, 0, j.Log.Words, what);
}

bool _HasStringChannel(PVN_DEVICE pVn) {
    qor::ReadLock info(&pVn->InfoLock);
    const int n = std::min<int>(pVn->AvailableChls, kVnMaxChannels);
    for (int i = 0; i < n; ++i)
        if (pVn->DibArray[i].Type == DIB_TYPE_STRING) return true;
    return false;
}

uint8_t _CtuVersion(const Job& j) {
    qor::ReadLock info(&j.Vn->InfoLock);
    return j.Obj->DibPtr->CtU.Version;
}

uint16_t _GetMacAddress(Job& j) {
    const uint8_t hdr[4] = {1, 0, 6, 0};
    uint8_t d[8];
    const uint16_t st = CtuStepGet(j.Obj.get(), j.Log, nullptr, hdr, d, 2);
    if (st != 0) return st;
    j.Out = {d[5], d[4], d[3], d[2], d[1], d[0]};
    return 0;
}

uint16_t _SetMacAddress(Job& j) {
    if (j.PayloadLength != 6) {
        _Log(j, "invalid data length");
        return CTU_STATUS_LENGTH_INVALID;
    }
    const uint8_t* mac = j.Payload;
    const uint8_t hdr[4] = {1, 1, 6, 0};
    const uint8_t words[8] = {mac[5], mac[4], mac[3], mac[2], mac[1], mac[0], 0, 0};
    const uint16_t st = CtuStepSet(j.Obj.get(), j.Log, nullptr, hdr, words, 2, CtuDataWrites::StopAtFail);
    // The unit takes its new identity: it is disconnected once the client has the answer.
    if (st == 0) j.DisconnectAfter = true;
    return st;
}

uint16_t _GetDeviceName(Job& j) {
    if (!_HasStringChannel(j.Vn)) {
        _Log(j, "no virtual channel");
        return CTU_STATUS_FUNCTION_UNSUPPORT;
    }
    const uint8_t version = _CtuVersion(j);
    if (version > 1) {
        _Log(j, "unsupport controller version:x%02x", version);
        return CTU_STATUS_CONTROLLER_VERSION_UNSUPPORT;
    }
    const size_t words = version == 0 ? 5 : 16;
    const uint8_t hdr[4] = {2, 0, static_cast<uint8_t>(version == 0 ? 20 : 64), 0};
    uint8_t d[64];
    const uint16_t st = CtuStepGet(j.Obj.get(), j.Log, version == 0 ? "V0" : "V1", hdr, d, words);
    if (st != 0) return st;
    std::vector<uint8_t> list;
    for (size_t w = 0; w < words; ++w)
        for (int b = 3; b >= 0; --b)
            if (d[4 * w + static_cast<size_t>(b)] != 0) list.push_back(d[4 * w + static_cast<size_t>(b)]);
    j.Out.assign(list.rbegin(), list.rend());
    return 0;
}

uint16_t _SetDeviceName(Job& j) {
    if (!_HasStringChannel(j.Vn)) {
        _Log(j, "no virtual channel");
        return CTU_STATUS_FUNCTION_UNSUPPORT;
    }
    const uint8_t version = _CtuVersion(j);
    if (version > 1) {
        _Log(j, "unsupport controller version:x%02x", version);
        return CTU_STATUS_CONTROLLER_VERSION_UNSUPPORT;
    }
    const uint32_t n = j.PayloadLength;
    if (version == 0) {
        if (n < 1 || n > 20) {
            PemDbg(1, 1, "CTU (T:%d, C:%d), set device name V0, invalid data length:%d\n", j.Log.Port, 0,
                   static_cast<int>(n));
            return CTU_STATUS_LENGTH_INVALID;
        }
        uint8_t name[20] = {};
        memcpy(name, j.Payload, n);
        const uint8_t hdr[4] = {2, 1, static_cast<uint8_t>(n), 0};
        uint8_t words[20];
        for (int i = 0; i < 20; ++i) words[i] = name[19 - i];
        return CtuStepSet(j.Obj.get(), j.Log, "V0", hdr, words, 5, CtuDataWrites::StopAtFail);
    }
    if (n < 1 || n > 64) {
        PemDbg(1, 1, "CTU (T:%d, C:%d), set device name V1, invalid data length:%d\n", j.Log.Port, 0,
               static_cast<int>(n));
        return CTU_STATUS_LENGTH_INVALID;
    }
    const uint32_t padded = (n + 3) & ~3u;
    uint8_t name[64] = {};
    memcpy(name, j.Payload, n);
    const uint8_t hdr[4] = {2, 1, static_cast<uint8_t>(padded), 0};
    return CtuStepSet(j.Obj.get(), j.Log, "V1", hdr, name, padded / 4, CtuDataWrites::ThenExecute);
}

uint16_t _GetLinkStatus(Job& j) {
    const uint8_t hdr[4] = {3, 0, 1, 0};
    uint8_t d[4];
    const uint16_t st = CtuStepGet(j.Obj.get(), j.Log, nullptr, hdr, d, 1);
    if (st == 0) j.Out = {d[0]};
    return st;
}

uint16_t _SetLinkStatus(Job& j) {
    if (j.PayloadLength != 1) {
        _Log(j, "invalid data length");
        return CTU_STATUS_LENGTH_INVALID;
    }
    const uint8_t hdr[4] = {3, 1, 1, 0};
    const uint8_t word[4] = {j.Payload[0], 0, 0, 0};
    return CtuStepSet(j.Obj.get(), j.Log, nullptr, hdr, word, 1, CtuDataWrites::StopAtFail);
}

uint16_t _SetModelName(Job& j) {
    if (j.PayloadLength != 2) {
        _Log(j, "invalid data length");
        return CTU_STATUS_LENGTH_INVALID;
    }
    const uint8_t hdr[4] = {6, 1, 2, 0};
    const uint8_t word[4] = {j.Payload[0], j.Payload[1], 0, 0};
    return CtuStepSet(j.Obj.get(), j.Log, nullptr, hdr, word, 1, CtuDataWrites::StopAtFail);
}

uint16_t _SetPassword(Job& j) {
    if (j.PayloadLength < 1 || j.PayloadLength > 33) {
        _Log(j, "invalid data length");
        return CTU_STATUS_LENGTH_INVALID;
    }
    const uint8_t setting = j.Payload[0];
    if (setting > 1) {
        _Log(j, "invalid PasswordSetting:x%02x", setting);
        return CTU_STATUS_DATA_INVALID;
    }
    uint8_t reversed[32];
    VnPasswordToRaw(j.Payload + 1, j.PayloadLength - 1, reversed);
    const uint8_t hdr[4] = {7, 1, 36, 0};
    uint8_t words[36] = {setting, 0, 0, 0};
    memcpy(words + 4, reversed, 32);
    const uint16_t st = CtuStepSet(j.Obj.get(), j.Log, nullptr, hdr, words, 9, CtuDataWrites::ThenExecute);
    if (st != 0) return st;
    // The unit now checks the new password: reconnects and the stored record must use it.
    {
        qor::MutexLock lock(&j.Vn->DllpCmdCompleteMutex);
        if (setting == 1)
            memcpy(j.Vn->PasswordRaw, reversed, 32);
        else
            memset(j.Vn->PasswordRaw, 0, 32);
    }
    if (!CfgConnectWritePassword(j.Vn->Mac, j.Vn->PasswordRaw)) {
        _Log(j, "write password to file fail");
        return CTU_STATUS_SET_PASSWORD_FAIL;
    }
    return 0;
}

uint16_t _StoreUartSettingToFlash(Job& j) {
    std::vector<uint8_t> words;
    {
        qor::ReadLock info(&j.Vn->InfoLock);
        const int n = std::min<int>(j.Vn->AvailableChls, kVnMaxChannels);
        for (int i = 0; i < n; ++i) {
            const _DIB& d = j.Vn->DibArray[i];
            if (d.Type != DIB_TYPE_UART || d.Uart.Version <= 1) continue;
            words.insert(words.end(), {static_cast<uint8_t>(d.Uart.Control2Reg),
                                       static_cast<uint8_t>(d.Uart.Control2Reg >> 8), 0, 0});
        }
    }
    if (words.empty()) {
        _Log(j, "no supported UART version channel");
        return CTU_STATUS_NO_SUPPORTED_UART_VERSION_CHANNEL;
    }
    const uint8_t hdr[4] = {8, 1, static_cast<uint8_t>(words.size()), 0};
    return CtuStepSet(j.Obj.get(), j.Log, nullptr, hdr, words.data(), words.size() / 4,
                      CtuDataWrites::ThenExecute);
}

struct DioWord {
    int Reg;  // 0..4 the channel registers, 5 + b the control register of bank b
};

void _DioWordFailed(size_t Index, const void* pCtx) {
    const auto* j = static_cast<const std::pair<const Job*, const std::vector<DioWord>*>*>(pCtx);
    static const char* const kRegs[] = {"store input invert enable reg fail", "store direction ctrl reg fail",
                                        "store output initial value reg fail",
                                        "store output safe value reg fail",
                                        "store output safe value timer reg fail"};
    const int reg = (*j->second)[Index].Reg;
    if (reg < 5)
        _Log(*j->first, "%s", kRegs[reg]);
    else
        _Log(*j->first, "store bank(%d) ctrl reg fail", reg - 5);
}

uint16_t _StoreDioSettingToFlash(Job& j) {
    std::vector<uint8_t> words;
    std::vector<DioWord> which;
    auto put = [&](uint32_t v, int reg) {
        uint8_t w[4];
        qor::PutLe32(w, v);
        words.insert(words.end(), w, w + 4);
        which.push_back({reg});
    };
    {
        qor::ReadLock info(&j.Vn->InfoLock);
        const int n = std::min<int>(j.Vn->AvailableChls, kVnMaxChannels);
        for (int i = 0; i < n; ++i) {
            const _DIB& d = j.Vn->DibArray[i];
            if (d.Type != DIB_TYPE_DIO || !d.DioPtr || d.DioPtr->Version <= 1) continue;
            // Through the DIO channel's object when it has one: its commands change these
            // values under the channel's register lock.
            _DIO_CACHE_WORDS c{};
            if (!DioCacheRead || !DioCacheRead(j.Vn, d.ChlNumber, &c)) {
                const _DIB_DIO& dio = *d.DioPtr;
                c = {{dio.InputInvertEnableReg, dio.DirectionCtrlReg, dio.OutputInitialValueReg,
                      dio.OutputSafeValueReg, dio.OutputSafeValueTimerReg},
                     {},
                     std::min<int>(dio.NumberOfBanks, kDibMaxDioBanks)};
                for (int b = 0; b < c.Banks; ++b) c.BankCtrl[b] = dio.Bank[b].CtrlReg;
            }
            for (int r = 0; r < 5; ++r) put(c.Reg[r], r);
            for (int b = 0; b < c.Banks; ++b) put(c.BankCtrl[b], 5 + b);
        }
    }
    if (words.empty()) {
        _Log(j, "no supported DIO version channel");
        return CTU_STATUS_NO_SUPPORTED_DIO_VERSION_CHANNEL;
    }
    const size_t n = words.size();
    const uint8_t hdr[4] = {9, 1, static_cast<uint8_t>(n), static_cast<uint8_t>(n >> 8)};
    const std::pair<const Job*, const std::vector<DioWord>*> ctx{&j, &which};
    PCTU_OBJ o = j.Obj.get();
    ChlSlotLock lock(&o->Slot);
    if (!CtuCmdSendSetLocked(o, hdr, words.data(), n / 4, CtuDataWrites::AllAttempted, _DioWordFailed,
                             &ctx)) {
        CtuLogStep(j.Log, nullptr, "tx cmd fail");
        return CTU_STATUS_TX_CMD_FAIL;
    }
    uint8_t code = 0;
    const uint16_t st = CtuWaitEventLocked(o, kChlAnswerTimeoutMs, &code);
    if (st == CTU_STATUS_RX_RESPONSE_TIMEOUT) CtuLogStep(j.Log, nullptr, "rx response wait timeout");
    if (st != 0) return st;
    if (code == 1) return 0;
    _Log(j, "EventCode:x%02x", code);
    return code == 15 ? CTU_STATUS_UNSUPPORT_COMMAND : CTU_STATUS_TX_CMD_FAIL;
}

uint16_t _GetMFAICalibration(Job& j, uint8_t CalType) {
    char prefix[96];
    snprintf(prefix, sizeof(prefix), "CTU (T:%d, C:%d), %s", j.Log.Port, 0, j.Log.Words);
    PCTU_OBJ o = j.Obj.get();
    const uint16_t st = CuNvmReadCalibration(o->VnPtr, &o->Slot, o->DibChlNumber, CalType, &j.Out, prefix);
    if (st == CTU_STATUS_RX_RESPONSE_TIMEOUT) o->Owed = CTU_OWED_NVM_EVENT;
    if (st != 0) return st;
    // A table that does not fit one CTU message cannot be sent: the client gets a failure
    // rather than no answer at all.
    if (kCtuHeaderLength + j.Out.size() > CTU_MSG_MAX_PAYLOAD) {
        _Log(j, "response too big, Length:%d", static_cast<int>(j.Out.size()));
        j.Out.clear();
        return CTU_STATUS_RX_RESPONSE_DATA_FORMAT_INVALID;
    }
    return 0;
}

uint16_t _GetMFAIT0Calibration(Job& j) {
    return _GetMFAICalibration(j, 0);
}
uint16_t _GetMFAIT1Calibration(Job& j) {
    return _GetMFAICalibration(j, 1);
}

int64_t _NowUs() {
    struct timeval tv;
    gettimeofday(&tv, nullptr);
    return int64_t{tv.tv_sec} * 1000000 + tv.tv_usec;
}

// Waits for the class-1 event of a firmware step and maps its code; 0 to go on.
uint16_t _FirmwareWait(Job& j, unsigned TimeoutMs, bool Data, uint32_t Index) {
    uint8_t code = 0;
    const uint16_t st = CtuWaitEventLocked(j.Obj.get(), TimeoutMs, &code);
    if (st == CTU_STATUS_RX_RESPONSE_DATA_FORMAT_INVALID) return st;
    if (st != 0) {
        if (Data)
            _Log(j, "set data rx response wait timeout, Index:%u", Index);
        else
            _Log(j, "set total length rx response wait timeout");
        return CTU_STATUS_RX_RESPONSE_TIMEOUT;
    }
    if (code == 1 || (Data && code == 3)) return 0;
    if (code == 15) return CTU_STATUS_UNSUPPORT_COMMAND;
    if (Data) {
        _Log(j, "set data EventCode:x%02x, Index:%u", code, Index);
        return CTU_STATUS_FIRMWARE_DOWNLOAD_FAIL;
    }
    _Log(j, "set total length EventCode:x%02x", code);
    return CTU_STATUS_FIRMWARE_SET_TOTAL_LENGTH_FAIL;
}

uint16_t _SetFirmwareFileAndUpdate(Job& j) {
    if (j.PayloadLength == 0 || j.PayloadLength >= kCtuFirmwarePathMax) {
        _Log(j, "invalid data length:%d", static_cast<int>(j.PayloadLength));
        return CTU_STATUS_LENGTH_INVALID;
    }
    const int64_t t0 = _NowUs();
    // The path ends at its first zero byte, as in the zeroed 512-byte buffer it is copied to.
    const std::string path(reinterpret_cast<const char*>(j.Payload),
                           strnlen(reinterpret_cast<const char*>(j.Payload), j.PayloadLength));
    std::vector<uint8_t> file;
    uint16_t st = CtuFirmwareFileRead(path.c_str(), &file);
    switch (st) {
        case 0:
            break;
        case CTU_STATUS_FIRMWARE_FILE_OPEN_FAIL:
            _Log(j, "open fail");
            return st;
        case CTU_STATUS_FIRMWARE_FILE_NO_CONTENT:
            _Log(j, "no content");
            return st;
        case CTU_STATUS_FIRMWARE_FILE_READ_FAIL:
            _Log(j, "read fail, FdRxTotal:%d", static_cast<int>(file.size()));
            return st;
        default:
            _Log(j, "malloc fail");
            return st;
    }
    uint8_t unitType;
    uint8_t model[10];
    {
        qor::ReadLock info(&j.Vn->InfoLock);
        unitType = j.Vn->TypeInfo_Mode;
        memcpy(model, j.Vn->ModelName, sizeof(model));
    }
    _CTU_FIRMWARE_IMAGE img{};
    char why[64];
    st = CtuFirmwareCheck(file.data(), file.size(), unitType, model, &img, why, sizeof(why));
    if (st != 0) {
        _Log(j, "%s", why);
        return st;
    }
    const int64_t t1 = _NowUs();
    int64_t waitUs = 0;
    PCTU_OBJ o = j.Obj.get();
    // The object stays held over the whole download: other commands for the unit wait.
    ChlSlotLock lock(&o->Slot);
    if (!CtuCmdSetFirmwareTotalLength(o, img.ImageSize)) {
        _Log(j, "set total length tx cmd fail");
        return CTU_STATUS_TX_CMD_FAIL;
    }
    // The file's wait time, but never less than the answer time of any other step: a wait
    // time of 0 would fail every update before the unit could answer.
    const unsigned totalWaitMs = std::max(unsigned{img.WaitTime} * 1000u, kChlAnswerTimeoutMs);
    int64_t w0 = _NowUs();
    st = _FirmwareWait(j, totalWaitMs, false, 0);
    waitUs += _NowUs() - w0;
    if (st != 0) return st;
    const uint32_t blocks = img.ImageSize / kCtuFirmwareBlockLength;
    for (uint32_t b = 0; b < blocks; ++b) {
        const uint32_t index = (b + 1) * kCtuFirmwareBlockLength;
        if (!CtuCmdSetFirmwareData(o, img.Image + size_t{b} * kCtuFirmwareBlockLength,
                                   kCtuFirmwareBlockLength, b + 1 == blocks, img.Sum)) {
            _Log(j, "set data tx cmd fail, Index:%u", index);
            return CTU_STATUS_TX_CMD_FAIL;
        }
        w0 = _NowUs();
        st = _FirmwareWait(j, 1000, true, index);
        waitUs += _NowUs() - w0;
        if (st != 0) return st;
    }
    const int64_t t2 = _NowUs();
    PemDbg(0, 0, "CTU (T:%d, C:%d), %s, done, Blocks:%u, CheckUs:%lld, StreamUs:%lld, WaitUs:%lld\n",
           j.Log.Port, 0, j.Log.Words, blocks, static_cast<long long>(t1 - t0),
           static_cast<long long>(t2 - t1 - waitUs), static_cast<long long>(waitUs));
    return CTU_STATUS_FIRMWARE_DOWNLOAD_OK;
}

using Handler = uint16_t (*)(Job&);
const Handler kHandlers[] = {
    _GetMacAddress,
    _SetMacAddress,
    _GetDeviceName,
    _SetDeviceName,
    _GetLinkStatus,
    _SetLinkStatus,
    _SetFirmwareFileAndUpdate,
    _SetModelName,
    _SetPassword,
    _StoreUartSettingToFlash,
    _StoreDioSettingToFlash,
    _GetMFAIT0Calibration,
    _GetMFAIT1Calibration,
};

void _Respond(_CTU_THREAD_CONTEXT& ctx, Job& j, uint16_t status) {
    if (status != 0) j.Out.clear();
    std::vector<uint8_t> packet(kCtuHeaderLength + j.Out.size());
    CtuHeaderEncode({kCtuVersion, static_cast<uint16_t>(kCtuResponseBit | j.Cmd), status,
                     static_cast<uint32_t>(j.Out.size())},
                    packet.data());
    if (!j.Out.empty()) memcpy(packet.data() + kCtuHeaderLength, j.Out.data(), j.Out.size());
    const int rc = CtuClientTxTo(ctx.ClientPtr, ctx.Generation, packet.data(), packet.size());
    if (rc < 0) _Log(j, "ClientTx fail, TxReturn:%d", rc);
}

void _AbsorbLateAnswer(Job& j) {
    PCTU_OBJ o = j.Obj.get();
    if (o->Owed == CTU_OWED_NONE) return;
    const _CU_EVENT_MATCH event{o->DibChlNumber,
                                o->Owed == CTU_OWED_NVM_EVENT ? kCuEventClassNvm : kCuEventClassCommand};
    _TLP_HEADER read{};
    read.ChlNumber = o->DibChlNumber;
    read.Type = TLP_TYPE_CMD;
    read.Offset = kCuOffsetFifo;
    read.LengthInDW = 1;
    ChlSlotLock lock(&o->Slot);
    const bool isRead = o->Owed == CTU_OWED_READ;
    if (ChlSlotWaitLocked(&o->Slot, isRead ? ChlMatchCmdAnswer : CuMatchEvent,
                          isRead ? static_cast<const void*>(&read) : static_cast<const void*>(&event),
                          kCtuLateAnswerMs))
        _Log(j, "late answer dropped");
    o->Owed = CTU_OWED_NONE;
}

void* _Worker(void* pArg) {
    std::unique_ptr<_CTU_THREAD_CONTEXT> ctx(static_cast<_CTU_THREAD_CONTEXT*>(pArg));
    {
        const _CTU_HEADER hdr = CtuHeaderDecode(ctx->Buff.data());
        Job j{};
        j.Cmd = hdr.CmdResponseEventData;
        j.Payload = ctx->Buff.data() + kCtuHeaderLength;
        j.PayloadLength = static_cast<uint32_t>(ctx->Buff.size() - kCtuHeaderLength);
        j.Vn = ctx->Vn.get();
        j.Log = {ctx->ClientPtr->ServerTcpPort, kHandlerWords[j.Cmd - 1]};
        j.Obj = CtuObjGetByVnMacAndDibChlNumber(j.Vn->Mac, 0);
        if (!j.Obj) {
            _Log(j, "can't get obj");
            _Respond(*ctx, j, CTU_STATUS_OBJECT_NOT_FOUND);
        } else if (!j.Obj->DibPtr) {
            _Log(j, "can't get DIB");
            _Respond(*ctx, j, CTU_STATUS_OBJECT_NOT_FOUND);
        } else {
            CuTransactionLock command(j.Vn);
            j.Obj->Owed = CTU_OWED_NONE;
            _Respond(*ctx, j, kHandlers[j.Cmd - 1](j));
            // The channel stays held a little longer after an answer that did not come in
            // time, so that answer, should it still come, is not taken by the next command.
            _AbsorbLateAnswer(j);
        }
        if (j.DisconnectAfter) VnMainDisconnectJob(j.Vn, DISCONNECT_MODE_MAC_CHANGED);
    }
    ctx->ClientPtr->InFlight.fetch_sub(1);
    ctx.reset();
    return nullptr;
}

void _ReturnCantFoundObj(PCTU_CLIENT pClient, uint16_t Cmd) {
    uint8_t packet[kCtuHeaderLength];
    CtuHeaderEncode(
        {kCtuVersion, static_cast<uint16_t>(kCtuResponseBit | Cmd), CTU_STATUS_OBJECT_NOT_FOUND, 0}, packet);
    CtuClientTx(pClient, packet, sizeof(packet));
}

}  // namespace

int CtuWorkersRunning() {
    return gWorkers.Running.load();
}

void CtuWaitWorkers(unsigned TimeoutMs) {
    PemWorkerWait(&gWorkers, TimeoutMs);
}

void CtuHandleFromLibrary(PCTU_CLIENT pClient, const uint8_t* pPacket, size_t Length) {
    const int port = pClient->ServerTcpPort;
    if (Length < kCtuHeaderLength) return;
    const _CTU_HEADER hdr = CtuHeaderDecode(pPacket);
    const uint16_t cmd = hdr.CmdResponseEventData;
    if (cmd < CMD_GET_MAC_ADDRESS || cmd > CMD_GET_MFAI_T1_CALIBRATION) {
        PemDbg(1, 1, "CTU (T:%d, C:%d), unsupport packet type from library\n", port, 0);
        return;
    }
    PVN_DEVICE pVn = pClient->VnDevicePtr;
    CtuObjRef obj = CtuObjGetByVnMacAndDibChlNumber(pVn->Mac, 0);
    if (!obj) {
        PemDbg(1, 1, "CTU (T:%d, C:%d), can't get obj\n", port, 0);
        _ReturnCantFoundObj(pClient, cmd);
        return;
    }
    const char* words = kDispatchWords[cmd - 1];
    std::unique_ptr<_CTU_THREAD_CONTEXT> ctx(new (std::nothrow) _CTU_THREAD_CONTEXT{});
    if (!ctx) {
        PemDbg(1, 1, "CTU (T:%d, C:%d), %s, malloc fail 1, errno:%d\n", port, 0, words, ENOMEM);
        return;
    }
    // The packet as the handlers see it: the header's Length (bounded by the receive buffer)
    // with zero bytes in place of what did not arrive.
    const size_t total = std::min<uint64_t>(uint64_t{hdr.Length} + kCtuHeaderLength, kCtuRxBuffSize);
    try {
        ctx->Buff.assign(total, 0);
    } catch (const std::bad_alloc&) {
        PemDbg(1, 1, "CTU (T:%d, C:%d), %s, malloc fail 2, errno:%d\n", port, 0, words, ENOMEM);
        return;
    }
    memcpy(ctx->Buff.data(), pPacket, std::min(Length, total));
    ctx->Length = Length;
    ctx->ClientPtr = pClient;
    ctx->Server = pClient->Server ? pClient->Server->shared_from_this() : nullptr;
    {
        qor::MutexLock lock(&pClient->TxMutex);
        ctx->Generation = pClient->Generation;
    }
    pVn->RefCount.fetch_add(1, std::memory_order_relaxed);
    ctx->Vn = VnRef(pVn);
    pClient->InFlight.fetch_add(1);
    if (PemWorkerRun(&gWorkers, _Worker, ctx.get()) != 0) {
        pClient->InFlight.fetch_sub(1);
        PemDbg(1, 1, "CTU (T:%d, C:%d), %s, create thread fail\n", port, 0, words);
        return;
    }
    ctx.release();
}
