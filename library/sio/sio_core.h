// The library's SIO core: one connection per unit to the unit's SIO port, its receive thread
// and parser, the request/response exchange and the per-channel callback blocks that the
// channel families (SER, ...) build on.
#pragma once

#include <pthread.h>

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>

#include "qorio.h"

namespace qorlib {

constexpr size_t kSioHeaderLength = 12;
constexpr size_t kSioMaxMessage = 2060;  // header and payload, the most the service sends
constexpr size_t kSioRxBuffSize = 16384;
constexpr int kSioChannels = 64;
constexpr unsigned int kSioResponseTimeoutMs = 20000;
constexpr uint8_t kSioVersion = 1;
constexpr uint16_t kSioResponseFlag = 0x8000;
constexpr uint8_t kSioDeviceSer = 1;
constexpr uint8_t kSioDeviceDio = 3;
constexpr uint8_t kSioDeviceAi = 5;
constexpr uint8_t kSioDeviceAo = 6;
constexpr uint8_t kSioDeviceMai = 10;
constexpr int kDioBanks = 32;
constexpr int kDioLines = 32;
constexpr int kMaiPorts = 16;

struct _SIO_HEADER {
    uint8_t Version = kSioVersion;
    uint8_t DeviceType = 0;
    uint8_t ChannelNumber = 0;
    uint16_t CmdResponseEventData = 0;
    uint16_t ResponseStatus = 0;
    uint32_t Length = 0;
};

// 12 bytes, little-endian: Version, reserved, DeviceType, ChannelNumber, code, status, Length.
void SioHeaderPut(const _SIO_HEADER& Header, uint8_t* p);
_SIO_HEADER SioHeaderGet(const uint8_t* p);

// A response as the waiting call receives it: the status and the payload bytes that arrived
// (never more than the message held or than this area holds).
struct _SIO_RESPONSE {
    uint16_t Status = 0;
    size_t Length = 0;
    uint8_t Payload[kSioMaxMessage - kSioHeaderLength] = {};
};

// DIO callback slots of one channel, allocated at its first DIO registration.
struct _DIO_CALLBACKS {
    std::array<std::array<std::atomic<dio_io_event_callback>, kDioLines>, kDioBanks> Line{};
    std::array<std::atomic<dio_bank_event_callback>, kDioBanks> Bank{};
};

// What a MAI sample conversion needs of the channel, from its last info response.
struct _MAI_PORT_PARAMS {
    uint8_t Mode = 0;         // 0: the calibration pairs apply
    uint8_t InputType = 0;    // 0 or 1 convert; others do not
    uint8_t InputSelect = 0;  // 1: the +-5 / +-10 intervals and 4 x Vref
    uint8_t Gain = 0;         // k, factor 2^k
};
struct _MAI_PARAMS {
    uint8_t Resolution = 0;  // bits per sample, 16 or 24
    double Vref = 0;
    _MAI_PORT_PARAMS Port[kMaiPorts];
    // Per port, 12 pairs (gain in millionths, offset) from the unit's type-1 table.
    bool CalibrationLoaded = false;
    uint32_t CalGain[kMaiPorts][12] = {};
    float CalOffset[kMaiPorts][12] = {};
};

// Per channel: the SER callbacks (the first registration stays) and the SER settings the
// library keeps for the channel (SerInfo, from its open and later settings calls).
struct _SIO_CHANNEL_BLOCK {
    std::atomic<ser_msr_event_callback> SerMsrEvent{nullptr};
    std::atomic<ser_lsr_event_callback> SerLsrEvent{nullptr};
    std::atomic<ser_data_event_callback> SerDataEvent{nullptr};
    std::atomic<ser_data_callback> SerData{nullptr};
    uint8_t SerInfo[11] = {};  // under the connection's RequestMutex
    // DIO: callbacks (the pointer is set once, under RequestMutex) and each bank's number of
    // lines from the channel's last info response.
    std::unique_ptr<_DIO_CALLBACKS> DioOwner;
    std::atomic<_DIO_CALLBACKS*> Dio{nullptr};
    std::array<std::atomic<uint8_t>, kDioBanks> DioNumberOfIOs{};
    std::atomic<bool> DioInfoKnown{false};
    std::atomic<ai_event_callback> AiEvent{nullptr};
    std::atomic<ai_data_callback> AiData{nullptr};
    std::atomic<mai_event_callback> MaiEvent{nullptr};
    std::atomic<mai_data_callback> MaiData{nullptr};
    // MAI conversion parameters: written by calls, read by the receive thread.
    std::mutex MaiLock;
    _MAI_PARAMS Mai;
};

struct _SIO_CONNECTION;
using PSIO_CONNECTION = std::shared_ptr<_SIO_CONNECTION>;

// The unit's connection, or null.
PSIO_CONNECTION SioMainGetByMac(const uint8_t* pMac);

// Sends one request and waits for its own response: one request at a time per connection
// (the object holds the connection's request lock for its life, so a family can run several
// requests as one step). A call accepts only the response with its device type, channel and
// code + 0x8000; any other response is dropped. After a time-out the connection is renewed,
// so a late answer can never be taken by a later call.
class SioExchange {
  public:
    explicit SioExchange(const PSIO_CONNECTION& Connection);
    ~SioExchange();
    SioExchange(const SioExchange&) = delete;
    SioExchange& operator=(const SioExchange&) = delete;

    // 0 with Response filled, or 32 (not sent whole, or called from this connection's own
    // callback), 80 (the connection was freed meanwhile), 101 (no response within 20 s).
    int Request(uint8_t DeviceType, uint8_t Chl, uint16_t Code, const uint8_t* pPayload, size_t Length);
    _SIO_CHANNEL_BLOCK& Channel(uint8_t Chl);
    _SIO_RESPONSE Response;

  private:
    PSIO_CONNECTION c_;
};

// Outgoing data: sent whole, nothing waited for. 0, 32 or 80.
int SioSendData(const PSIO_CONNECTION& Connection, uint8_t DeviceType, uint8_t Chl, uint16_t Code,
                const uint8_t* pPayload, size_t Length);

_SIO_CHANNEL_BLOCK& SioChannel(_SIO_CONNECTION& Connection, uint8_t Chl);

// Closes and forgets the unit's SIO connection (the unit was lost); false when it had none.
bool SioFreeForUnit(const uint8_t* pMac);

// The SER family's part of the parser, run on the receive thread for every DeviceType 1
// message that is not a response.
void SerHandleFromService(_SIO_CONNECTION& Connection, const _SIO_HEADER& Header, const uint8_t* pPayload,
                          size_t Length);

// The DIO, AI and MAI parts of the parser, run on the receive thread for every message of
// their device type that is not a response.
void DioHandleFromService(_SIO_CONNECTION& Connection, const _SIO_HEADER& Header, const uint8_t* pPayload,
                          size_t Length);
void AnalogHandleFromService(_SIO_CONNECTION& Connection, const _SIO_HEADER& Header, const uint8_t* pPayload,
                             size_t Length);

// The receive thread's scratch area and a copy of the unit's MAC for the callbacks.
uint8_t* SioCallbackScratch(_SIO_CONNECTION& Connection, size_t* pSize);
uint8_t* SioCallbackMac(_SIO_CONNECTION& Connection);

}  // namespace qorlib
