// The mng_* layer: one management request per function, its answer checked and decoded into
// the application's records (mng_decode).
#include <string.h>

#include "mng_client.h"
#include "mng_decode.h"
#include "qor_wire.h"
#include "qorio.h"

using namespace qorlib;

namespace {

constexpr size_t kBasicRecordLength = 28;
constexpr size_t kPortsRecordLength = 36;
constexpr size_t kConnectResultLength = 14;

// The common pattern of the commands that name one unit and whose answer is only checked.
int _MacCommand(uint16_t Cmd, const uint8_t* pMac, size_t* pAnswerLength) {
    if (!pMac) return 1;
    MngExchange x;
    const int rc = x.Request(Cmd, pMac, 6);
    if (pAnswerLength) *pAnswerLength = x.Response.PayloadLength;
    return rc;
}

}  // namespace

extern "C" {

QORIO_API int mng_check_connection(void) { return MngClientConnectionEstablished(); }

QORIO_API int mng_get_all_nic_info(_VN_NIC_LIST* pList) {
    if (!pList) return 1;
    pList->Count = 0;
    MngExchange x;
    const int rc = x.Request(CMD_GET_ALL_NIC_INFO, nullptr, 0);
    if (rc != 0) return rc;
    return MngDecodeNicList(x.Response, pList);
}

QORIO_API int mng_search_all_vn(_VN_UNIT_LIST* pList) {
    if (!pList) return 1;
    pList->Count = 0;
    MngExchange x;
    const int rc = x.Request(CMD_SEARCY_BY_ALL_NIC, nullptr, 0);
    if (rc != 0) return rc;
    return MngDecodeUnitList(x.Response, kBasicRecordLength, pList);
}

QORIO_API int mng_vn_get_all_vn_info_connected_by_host(_VN_UNIT_LIST* pList) {
    if (!pList) return 1;
    pList->Count = 0;
    MngExchange x;
    const int rc = x.Request(CMD_GET_ALL_VN_INFO_CONNECTED_BY_HOST, nullptr, 0);
    if (rc != 0) return rc;
    return MngDecodeUnitList(x.Response, kPortsRecordLength, pList);
}

QORIO_API int mng_get_specific_vn_detail_info(uint8_t* pMac, _VN_UNIT_RECORD* pUnit) {
    if (!pMac || !pUnit) return 1;
    MngExchange x;
    const int rc = x.Request(CMD_GET_SPECIFIC_VN_INFO, pMac, 6);
    if (rc != 0) return rc;
    return MngDecodeDetail(x.Response, pUnit);
}

QORIO_API int mng_update_specific_vn_detail_info(uint8_t* pMac) {
    return _MacCommand(CMD_UPDATE_SPECIFIC_VN_DETAIL_INFO, pMac, nullptr);
}

QORIO_API int mng_vn_mapping(uint8_t* pMac) {
    size_t length = 0;
    const int rc = _MacCommand(CMD_VN_MAPPING, pMac, &length);
    if (rc == 0 && length < 6) return VN_ERR_ANSWER_LENGTH;
    return rc;
}

QORIO_API int mng_vn_unmapping(uint8_t* pMac) {
    size_t length = 0;
    const int rc = _MacCommand(CMD_VN_UNMAPPING, pMac, &length);
    if (rc == 0 && length != 6) return VN_ERR_ANSWER_LENGTH;
    return rc;
}

QORIO_API int mng_vn_disconnect(uint8_t* pMac) {
    size_t length = 0;
    const int rc = _MacCommand(CMD_VN_DISCONNECT, pMac, &length);
    if (rc == 0 && length != 6) return VN_ERR_EMPTY_ANSWER;
    return rc;
}

QORIO_API int mng_vn_get_all_vn_mapping_info(_VN_MAPPING_LIST* pList) {
    if (!pList) return 1;
    pList->Count = 0;
    MngExchange x;
    const int rc = x.Request(CMD_GET_ALL_MAPPING_INFO_MAPPED_BY_HOST, nullptr, 0);
    if (rc != 0) return rc;
    return MngDecodeMappingList(x.Response, pList);
}

QORIO_API int mng_vn_connect(uint8_t* pMac, uint32_t* pSioPort, uint32_t* pCtuPort, int PwdFlag,
                             const uint8_t* pPwd, int PwdLength) {
    if (!pMac) return 1;
    if (PwdFlag == 1 && (!pPwd || PwdLength <= 0 || PwdLength > VN_MAX_PASSWORD)) return VN_ERR_PASSWORD_LENGTH;
    uint8_t payload[7 + VN_MAX_PASSWORD];
    memcpy(payload, pMac, 6);
    payload[6] = static_cast<uint8_t>(PwdFlag);
    size_t length = 7;
    if (PwdFlag == 1) {
        memcpy(payload + 7, pPwd, static_cast<size_t>(PwdLength));
        length += static_cast<size_t>(PwdLength);
    }
    MngExchange x;
    const int rc = x.RequestAnyStatus(CMD_VN_CONNECT, payload, length);
    if (rc != 0) return rc;
    const _MNG_RESPONSE& r = x.Response;
    const int status = r.Header.ResponseStatus;
    // "Connected already" carries the ports too, so the caller learns them anyway.
    if (status != 0 && status != 64) return status;
    if (r.PayloadLength != 6 && r.PayloadLength != kConnectResultLength) return VN_ERR_ANSWER_LENGTH;
    memcpy(pMac, r.Payload, 6);
    if (r.PayloadLength == kConnectResultLength) {
        if (pCtuPort) *pCtuPort = qor::GetBe32(r.Payload + 6);
        if (pSioPort) *pSioPort = qor::GetBe32(r.Payload + 10);
    }
    return status;
}

QORIO_API int mng_get_password(uint8_t* pMac, uint8_t* pPwd, int* pLength) {
    if (!pMac || !pPwd || !pLength) return 1;
    MngExchange x;
    const int rc = x.Request(CMD_GET_VN_PASSWORD, pMac, 6);
    if (rc != 0) return rc;
    const _MNG_RESPONSE& r = x.Response;
    if (r.PayloadLength == 6) return 0;  // no password record: nothing to fill
    if (r.PayloadLength < 7) return VN_ERR_ANSWER_LENGTH;
    const size_t n = r.Payload[6];
    if (n > VN_MAX_PASSWORD || 7 + n > r.PayloadLength) return VN_ERR_ANSWER_LENGTH;
    memcpy(pMac, r.Payload, 6);
    memcpy(pPwd, r.Payload + 7, n);
    *pLength = static_cast<int>(n);
    return 0;
}

}  // extern "C"
