/* libqorio: application interface to Varnel units through qorservice.
 *
 * The library keeps one management connection to the service (127.0.0.1:50000). A thread
 * inside the library connects it, watches it every 3 seconds and reconnects it after the
 * service was restarted; while it is down every call returns VN_ERR_NOT_CONNECTED.
 *
 * Results: 0 is success. A non-zero result is either a library code (VN_ERR_* below) or a
 * status code of the service (1 "Parameter invalid." to 75; 32 "VN not found.", 64
 * "Connected already.", 65 "Connect timeout.", 69 "Password is incorrect.", ...).
 *
 * The records below are filled by the library into memory the application supplies; their
 * sizes and offsets are fixed and part of the interface. A MAC is 6 bytes in wire order.
 * Calls may come from several threads: the library sends one request at a time and each call
 * receives the answer to its own request.
 */
#ifndef QORIO_H
#define QORIO_H

#include <stdint.h>
#include <time.h>

#if defined(__GNUC__)
#define QORIO_API __attribute__((visibility("default")))
#else
#define QORIO_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* ---- Result codes of the library, besides the service's status codes ---- */
#define VN_OK 0
#define VN_ERR_REGISTRY_MUTEX 7    /* a registry mutex could not be created at init */
#define VN_ERR_EMPTY_ANSWER 32     /* empty answer where data was expected */
#define VN_ERR_PASSWORD_LENGTH 69  /* password flag 1 with no password or one longer than 32 bytes */
#define VN_ERR_NOT_CONNECTED_BY_HOST 76 /* the unit is not connected by this host */
#define VN_ERR_CTU_CLOSE 80        /* closing the unit's configuration connection failed */
#define VN_ERR_SERVICE_INFO 81     /* the service info answer was malformed */
#define VN_ERR_VERSION 82          /* wrong protocol version in the answer */
#define VN_ERR_ANSWER_CODE 83      /* wrong answer code */
#define VN_ERR_ANSWER_LENGTH 84    /* wrong answer length */
#define VN_ERR_SEND 99             /* the request could not be sent */
#define VN_ERR_TIMEOUT 101         /* no answer within 20 s */
#define VN_ERR_NO_MEMORY 102       /* out of memory at init */
#define VN_ERR_THREAD 103          /* mutex, condition or thread could not be created */
#define VN_ERR_NOT_CONNECTED 104   /* not connected to the service */

/* ---- Result codes of the configuration (CTU) calls, besides the unit's CTU statuses ---- */
#define VN_ERR_CTU_NO_CONNECTION 112   /* no configuration connection is open for the unit */
#define VN_ERR_CTU_CONNECT 113         /* the configuration connection could not be opened */
#define VN_ERR_CTU_ALREADY_OPEN 115    /* a configuration connection for the unit is already open */
#define VN_ERR_CTU_RECEIVE 116         /* the response did not arrive whole in time */
#define VN_ERR_CTU_SEND 117            /* the request could not be sent whole */
#define VN_ERR_CTU_PASSWORD_SETTING 118 /* password setting other than 0 and 1 */
#define VN_ERR_CTU_NO_NAME_CHANNEL 119 /* the unit has no string channel (device name) */
#define VN_ERR_CTU_PROGRAMMING_FAIL 120 /* the unit reported that programming its flash failed */

/* Record capacities: a list call writes at most this many entries and reports the count. */
#define VN_MAX_NICS 32
#define VN_MAX_UNITS 128
#define VN_MAX_CHANNELS 64
#define VN_MAX_DIO_BANKS 32
#define VN_MAX_MAPPINGS 128
#define VN_MAX_MAPPING_PAIRS 64
#define VN_STRING_NAME_SIZE 72
#define VN_MAX_PASSWORD 32

/* ---- Public records ---- */

/* One local network interface (71 bytes). */
typedef struct _VN_NIC_RECORD {
    uint8_t NicIndex;
    uint8_t NicMac[6];
    char IfName[64]; /* NUL-padded */
} _VN_NIC_RECORD;

/* NIC list: count at offset 0, 71-byte records from offset 4. */
typedef struct _VN_NIC_LIST {
    uint32_t Count;
    _VN_NIC_RECORD Nic[VN_MAX_NICS];
} _VN_NIC_LIST, *PVN_NIC_LIST;

/* One DIO bank of a DIO channel record (20 bytes). */
typedef struct _VN_DIO_BANK_RECORD {
    uint8_t BankIndex;
    uint8_t NumberOfIos;        /* 1..16; 0 when the unit reports a field of 16 or more */
    uint8_t WriteSettingsToFlash;
    uint8_t DirectionCapability; /* 0 none, 1, 2, 3 as the unit's bits 7:6 */
    uint8_t EdgeTriggerCapability;
    uint8_t OutputPinConfiguration;
    uint8_t OutputPinResistorApplied;
    uint8_t Reserved[13];
} _VN_DIO_BANK_RECORD;

/* One channel of a unit (1272 bytes), filled only by the detail call. Only the part of the
 * channel's type is meaningful; the rest is zero. */
typedef struct _VN_CHL_RECORD {
    uint8_t ChlNumber;         /* 0 */
    uint8_t Type;              /* 1: 0 control unit, 1 UART, 3 DIO, 10 MAI, 128 string, ... */
    uint8_t TtyMinorNumber;    /* 2 */
    uint8_t Reserved0[2];
    /* DIO (type 3) */
    uint8_t DioNumberOfBanks;  /* 5: the number of bank records filled below */
    uint8_t DioShareSameDirection; /* 6 */
    uint8_t DioSamplingClockScale; /* 7 */
    uint32_t DioSystemClockFrequency; /* 8 */
    _VN_DIO_BANK_RECORD DioBank[VN_MAX_DIO_BANKS]; /* 12 */
    /* UART (type 1), flags 0/1 */
    uint8_t UartRs232;         /* 652 */
    uint8_t UartRs422;
    uint8_t UartRs485;
    uint8_t UartAhdc;
    uint8_t UartCs;
    uint8_t UartRs422Termination;
    uint8_t UartRs485Termination;
    uint8_t UartRiPower;       /* 659: 0 none, 1 = 5 V, 2 = 12 V, 3 = power I/O */
    uint8_t UartDcdPower;      /* 660: same coding */
    uint8_t Reserved1[3];
    /* String channel (type 128) */
    uint32_t StrDeviceNameLength; /* 664: bytes held in StrDeviceName */
    uint8_t StrDeviceName[VN_STRING_NAME_SIZE]; /* 668 */
    /* MAI (type 10) */
    uint32_t MaiFifoSize;      /* 740 */
    uint8_t MaiFifoType;       /* 744 */
    uint8_t MaiType;
    uint8_t MaiInputSources;
    uint8_t MaiNumberOfPorts;
    uint8_t MaiResolution;
    uint8_t MaiInputTypes;
    uint8_t MaiMaxGains;       /* 750 */
    uint8_t Reserved2;
    double MaiReferenceVoltage; /* 752 */
    uint8_t Reserved3[512];
} _VN_CHL_RECORD;

/* One unit (81456 bytes). Mode, password flag and ports are filled where noted. */
typedef struct _VN_UNIT_RECORD {
    uint8_t VnMac[6];          /* 0 */
    char ModelName[20];        /* 6: 10 bytes of name, the rest zero */
    uint8_t Mode;              /* 26: detail only (TypeInfo bits 0-2) */
    uint8_t PasswordEnabled;   /* 27: detail only */
    uint8_t LinkStatus;        /* 28: 1 = connected to a host */
    uint8_t ConnectedHostMac[6]; /* 29 */
    uint8_t MappingStatus;     /* 35 */
    uint8_t AvailableChls;     /* 36 */
    uint8_t MajorVersion;      /* 37 */
    uint8_t MinorVersion;      /* 38 */
    uint8_t Reserved;
    uint32_t CtuTcpPort;       /* 40: detail and connected list */
    uint32_t SioTcpPort;       /* 44: detail and connected list */
    _VN_CHL_RECORD Chl[VN_MAX_CHANNELS]; /* 48 */
} _VN_UNIT_RECORD, *PVN_UNIT_RECORD;

/* Unit list (10426376 bytes): count at offset 0, unit records from offset 8. */
typedef struct _VN_UNIT_LIST {
    uint32_t Count;
    uint32_t Reserved;
    _VN_UNIT_RECORD Unit[VN_MAX_UNITS];
} _VN_UNIT_LIST, *PVN_UNIT_LIST;

/* The UART channels of one mapped unit (140 bytes). */
typedef struct _VN_MAPPING_RECORD {
    uint8_t VnMac[6];
    uint8_t Reserved[2];
    uint32_t NumberOfUarts; /* pairs filled below */
    struct {
        uint8_t ChlNumber;
        uint8_t TtyMinorNumber; /* 0xFF when not mapped */
    } Pair[VN_MAX_MAPPING_PAIRS];
} _VN_MAPPING_RECORD;

/* Mapping list: count at offset 0, 140-byte records from offset 4. */
typedef struct _VN_MAPPING_LIST {
    uint32_t Count;
    _VN_MAPPING_RECORD Mapping[VN_MAX_MAPPINGS];
} _VN_MAPPING_LIST, *PVN_MAPPING_LIST;

/* Versions (95 bytes), NUL-terminated strings. */
typedef struct _VN_VERSION {
    char ServiceVersion[15];
    char LibraryVersion[15];
    char TtyDriverVersion[64];
    uint8_t TtyDriverStarted;
} _VN_VERSION, *PVN_VERSION;

/* The multi-function AI calibration table of type 1 as the unit stores it: rows of 12 pairs
 * of a raw word and a value; row r, pair c is Pair[VN_MAI_CAL_FIRST_SLOT + 12 * r + c]. */
#define VN_MAI_CAL_FIRST_SLOT 46
#define VN_MAI_CAL_MAX_ROWS 22
typedef struct _MAI_CALIBRATION_PAIR {
    uint32_t Raw;  /* as received */
    float Value;
} _MAI_CALIBRATION_PAIR;
typedef struct _MAI_T1_CALIBRATION {
    uint32_t Rows;        /* rows filled (the last one may be partial) */
    uint32_t TableLength; /* table bytes the unit returned */
    _MAI_CALIBRATION_PAIR Pair[VN_MAI_CAL_FIRST_SLOT + 12 * VN_MAI_CAL_MAX_ROWS];
    uint8_t Header[12];   /* the calibration header as read */
} _MAI_T1_CALIBRATION;

/* Called with the unit's MAC when a unit connected by this host was lost. It runs on the
 * library's receive thread (16 KiB stack): keep it short, and do not call vn_* or mng_* from
 * it (such a call returns VN_ERR_SEND at once; vn_lib_free does nothing there). */
typedef void (*vn_disconnect_callback)(uint8_t* mac);

/* ---- Management API ---- */

/* Starts the library and its connection to the service; 0, or 7, 102, 103. Returns 0 also
 * when the service is not running yet: the library connects once it is. */
QORIO_API int vn_lib_init(void);
/* Stops the library's threads and closes the connection; always 0. */
QORIO_API int vn_lib_free(void);
/* Fills *version from the versions fetched at connect time; always 0. */
QORIO_API int vn_get_version(_VN_VERSION* version);
/* Asks the service for its versions again and stores them; 0, 81 or a request error. */
QORIO_API int vn_get_version_info(void);
/* 1 when the management connection is established, else 0. */
QORIO_API int vn_get_service_connection_status(void);
/* The service's network interfaces; 0, 32 (none) or a request error. */
QORIO_API int vn_get_all_nic_info(_VN_NIC_LIST* nicList);
/* The same list as vn_get_all_nic_info. */
QORIO_API int vn_refresh_nic(_VN_NIC_LIST* nicList);
/* The units found on every interface (no mode, password flag or ports); 0, 32 (none) or a
 * request error. */
QORIO_API int vn_search_vn(_VN_UNIT_LIST* unitList);
/* Has the service read the unit's information again; 0, a status or a request error. */
QORIO_API int vn_update_specific_vn_detail_info(uint8_t* mac);
/* Refreshes and returns the unit with its channels; 0, a status (32 unknown unit) or a
 * request error. */
QORIO_API int vn_get_specific_vn_detail_info(uint8_t* mac, _VN_UNIT_RECORD* unit);
/* Maps / unmaps the unit's UART channels to TTY devices; 0, a status, 84 or a request error. */
QORIO_API int vn_mapping(uint8_t* mac);
QORIO_API int vn_unmapping(uint8_t* mac);
/* The units this host has mapped; 0, 32 (none) or a request error. */
QORIO_API int vn_get_all_vn_mapping_info(_VN_MAPPING_LIST* mappingList);
/* Connects the unit (pwdFlag 1: with the pwdLen-byte password) and returns its channel
 * (SIO) and configuration (CTU) ports; 0, 64 (connected already, ports filled), 32, 65..69,
 * 84 or a request error. */
QORIO_API int vn_connect(uint8_t* mac, uint32_t* sioPort, uint32_t* ctuPort, int pwdFlag,
                         const uint8_t* pwd, int pwdLen);
/* Disconnects the unit; 0, 32 (malformed answer), a status (70..75) or a request error. */
QORIO_API int vn_disconnect(uint8_t* mac);
/* The units this host has connected, with their ports; 0, 32 (none) or a request error. */
QORIO_API int vn_get_all_vn_info_connected_by_host(_VN_UNIT_LIST* unitList);
/* The password the unit was connected with: pwd (at least 32 bytes) and *len; the answer's
 * MAC is written to mac. 0, 76 (not connected by this host), a status or a request error. */
QORIO_API int vn_get_password(uint8_t* mac, uint8_t* pwd, int* len);
/* Calls callback when the unit is lost; 0 (a callback set before stays), 76 (not connected
 * by this host) or a request error. */
QORIO_API int vn_set_disconnet_event_callback(uint8_t* mac, vn_disconnect_callback callback);

/* One stored function for callers that cannot pass their own (foreign-function interfaces):
 * management_function_needing_callback(mac) calls it; nothing happens before one is stored. */
QORIO_API void management_register_function(vn_disconnect_callback fn);
QORIO_API void management_function_needing_callback(uint8_t* mac);

/* ---- Configuration (CTU) API: one configuration connection per connected unit ----
 * Results: 0, a library code (VN_ERR_CTU_*, 32, 76, 104) or the service's CTU status (1 the
 * unit does not support it, 2 length invalid, 3 data invalid, 16 no control unit, 32..35 the
 * unit did not answer as it should, 48 unsupported command, 64..75 firmware file and download). */

/* Opens the unit's configuration connection; 0, 32, 76, 104, 113 or 115. */
QORIO_API int ctu_connect(uint8_t* mac);
/* Closes it; 0, 81 (none was open) or the error of looking the unit up (the connection is
 * closed in every case). */
QORIO_API int ctu_disconnect(uint8_t* mac);
/* Gives the unit a new MAC; on 0 the service disconnects the unit and the connection closes. */
QORIO_API int ctu_set_mac(uint8_t* mac, uint8_t* newMac);
/* Sets the device name (NUL-terminated); 119 when the unit has no string channel. */
QORIO_API int ctu_set_device_name(uint8_t* mac, const char* name);
/* setting 0: no password; 1: the NUL-terminated password (1..32 bytes); 118 for another setting. */
QORIO_API int ctu_set_passsword(uint8_t* mac, int setting, const char* password);
/* Stores the unit's UART / DIO settings in its flash. */
QORIO_API int ctu_set_uart_setting(uint8_t* mac);
QORIO_API int ctu_set_dio_setting(uint8_t* mac);
/* Sends the firmware file at path (on this host) and waits until the unit has programmed it,
 * printing a progress line per step; 0 when finished (the unit then reboots and is reported
 * lost), 120 when programming failed, 116 when the unit fell silent, or a CTU status (69 other
 * model, 70 other unit type, 71 checksum, ...). */
QORIO_API int ctu_update_firmware(uint8_t* mac, const char* path);
/* Reads the MAI calibration table of type 1 into *out. */
QORIO_API int CtuClientGetMaiT1Calibration(uint8_t* mac, _MAI_T1_CALIBRATION* out);

/* ---- Channel (SIO) API: one SIO connection per connected unit ----
 * sio_init opens the connection to the unit's SIO port (the sioPort of vn_connect). Every
 * channel call takes the unit's MAC and a channel number 0..63 and returns 0, a library code
 * below, or the service's status (2 invalid payload length, 3 invalid value, 4 the channel's
 * controller version does not support it, 16 no such channel, 32 not handed to the unit,
 * 33 the unit did not answer within 500 ms, 35 no answer, 50 the channel lacks the capability).
 * Calls on one unit are carried one at a time and each receives the response to its own
 * request. Callbacks run on the connection's receive thread: keep them short; a channel call
 * from a callback on the same unit returns SIO_ERR_SEND (ser_write works). */
#define SIO_ERR_NO_MEMORY 1        /* out of memory for the connection */
#define SIO_ERR_MNG_PORT 19        /* the port given is the management port 50000 */
#define SIO_ERR_SEND 32            /* the request was not sent whole (the connection is down) */
#define SIO_ERR_NO_CONNECTION 80   /* no SIO connection for this MAC */
#define SIO_ERR_CONNECT 81         /* the TCP connection to the SIO port failed */
#define SIO_ERR_ALREADY_OPEN 85    /* sio_init: the unit has an SIO connection already */
#define SIO_ERR_ARGUMENT 98        /* null pointer, channel above 63, or sio_free from a callback */
#define SIO_ERR_DATA_LENGTH 99     /* ser_write: length 0 or below, or above 1024 */
#define SIO_ERR_TIMEOUT 101        /* no response within 20 s (the connection is renewed) */
#define SIO_ERR_THREAD 103         /* a condition or the receive thread could not be created */

/* Channel callbacks; mac points at a copy of the unit's MAC, channel is 0..63. */
typedef void (*ser_msr_event_callback)(uint8_t* mac, int channel, uint8_t msr);
typedef void (*ser_lsr_event_callback)(uint8_t* mac, int channel, uint8_t flags, uint8_t countHigh,
                                       uint8_t countLow);
/* Received data, valid only during the call. Controller versions 0..3: data holds the length
 * bytes received (whole words: a short block is padded with zeros). Versions 4, 5: data holds
 * length (byte, status) pairs, 2 * length bytes: status 0x08 when the unit sent the block with
 * flag 0, 0x00 with flag 1; a block with another flag is delivered with length 0. */
typedef void (*ser_data_event_callback)(uint8_t* mac, int channel, uint8_t* data, int length);
/* Called after each delivery of received data (after the data-event callback). */
typedef void (*ser_data_callback)(uint8_t* mac, int channel);
typedef void (*sio_generic_callback)(void* p, int a, int b, int c, int d);
typedef void (*sio_io_callback)(void* p, int a, int b, int c, uint8_t d, uint8_t e);

/* Opens the SIO connection of the unit; 0, 1, 19, 81, 85, 98 or 103. */
QORIO_API unsigned int sio_init(uint8_t* mac, uint32_t port);
/* Closes it (its callbacks are forgotten); 0, 80, or 98 from one of its own callbacks. A unit
 * reported lost (the disconnect event) has its SIO connection closed by the library. */
QORIO_API unsigned int sio_free(uint8_t* mac);
/* 1 when the TCP connection is established, 0 when not, 80 when there is none. */
QORIO_API unsigned int sio_get_connection_status(uint8_t* mac);

/* ---- UART (SER) channels. SER_INFO: 11 bytes kept per channel ----
 * 0 controller version, 1 baud index (0 = 50 ... 10 = 9600, 14 = 115200, 17 = 921600), 2 LCR,
 * 3 MCR / flow-control byte of ser_setting, 4 EVENT_CTRL, 5 on-chip flow control, 6 MSR,
 * 7 Tx trigger level, 8 Rx trigger level, 9 MODE_1, 10 MODE_2. */
#define SER_INFO_SIZE 11

/* Opens the channel (the unit writes its defaults) and copies its SER_INFO to info (also on a
 * non-zero status); 84 when the service's open record is short. */
QORIO_API unsigned int ser_open(uint8_t* mac, int channel, uint8_t* info);
QORIO_API unsigned int ser_close(uint8_t* mac, int channel);
/* Divisor latch: 921600 / baud = dlm * 256 + dll. */
QORIO_API unsigned int ser_set_dll_dlm(uint8_t* mac, int channel, int dll, int dlm);
QORIO_API unsigned int ser_set_lcr(uint8_t* mac, int channel, int lcr);
/* The channel's last LCR with bit 6 set (on 1) or cleared (on 0); any other value sends 0. */
QORIO_API unsigned int ser_set_break(uint8_t* mac, int channel, int on);
QORIO_API unsigned int ser_set_fifo_ctrl(uint8_t* mac, int channel, int value);
/* Reads the MSR, then sets EVENT_CTRL to value | (MSR & 0xF8) (versions 4, 5: bit 2 with bit 0). */
QORIO_API unsigned int ser_set_event_ctrl(uint8_t* mac, int channel, int value);
QORIO_API unsigned int ser_set_mcr(uint8_t* mac, int channel, int value);
/* MODE_1 (RI and DCD power outputs) and MODE_2 (interface mode); 3 invalid, 50 no capability. */
QORIO_API unsigned int ser_set_power_io(uint8_t* mac, int channel, int value);
QORIO_API unsigned int ser_set_mode_ctrl(uint8_t* mac, int channel, int value);
QORIO_API unsigned int ser_get_mode_ctrl(uint8_t* mac, int channel, uint8_t* out);
QORIO_API unsigned int ser_get_msr(uint8_t* mac, int channel, uint8_t* out);
/* Line settings in up to three requests: baud index 0..17 (above: divisor 0), data bits 0..3
 * (5..8 bits), parity 0 none, 1 odd, 2 even, 3 mark, 4 space, stop bits 1 or 2 (LCR bit 2),
 * flow 0 none, 1 RTS/CTS, 2 DTR/DSR. Returns the first non-zero status; on a channel of
 * version 0 or 1 (or one not opened) flow 1 or 2 gives 4 and flow 0 sends nothing more. */
QORIO_API unsigned int ser_setting(uint8_t* mac, int channel, int baud, int dataBits, int parity, int stopBits,
                                   int flow);
/* Sends 1..1024 bytes without waiting; 0 once they are sent, 99 for another length, 32. */
QORIO_API unsigned int ser_write(uint8_t* mac, int channel, const uint8_t* data, int length);
/* On-chip flow-control mode 0..3 (0x00, 0x0D, 0x31, 0x3D); another value leaves out unchanged. */
QORIO_API unsigned int ser_get_on_chip_hw_flow_ctrl(uint8_t* mac, int channel, uint8_t* out);
QORIO_API unsigned int ser_set_on_chip_hw_flow_ctrl(uint8_t* mac, int channel, int mode);
QORIO_API unsigned int ser_get_tx_trigger_level(uint8_t* mac, int channel, uint8_t* out);
QORIO_API unsigned int ser_set_tx_trigger_level(uint8_t* mac, int channel, int level);
QORIO_API unsigned int ser_get_rx_trigger_level(uint8_t* mac, int channel, uint8_t* out);
QORIO_API unsigned int ser_set_rx_trigger_level(uint8_t* mac, int channel, int level);
/* Callback registration: 0 (the first function registered for the channel stays), 80, 98. */
QORIO_API unsigned int ser_set_msr_event_callback(uint8_t* mac, int channel, ser_msr_event_callback fn);
QORIO_API unsigned int ser_set_lsr_event_callback(uint8_t* mac, int channel, ser_lsr_event_callback fn);
QORIO_API unsigned int ser_set_data_event_callback(uint8_t* mac, int channel, ser_data_event_callback fn);
QORIO_API unsigned int ser_set_data_callback(uint8_t* mac, int channel, ser_data_callback fn);

/* Stored functions for callers that cannot pass their own: each *_needing_callback calls the
 * function its setter stored last (nothing happens before one is stored). */
QORIO_API void register_function(sio_generic_callback fn);
QORIO_API void function_needing_callback(void* p, int a, int b, int c, int d);
QORIO_API void io_register_function(sio_io_callback fn);
QORIO_API void io_function_needing_callback(void* p, int a, int b, int c, uint8_t d, uint8_t e);
QORIO_API void ser_msr_event_register_function(ser_msr_event_callback fn);
QORIO_API void ser_msr_event_function_needing_callback(uint8_t* mac, int channel, uint8_t msr);
QORIO_API void ser_lsr_event_register_function(ser_lsr_event_callback fn);
QORIO_API void ser_lsr_event_function_needing_callback(uint8_t* mac, int channel, uint8_t flags, uint8_t countHigh,
                                                       uint8_t countLow);
QORIO_API void ser_data_event_register_function(ser_data_event_callback fn);
QORIO_API void ser_data_event_function_needing_callback(uint8_t* mac, int channel, uint8_t* data, int length);
QORIO_API void ser_data_register_function(ser_data_callback fn);
QORIO_API void ser_data_function_needing_callback(uint8_t* mac, int channel);

/* ---- The management layer under vn_* (same results) ---- */
QORIO_API int mng_lib_init(void);
QORIO_API int mng_lib_free(void);
QORIO_API int mng_check_connection(void);
QORIO_API int mng_get_all_nic_info(_VN_NIC_LIST* nicList);
QORIO_API int mng_get_password(uint8_t* mac, uint8_t* pwd, int* len);
QORIO_API int mng_search_all_vn(_VN_UNIT_LIST* unitList);
QORIO_API int mng_get_specific_vn_detail_info(uint8_t* mac, _VN_UNIT_RECORD* unit);
QORIO_API int mng_update_specific_vn_detail_info(uint8_t* mac);
QORIO_API int mng_vn_mapping(uint8_t* mac);
QORIO_API int mng_vn_unmapping(uint8_t* mac);
QORIO_API int mng_vn_get_all_vn_mapping_info(_VN_MAPPING_LIST* mappingList);
/* 69 without sending when pwdFlag is 1 and pwdLen is 0 or above 32. */
QORIO_API int mng_vn_connect(uint8_t* mac, uint32_t* sioPort, uint32_t* ctuPort, int pwdFlag,
                             const uint8_t* pwd, int pwdLen);
QORIO_API int mng_vn_disconnect(uint8_t* mac);
QORIO_API int mng_vn_get_all_vn_info_connected_by_host(_VN_UNIT_LIST* unitList);

/* ---- Digital I/O (DIO) channels ----
 * Values are bank-relative (bit 0 = the bank's first line). Results: 0, the SIO codes above,
 * DIO_ERR_NOT_DIO, or the service's DIO status (17 no such bank, 19 no such line in the bank,
 * 112 the bank has no input lines / has output lines (callbacks), 113 no output lines, ...). */
#define DIO_INFO_SIZE 648
#define DIO_ERR_NOT_DIO 0xFFFFFFFFu /* the channel did not answer as a DIO channel */
#define DIO_ERR_NO_SUCH_LINE 19     /* the bank has no such line */
#define DIO_ERR_BANK_HAS_OUTPUTS 112 /* callbacks only on banks whose lines are all inputs */
/* Line callback: changed and state are the line's bits (0 or 1). Line callbacks of a bank run
 * before its bank callback, in line order. */
typedef void (*dio_io_event_callback)(uint8_t* mac, int channel, int bank, int line, uint8_t changed,
                                      uint8_t state);
typedef void (*dio_bank_event_callback)(uint8_t* mac, int channel, int bank, uint32_t changed, uint32_t states);

QORIO_API unsigned int dio_get_info(uint8_t* mac, int channel, uint8_t* info /* DIO_INFO_SIZE */);
QORIO_API unsigned int dio_get_bank_state(uint8_t* mac, int channel, int bank, uint32_t* value);
QORIO_API unsigned int dio_set_bank_state(uint8_t* mac, int channel, int bank, uint32_t value);
/* Reads the bank state and writes it back with one line changed (lines 0..31 where the bank
 * has them; a line beyond the bank is DIO_ERR_NO_SUCH_LINE with nothing written). */
QORIO_API unsigned int dio_set_io_state(uint8_t* mac, int channel, int bank, int line, int value);
QORIO_API unsigned int dio_get_bank_input_invert(uint8_t* mac, int channel, int bank, uint32_t* value);
QORIO_API unsigned int dio_set_bank_input_invert(uint8_t* mac, int channel, int bank, uint32_t value);
QORIO_API unsigned int dio_get_bank_direction(uint8_t* mac, int channel, int bank, uint32_t* value);
QORIO_API unsigned int dio_set_bank_direction(uint8_t* mac, int channel, int bank, uint32_t value);
QORIO_API unsigned int dio_get_bank_input_event_mode(uint8_t* mac, int channel, int bank, uint8_t* mode);
QORIO_API unsigned int dio_set_bank_input_event_mode(uint8_t* mac, int channel, int bank, int mode);
QORIO_API unsigned int dio_get_bank_sampling_clock(uint8_t* mac, int channel, int bank, uint8_t* clock);
QORIO_API unsigned int dio_set_bank_sampling_clock(uint8_t* mac, int channel, int bank, int clock);
QORIO_API unsigned int dio_get_bank_output_pin_config(uint8_t* mac, int channel, int bank, uint8_t* config);
QORIO_API unsigned int dio_set_bank_output_pin_config(uint8_t* mac, int channel, int bank, int config);
QORIO_API unsigned int dio_get_bank_output_initial_value(uint8_t* mac, int channel, int bank, uint32_t* value);
QORIO_API unsigned int dio_set_bank_output_initial_value(uint8_t* mac, int channel, int bank, uint32_t value);
QORIO_API unsigned int dio_get_bank_output_safe_value(uint8_t* mac, int channel, int bank, uint32_t* value);
QORIO_API unsigned int dio_set_bank_output_safe_value(uint8_t* mac, int channel, int bank, uint32_t value);
QORIO_API unsigned int dio_get_output_safe_value_timer(uint8_t* mac, int channel, uint8_t* enable, uint8_t* timer);
QORIO_API unsigned int dio_set_output_safe_value_timer(uint8_t* mac, int channel, int enable, int timer);
QORIO_API unsigned int dio_get_bank_input_latch_rising_edge(uint8_t* mac, int channel, int bank, uint32_t* value);
QORIO_API unsigned int dio_set_bank_input_latch_rising_edge(uint8_t* mac, int channel, int bank, uint32_t value);
QORIO_API unsigned int dio_get_bank_input_latch_falling_edge(uint8_t* mac, int channel, int bank, uint32_t* value);
QORIO_API unsigned int dio_set_bank_input_latch_falling_edge(uint8_t* mac, int channel, int bank, uint32_t value);
QORIO_API unsigned int dio_set_bank_input_counter_reset(uint8_t* mac, int channel, int bank, uint32_t lines);
QORIO_API unsigned int dio_get_bank_input_counter_increment_rising_edge(uint8_t* mac, int channel, int bank,
                                                                        uint32_t* value);
QORIO_API unsigned int dio_set_bank_input_counter_increment_rising_edge(uint8_t* mac, int channel, int bank,
                                                                        uint32_t value);
QORIO_API unsigned int dio_get_bank_input_counter_increment_falling_edge(uint8_t* mac, int channel, int bank,
                                                                         uint32_t* value);
QORIO_API unsigned int dio_set_bank_input_counter_increment_falling_edge(uint8_t* mac, int channel, int bank,
                                                                         uint32_t value);
QORIO_API unsigned int dio_get_bank_io_input_counter_value(uint8_t* mac, int channel, int bank, int line,
                                                           uint32_t* value);
/* Only on a bank whose lines are all inputs (else DIO_ERR_BANK_HAS_OUTPUTS); the first
 * registration of a slot stays. */
QORIO_API unsigned int dio_set_io_event_callback(uint8_t* mac, int channel, int bank, int line,
                                                 dio_io_event_callback fn);
QORIO_API unsigned int dio_set_bank_event_callback(uint8_t* mac, int channel, int bank, dio_bank_event_callback fn);

/* ---- Analog input (AI), analog output (AO) and multi-function analog input (MAI) ---- */
#define AI_INFO_SIZE 656
#define AO_INFO_SIZE 396
#define MAI_INFO_SIZE 536
#define MAI_ERR_CALIBRATION 86 /* the unit's calibration table could not be had */
#define MAI_ERR_INPUT_TYPE 87  /* the port's input type has no conversion (types 0 and 1 have) */
/* AI event: event bytes 0 and 1 and bytes 2..3 as a 16-bit value, most significant first. */
typedef void (*ai_event_callback)(uint8_t* mac, int channel, uint8_t event0, uint8_t event1, uint16_t value);
/* AI data: the packet's flag byte and its first sample, most significant byte first. */
typedef void (*ai_data_callback)(uint8_t* mac, int channel, uint8_t flag, uint16_t sample);
/* MAI event and data: the port and the calibrated value (NaN where the sample has no
 * calibration pair, see the conversion rules). */
typedef void (*mai_event_callback)(uint8_t* mac, int channel, int port, uint8_t event, double value);
typedef void (*mai_data_callback)(uint8_t* mac, int channel, int port, double value);

QORIO_API unsigned int ai_get_ai_info(uint8_t* mac, int channel, uint8_t* info /* AI_INFO_SIZE */);
QORIO_API unsigned int ai_get_sample_enable(uint8_t* mac, int channel, uint8_t* enable);
QORIO_API unsigned int ai_set_sample_enable(uint8_t* mac, int channel, int enable);
QORIO_API unsigned int ai_get_data_enable(uint8_t* mac, int channel, uint8_t* enable);
QORIO_API unsigned int ai_set_data_enable(uint8_t* mac, int channel, int enable);
QORIO_API unsigned int ai_get_event_enable(uint8_t* mac, int channel, uint8_t* enable);
QORIO_API unsigned int ai_set_event_enable(uint8_t* mac, int channel, int enable);
QORIO_API unsigned int ai_get_ports_enable(uint8_t* mac, int channel, uint16_t* mask);
QORIO_API unsigned int ai_set_ports_enable(uint8_t* mac, int channel, uint16_t mask);
QORIO_API unsigned int ai_get_all_gain_control(uint8_t* mac, int channel, uint8_t* gain);
QORIO_API unsigned int ai_set_all_gain_control(uint8_t* mac, int channel, int gain);
QORIO_API unsigned int ai_get_port_sample_rate_divider(uint8_t* mac, int channel, int port, uint32_t* divider);
QORIO_API unsigned int ai_set_port_sample_rate_divider(uint8_t* mac, int channel, int port, uint32_t divider);
QORIO_API unsigned int ai_get_port_gain_control(uint8_t* mac, int channel, int port, uint8_t* gain);
QORIO_API unsigned int ai_set_port_gain_control(uint8_t* mac, int channel, int port, int gain);
QORIO_API unsigned int ai_get_port_logging_mode(uint8_t* mac, int channel, int port, uint8_t* mode);
QORIO_API unsigned int ai_set_port_logging_mode(uint8_t* mac, int channel, int port, int mode);
QORIO_API unsigned int ai_get_port_trigger_mode(uint8_t* mac, int channel, int port, uint8_t* mode);
QORIO_API unsigned int ai_set_port_trigger_mode(uint8_t* mac, int channel, int port, int mode);
QORIO_API unsigned int ai_get_port_upper_trigger_value(uint8_t* mac, int channel, int port, uint16_t* value);
QORIO_API unsigned int ai_set_port_upper_trigger_value(uint8_t* mac, int channel, int port, uint16_t value);
QORIO_API unsigned int ai_get_port_lower_trigger_value(uint8_t* mac, int channel, int port, uint16_t* value);
QORIO_API unsigned int ai_set_port_lower_trigger_value(uint8_t* mac, int channel, int port, uint16_t value);
QORIO_API unsigned int ai_get_port_fifo_trigger_value(uint8_t* mac, int channel, int port, uint8_t* level);
QORIO_API unsigned int ai_set_port_fifo_trigger_value(uint8_t* mac, int channel, int port, int level);
QORIO_API unsigned int ai_set_event_callback(uint8_t* mac, int channel, ai_event_callback fn);
QORIO_API unsigned int ai_set_data_callback(uint8_t* mac, int channel, ai_data_callback fn);
/* Global slots for callers that cannot pass their own functions (as for SER): each trampoline
 * calls the function its setter stored last, and does nothing before one was stored. */
QORIO_API void ai_register_function(ai_event_callback fn);
QORIO_API void ai_event_trigger_function_needing_callback(uint8_t* mac, int channel, uint8_t event0, uint8_t event1,
                                                          uint16_t value);
QORIO_API void ai_data_register_function(ai_data_callback fn);
QORIO_API void ai_data_function_needing_callback(uint8_t* mac, int channel, uint8_t flag, uint16_t sample);

QORIO_API unsigned int ao_get_ao_info(uint8_t* mac, int channel, uint8_t* info /* AO_INFO_SIZE */);
QORIO_API unsigned int ao_set_ports_enable(uint8_t* mac, int channel, uint16_t mask);
QORIO_API unsigned int ao_get_port_gain_control(uint8_t* mac, int channel, int port, uint8_t* gain);
QORIO_API unsigned int ao_set_port_gain_control(uint8_t* mac, int channel, int port, int gain);
QORIO_API unsigned int ao_set_port_update_rate_divider(uint8_t* mac, int channel, int port, uint32_t divider);
/* Output data: sent whole, nothing waited for (0, 32, 80 or 98). */
QORIO_API unsigned int ao_set_data(uint8_t* mac, int channel, int port, uint16_t value);

QORIO_API unsigned int mai_get_info(uint8_t* mac, int channel, uint8_t* info /* MAI_INFO_SIZE */);
QORIO_API unsigned int mai_set_sample_enable(uint8_t* mac, int channel, int enable);
QORIO_API unsigned int mai_set_data_enable(uint8_t* mac, int channel, int enable);
QORIO_API unsigned int mai_set_event_enable(uint8_t* mac, int channel, int enable);
QORIO_API unsigned int mai_get_ports_enable(uint8_t* mac, int channel, uint16_t* mask);
QORIO_API unsigned int mai_set_ports_enable(uint8_t* mac, int channel, uint16_t mask);
QORIO_API unsigned int mai_set_calibration_value(uint8_t* mac, int channel, uint16_t value);
QORIO_API unsigned int mai_get_port_ai_mode(uint8_t* mac, int channel, int port, uint8_t* mode);
QORIO_API unsigned int mai_set_port_ai_mode(uint8_t* mac, int channel, int port, int mode);
QORIO_API unsigned int mai_get_logging_mode(uint8_t* mac, int channel, int port, uint8_t* mode);
QORIO_API unsigned int mai_set_logging_mode(uint8_t* mac, int channel, int port, int mode);
QORIO_API unsigned int mai_get_port_trigger_mode(uint8_t* mac, int channel, int port, uint8_t* mode);
QORIO_API unsigned int mai_set_port_trigger_mode(uint8_t* mac, int channel, int port, int mode);
/* Converts value (volts or the input type's unit) to the unit's raw code with the port's
 * calibration pair and sends it; MAI_ERR_CALIBRATION or MAI_ERR_INPUT_TYPE with nothing sent
 * when it cannot be converted. */
QORIO_API unsigned int mai_set_port_upper_trigger_value(uint8_t* mac, int channel, int port, double value);
QORIO_API unsigned int mai_set_port_lower_trigger_value(uint8_t* mac, int channel, int port, double value);
QORIO_API unsigned int mai_set_type0_input_type(uint8_t* mac, int channel, int port, int value);
QORIO_API unsigned int mai_set_type0_input_select(uint8_t* mac, int channel, int port, int value);
QORIO_API unsigned int mai_set_type0_pullup_resistor(uint8_t* mac, int channel, int port, int value);
QORIO_API unsigned int mai_set_type0_gain(uint8_t* mac, int channel, int port, int value);
QORIO_API unsigned int mai_set_type0_filter(uint8_t* mac, int channel, int port, uint16_t value);
QORIO_API unsigned int mai_set_type1_input_type(uint8_t* mac, int channel, int port, int value);
QORIO_API unsigned int mai_set_type1_input_select(uint8_t* mac, int channel, int port, int value);
QORIO_API unsigned int mai_get_type1_pga_enable(uint8_t* mac, int channel, int port, uint8_t* value);
QORIO_API unsigned int mai_set_type1_pga_enable(uint8_t* mac, int channel, int port, int value);
QORIO_API unsigned int mai_get_type1_gain(uint8_t* mac, int channel, int port, uint8_t* value);
QORIO_API unsigned int mai_set_type1_gain(uint8_t* mac, int channel, int port, int value);
/* Registration reads the channel's info and the unit's calibration table (through the unit's
 * open configuration connection); MAI_ERR_CALIBRATION with nothing registered when it fails. */
QORIO_API unsigned int mai_set_event_callback(uint8_t* mac, int channel, mai_event_callback fn);
QORIO_API unsigned int mai_set_data_callback(uint8_t* mac, int channel, mai_data_callback fn);

/* ---- Shared helpers ---- */

/* Intrusive circular doubly linked list, the same helpers the service and console use. */
typedef struct _DLIST {
    struct _DLIST* Flink;
    struct _DLIST* Blink;
} _DLIST, *PDLIST;

QORIO_API void PemListInit(PDLIST pHead);
QORIO_API int PemListEmpty(const _DLIST* pHead);
QORIO_API PDLIST PemListGetNext(const _DLIST* pEntry);
QORIO_API PDLIST PemListGetPrev(const _DLIST* pEntry);
QORIO_API void PemListInsertEntry(PDLIST pPosition, PDLIST pEntry);
QORIO_API void PemListInsertHead(PDLIST pHead, PDLIST pEntry);
QORIO_API void PemListInsertTail(PDLIST pHead, PDLIST pEntry);
QORIO_API void PemListRemoveEntry(PDLIST pEntry);

/* Absolute wall-clock deadline TimeOut milliseconds from now, for timed condition waits.
 * (Declared here too: strict C99 <time.h> does not declare struct timespec.) */
struct timespec;
QORIO_API void PemSetTimeout(struct timespec* pTimeSpec, unsigned int TimeOut);

#ifdef __cplusplus
}
#endif

#endif /* QORIO_H */
