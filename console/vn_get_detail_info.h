// The unit detail view: the detail info record as the console keeps it, its decoding from the
// management answer, and one print function per view.
#pragma once

#include <cstddef>
#include <cstdint>

constexpr int kVnMaxDib = 64;
constexpr int kVnExtraDataSize = 128;

struct _DIB_INFO {
    uint8_t ChlNumber;
    uint8_t Type;
    uint8_t LengthInDW;
    uint8_t Info;
    uint8_t ExtraData[kVnExtraDataSize];
    // Bytes of ExtraData actually received (the record may announce more than fit).
    uint8_t ExtraDataLength;
    uint8_t TtyMinorNumber;
};

struct _VN_INFO {
    uint8_t Mac[6];
    uint8_t ModelName[12];  // 10 bytes filled
    uint8_t TypeInfo;
    uint8_t LinkStatus;
    uint8_t ConnectedHostMac[6];
    uint8_t MappingStatus;
    uint8_t AvailableChls;
    uint8_t MajorVersion;
    uint8_t MinorVersion;
    uint32_t CtuTcpPort;
    uint32_t SioTcpPort;
    int TypeInfo_Mode;
    int TypeInfo_Experiment;
    int TypeInfo_PasswordEnable;
    int TypeInfo_TimeSharingEnable;
    int TypeInfo_IsMORA;
    int TypeInfo_WithExternalEEPROM;
    // Channel entries held in DibInfo: at most 64, and only as many as the record carried.
    int DibCount;
    _DIB_INFO DibInfo[kVnMaxDib];
};
using PVN_INFO = _VN_INFO*;

struct _MNG_CLIENT;

// Decodes a detail info record (36-byte unit part, then the channel entries) into *pInfo.
// Returns 0, leaving *pInfo cleared, when the record is shorter than its unit part.
int VnInfoDecode(const uint8_t* pPayload, size_t Length, _VN_INFO* pInfo);

// The layout version a view goes by: Info bits 0-2 for a UART, the whole Info byte otherwise.
int VnDibVersion(const _DIB_INFO* pDib);

// Menu entry F: asks for a unit MAC, fetches the unit and runs the view sub-menu.
void VnGetDetailInfo(_MNG_CLIENT* pClient);
// Fetches the unit's detail info again; 1 when pClient->VnInfo was replaced.
int _UpdateVnInfo(_MNG_CLIENT* pClient, const uint8_t* pMac);

void _PrintVarnelInfo(const _VN_INFO* pInfo);
void _PrintControlUnitInfo(const _VN_INFO* pInfo);
void _PrintUartInfo(const _VN_INFO* pInfo);
void _PrintParallelInfo(const _VN_INFO* pInfo);
void _PrintDioInfo(const _VN_INFO* pInfo);
void _PrintCounterInfo(const _VN_INFO* pInfo);
void _PrintAiInfo(const _VN_INFO* pInfo);
void _PrintAoInfo(const _VN_INFO* pInfo);
void _PrintUiInfo(const _VN_INFO* pInfo);
void _PrintUoInfo(const _VN_INFO* pInfo);
void _PrintBipolarAoInfo(const _VN_INFO* pInfo);
void _PrintMultiFuncAiInfo(const _VN_INFO* pInfo);
void _PrintTemperatureSensorInfo(const _VN_INFO* pInfo);
void _PrintVirtualInfo(const _VN_INFO* pInfo);
