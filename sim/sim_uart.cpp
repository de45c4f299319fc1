#include "sim_uart.h"

#include <algorithm>
#include <cstdio>

#include "qor_wire.h"
#include "sim_dump.h"
#include "sim_link.h"

namespace {

constexpr uint8_t kWindowOffset = 3;  // the transmit window of versions 0..3
constexpr uint8_t kStatusReg = 2;
constexpr uint8_t kEventMsr = 0x10;     // E0 bit 4: the MSR changed; bits 3..0 the change bits
constexpr uint8_t kEventRxData = 0x40;  // E0 bit 6 (versions 0..3): received data follow
// Received data in one event: E2 and E1 bit 2 give at most 511 words.
constexpr size_t kEventDataMax = 511 * 4;
constexpr size_t kDataTlpMax = 0x7FF;  // LengthInByte has 11 bits

bool OldController(uint8_t v) {
    return v <= 3;
}
bool DataController(uint8_t v) {
    return v == 4 || v == 5;
}

const char* ModeName(SimUartMode m) {
    switch (m) {
        case SimUartMode::Loopback:
            return "loopback";
        case SimUartMode::Sink:
            return "sink";
        default:
            return "keep";
    }
}

void Note(_SIM_CONTEXT& Ctx, const _SIM_UNIT& Unit, uint8_t Chl, const std::string& What) {
    if (Ctx.Verbose) SimLog(Ctx, "   " + SimMacFormat(Unit.Mac) + ": uart " + std::to_string(Chl) + ": " + What);
}

uint16_t Le16(const std::vector<uint8_t>& d, size_t at) {
    return at + 2 <= d.size() ? static_cast<uint16_t>(d[at] | (d[at + 1] << 8)) : 0;
}

// Version 5 reports how much room its transmit FIFO has and how much waits in it: kept bytes
// wait until the test reads them; looped-back or sunk bytes leave at once.
void UpdateTxStatus(_SIM_UNIT& Unit, uint8_t Chl, const _SIM_UART_STATE& s) {
    if (s.Version != 5) return;
    std::vector<uint32_t>* regs = SimUnitRegisters(Unit, Chl);
    if (regs == nullptr) return;
    const size_t waiting = s.Mode == SimUartMode::Keep ? s.Kept.size() : 0;
    const uint32_t count = static_cast<uint32_t>(std::min<size_t>(waiting, 0xFFF));
    const uint32_t credit =
        static_cast<uint32_t>(std::min<size_t>(s.TxBuffSize > waiting ? s.TxBuffSize - waiting : 0, 0xFFF));
    uint32_t& status = (*regs)[kStatusReg];
    status = (status & 0xFFu) | (credit << 8) | (count << 20);
}

// Sends received bytes the version's way; the TLP's sequence number, or -1.
int SendReceived(_SIM_CONTEXT& Ctx, _SIM_UNIT& Unit, uint8_t Chl, _SIM_UART_STATE& s, std::vector<uint8_t> Bytes,
                 uint8_t Flag, std::string* pError) {
    SimMac host{};
    if (!SimControlHostOf(Unit, &host, pError)) return -1;
    _SIM_TLP t{};
    t.ChlNumber = Chl;
    if (OldController(s.Version)) {
        // Whole words only: the event says how many, so the bytes are padded with zeros.
        Bytes.resize((Bytes.size() + 3) / 4 * 4, 0);
        if (Bytes.size() > kEventDataMax) {
            *pError = "at most " + std::to_string(kEventDataMax) + " bytes in one event";
            return -1;
        }
        const size_t words = Bytes.size() / 4;
        t.Type = kSimTlpEvent;
        t.Event = {kEventRxData, static_cast<uint8_t>((words >> 8) << 2), static_cast<uint8_t>(words & 0xFF), 0};
    } else if (DataController(s.Version)) {
        if (Bytes.size() > kDataTlpMax) {
            *pError = "at most 2047 bytes in one data TLP";
            return -1;
        }
        t.Type = kSimTlpData;
        t.Flag = static_cast<uint8_t>(Flag & 0x1F);
        t.LengthInByte = static_cast<uint16_t>(Bytes.size());
    } else {
        *pError = "controller version " + std::to_string(s.Version) + " sends no data";
        return -1;
    }
    const int seq = SimUnitSendTlp(Ctx, Unit, host, t, Bytes);
    if (seq < 0) {
        *pError = "data does not fit one frame";
        return -1;
    }
    s.RxBytes += Bytes.size();
    return seq;
}

// Bytes the host transmitted: counted, hashed, then kept, looped back or dropped.
void Transmitted(_SIM_CONTEXT& Ctx, _SIM_UNIT& Unit, uint8_t Chl, _SIM_UART_STATE& s, const uint8_t* p, size_t n) {
    ++s.TxTlps;
    s.TxBytes += n;
    s.Hash = SimUartHash(s.Hash, p, n);
    Note(Ctx, Unit, Chl, "transmit " + std::to_string(n) + " bytes " + SimDumpHex(p, n, 16));
    switch (s.Mode) {
        case SimUartMode::Keep: {
            const size_t room = kSimUartKeepMax - std::min(kSimUartKeepMax, s.Kept.size());
            const size_t take = std::min(room, n);
            s.Kept.insert(s.Kept.end(), p, p + take);
            s.TxDropped += n - take;
            break;
        }
        case SimUartMode::Loopback: {
            std::string err;
            if (SendReceived(Ctx, Unit, Chl, s, std::vector<uint8_t>(p, p + n), 0, &err) < 0)
                Note(Ctx, Unit, Chl, "loopback not sent: " + err);
            break;
        }
        case SimUartMode::Sink:
            break;
    }
    UpdateTxStatus(Unit, Chl, s);
}

std::unique_ptr<_SIM_CHANNEL_STATE> Create(_SIM_CONTEXT&, _SIM_UNIT& Unit, const _SIM_DIB& Dib) {
    auto s = std::make_unique<_SIM_UART_STATE>();
    s->Version = Dib.Info;
    s->TxBuffSize = Le16(Dib.ExtraData, s->Version == 5 ? 4 : 0);
    s->Echo = OldController(s->Version);
    // A profile's own Status value wins over the empty-FIFO credit.
    std::vector<uint32_t>* regs = SimUnitRegisters(Unit, Dib.ChlNumber);
    if (regs != nullptr && ((*regs)[kStatusReg] & ~0xFFu) == 0) UpdateTxStatus(Unit, Dib.ChlNumber, *s);
    return s;
}

bool TakeWrite(_SIM_CONTEXT& Ctx, _SIM_UNIT& Unit, const _SIM_FRAME& F) {
    const _SIM_TLP& t = F.Tlp;
    auto* s = SimChannelStateAs<_SIM_UART_STATE>(Unit, t.ChlNumber);
    if (s == nullptr || !OldController(s->Version) || t.Offset != kWindowOffset) return false;
    // The window: the words are transmit data, never register contents.
    const int n = SimUartWindowBytes(t.LengthInDW, t.AOLBE);
    if (n < 0) {
        ++s->TxErrors;
        Note(Ctx, Unit, t.ChlNumber,
             "transmit-window write with " + std::to_string(t.LengthInDW) + " words and AOLBE " +
                 SimDumpHex(&t.AOLBE, 1) + " refused");
        return true;
    }
    Transmitted(Ctx, Unit, t.ChlNumber, *s, t.Data, static_cast<size_t>(n));
    if (s->Echo && !Unit.Silent) {
        _SIM_TLP echo{};
        echo.Type = kSimTlpCmd;
        echo.RW = 1;
        echo.ChlNumber = t.ChlNumber;
        echo.TransactionID = t.TransactionID;
        echo.Offset = t.Offset;
        echo.LengthInDW = t.LengthInDW;
        echo.AOLBE = t.AOLBE;
        SimUnitSendTlp(Ctx, Unit, F.Src, echo, std::vector<uint8_t>(t.Data, t.Data + t.LengthInDW * 4u));
    }
    return true;
}

void OnData(_SIM_CONTEXT& Ctx, _SIM_UNIT& Unit, const _SIM_FRAME& F) {
    const _SIM_TLP& t = F.Tlp;
    auto* s = SimChannelStateAs<_SIM_UART_STATE>(Unit, t.ChlNumber);
    if (s == nullptr) return;
    if (!DataController(s->Version) || t.DataTruncated || t.RW != 1 || t.Flag != 0) {
        ++s->TxErrors;
        Note(Ctx, Unit, t.ChlNumber,
             "DATA refused (version " + std::to_string(s->Version) + ", RW " + std::to_string(t.RW) + ", Flag " +
                 std::to_string(t.Flag) + (t.DataTruncated ? ", cut short" : "") + ")");
        return;
    }
    Transmitted(Ctx, Unit, t.ChlNumber, *s, t.Data, t.LengthInByte);
}

std::string Show(const _SIM_UNIT& Unit) {
    std::string out;
    for (const auto& [chl, state] : Unit.ChannelStates) {
        const auto* s = dynamic_cast<const _SIM_UART_STATE*>(state.get());
        if (s == nullptr) continue;
        out += " uart" + std::to_string(chl) + "=v" + std::to_string(s->Version) + "/" + ModeName(s->Mode) + "/" +
               (s->Echo ? "echo" : "no-echo") + "/tx:" + std::to_string(s->TxBytes) + "/tlps:" +
               std::to_string(s->TxTlps) + "/errors:" + std::to_string(s->TxErrors) + "/kept:" +
               std::to_string(s->Kept.size()) + "/rx:" + std::to_string(s->RxBytes);
    }
    return out;
}

// The unit and its UART channel a command names.
_SIM_UART_STATE* Target(_SIM_CONTEXT& Ctx, const std::string& Mac, const std::string& Chl, _SIM_UNIT** ppUnit,
                        uint8_t* pChl, std::string* pError) {
    std::vector<_SIM_UNIT*> units;
    if (Mac == "all") {
        *pError = "name one unit";
        return nullptr;
    }
    if (!SimControlTargets(Ctx, Mac, &units, pError)) return nullptr;
    unsigned long c = 0;
    if (!SimControlParseNumber(Chl, 255, &c)) {
        *pError = "channel must be 0..255";
        return nullptr;
    }
    auto* s = SimChannelStateAs<_SIM_UART_STATE>(*units[0], static_cast<uint8_t>(c));
    if (s == nullptr) {
        *pError = "channel " + std::to_string(c) + " is not a UART";
        return nullptr;
    }
    *ppUnit = units[0];
    *pChl = static_cast<uint8_t>(c);
    return s;
}

std::string CmdUart(_SIM_CONTEXT& Ctx, const std::vector<std::string>& a) {
    _SIM_UNIT* u = nullptr;
    uint8_t chl = 0;
    std::string err;
    _SIM_UART_STATE* s = Target(Ctx, a[1], a[2], &u, &chl, &err);
    if (s == nullptr) return "error " + err;
    if (a[3] == "keep")
        s->Mode = SimUartMode::Keep;
    else if (a[3] == "loopback")
        s->Mode = SimUartMode::Loopback;
    else if (a[3] == "sink")
        s->Mode = SimUartMode::Sink;
    else if (a[3] == "echo")
        s->Echo = true;
    else if (a[3] == "no-echo")
        s->Echo = false;
    else
        return "error usage: uart MAC CHL keep|loopback|sink|echo|no-echo";
    UpdateTxStatus(*u, chl, *s);
    return "ok uart " + std::to_string(chl) + " " + a[3];
}

std::string CmdUartTx(_SIM_CONTEXT& Ctx, const std::vector<std::string>& a) {
    _SIM_UNIT* u = nullptr;
    uint8_t chl = 0;
    std::string err;
    _SIM_UART_STATE* s = Target(Ctx, a[1], a[2], &u, &chl, &err);
    if (s == nullptr) return "error " + err;
    if (a.size() == 4 && a[3] != "clear") return "error usage: uart-tx MAC CHL [clear]";
    char hash[24];
    std::snprintf(hash, sizeof(hash), "%016llx", static_cast<unsigned long long>(s->Hash));
    std::string out = "ok uart-tx " + std::to_string(chl) + " bytes=" + std::to_string(s->TxBytes) +
                      " tlps=" + std::to_string(s->TxTlps) + " errors=" + std::to_string(s->TxErrors) +
                      " dropped=" + std::to_string(s->TxDropped) + " hash=" + hash + " kept=";
    out += s->Kept.empty() ? "-" : SimDumpHex(s->Kept.data(), s->Kept.size(), s->Kept.size());
    if (a.size() == 4) {
        s->Kept.clear();
        UpdateTxStatus(*u, chl, *s);
    }
    return out;
}

std::string CmdUartRx(_SIM_CONTEXT& Ctx, const std::vector<std::string>& a) {
    _SIM_UNIT* u = nullptr;
    uint8_t chl = 0;
    std::string err;
    _SIM_UART_STATE* s = Target(Ctx, a[1], a[2], &u, &chl, &err);
    if (s == nullptr) return "error " + err;
    unsigned long flag = 0;
    if (!SimControlParseNumber(a[3], 31, &flag)) return "error flag must be 0..31";
    std::vector<uint8_t> bytes;
    for (size_t i = 4; i < a.size(); ++i) {
        // "count:N": N bytes counting up from 0 (wrapping at 256), for blocks too long for a line.
        unsigned long n = 0;
        if (a[i].starts_with("count:") && SimControlParseNumber(a[i].substr(6), kDataTlpMax, &n)) {
            for (unsigned long k = 0; k < n; ++k) bytes.push_back(static_cast<uint8_t>(k));
            continue;
        }
        if (!SimControlParseHex(a[i], &bytes)) return "error '" + a[i] + "' is not hex data";
    }
    const int seq = SendReceived(Ctx, *u, chl, *s, bytes, static_cast<uint8_t>(flag), &err);
    if (seq < 0) return "error " + err;
    return "ok uart-rx seq " + std::to_string(seq);
}

// Sends an EVENT TLP for the channel; "ok NAME seq N" or an error.
std::string SendEvent(_SIM_CONTEXT& Ctx, _SIM_UNIT& Unit, uint8_t Chl, const uint8_t Event[4], const char* Name) {
    SimMac host{};
    std::string err;
    if (!SimControlHostOf(Unit, &host, &err)) return "error " + err;
    _SIM_TLP t{};
    t.Type = kSimTlpEvent;
    t.ChlNumber = Chl;
    std::copy(Event, Event + 4, t.Event.begin());
    const int seq = SimUnitSendTlp(Ctx, Unit, host, t, {});
    if (seq < 0) return "error event not sent";
    return std::string("ok ") + Name + " seq " + std::to_string(seq);
}

std::string CmdUartMsr(_SIM_CONTEXT& Ctx, const std::vector<std::string>& a) {
    _SIM_UNIT* u = nullptr;
    uint8_t chl = 0;
    std::string err;
    _SIM_UART_STATE* s = Target(Ctx, a[1], a[2], &u, &chl, &err);
    if (s == nullptr) return "error " + err;
    unsigned long msr = 0;
    if (!SimControlParseNumber(a[3], 255, &msr)) return "error MSR must be 0..255";
    // The MSR byte (line states and change bits) goes to the Status register; the event
    // carries its change bits.
    std::vector<uint32_t>* regs = SimUnitRegisters(*u, chl);
    if (regs != nullptr) (*regs)[kStatusReg] = ((*regs)[kStatusReg] & ~0xFFu) | static_cast<uint32_t>(msr);
    const uint8_t ev[4] = {static_cast<uint8_t>(kEventMsr | (msr & 0x0F)), 0, 0, 0};
    return SendEvent(Ctx, *u, chl, ev, "uart-msr");
}

std::string CmdUartLsr(_SIM_CONTEXT& Ctx, const std::vector<std::string>& a) {
    _SIM_UNIT* u = nullptr;
    uint8_t chl = 0;
    std::string err;
    _SIM_UART_STATE* s = Target(Ctx, a[1], a[2], &u, &chl, &err);
    if (s == nullptr) return "error " + err;
    unsigned long flags = 0, count = 0;
    if (!SimControlParseNumber(a[3], 0x0F, &flags)) return "error flags must be 0..15";
    if (!SimControlParseNumber(a[4], 0xFFFF, &count)) return "error count must be 0..65535";
    uint8_t ev[4];
    if (!SimUartLsrEvent(s->Version, static_cast<uint8_t>(flags), static_cast<unsigned>(count), ev))
        return "error version " + std::to_string(s->Version) + " cannot carry those flags and count";
    return SendEvent(Ctx, *u, chl, ev, "uart-lsr");
}

const _SIM_MODEL_COMMAND kCommands[] = {
    {"uart", 3, 3, "uart MAC CHL keep|loopback|sink|echo|no-echo", &CmdUart},
    {"uart-tx", 2, 3, "uart-tx MAC CHL [clear]", &CmdUartTx},
    {"uart-rx", 3, 3 + 1024, "uart-rx MAC CHL FLAG [HEX|count:N...]", &CmdUartRx},
    {"uart-msr", 3, 3, "uart-msr MAC CHL MSR", &CmdUartMsr},
    {"uart-lsr", 4, 4, "uart-lsr MAC CHL FLAGS COUNT", &CmdUartLsr},
};

}  // namespace

uint64_t SimUartHash(uint64_t Hash, const uint8_t* pBytes, size_t Length) {
    for (size_t i = 0; i < Length; ++i) {
        Hash ^= pBytes[i];
        Hash *= 0x100000001b3ull;
    }
    return Hash;
}

int SimUartWindowBytes(uint8_t LengthInDW, uint8_t Aolbe) {
    if (LengthInDW == 0) return -1;
    int last;
    switch (Aolbe & 0x0F) {
        case 0x01:
            last = 1;
            break;
        case 0x03:
            last = 2;
            break;
        case 0x07:
            last = 3;
            break;
        case 0x0F:
            last = 4;
            break;
        default:
            return -1;
    }
    return (LengthInDW - 1) * 4 + last;
}

bool SimUartLsrEvent(uint8_t Version, uint8_t Flags, unsigned Count, uint8_t pEvent[4]) {
    pEvent[0] = pEvent[1] = pEvent[2] = pEvent[3] = 0;
    if (Flags > 0x0F) return false;
    if (OldController(Version)) {
        // E0 bit 5 and bit 7, E1 bits 0 and 1; the count (versions 1..3) is E3 and E1 bit 3.
        if (Count > (Version == 0 ? 0u : 0x1FFu)) return false;
        pEvent[0] = static_cast<uint8_t>(((Flags & 0x01) ? 0x20 : 0) | ((Flags & 0x02) ? 0x80 : 0));
        pEvent[1] = static_cast<uint8_t>(((Flags & 0x04) ? 0x01 : 0) | ((Flags & 0x08) ? 0x02 : 0) |
                                         ((Count & 0x100) ? 0x08 : 0));
        pEvent[3] = static_cast<uint8_t>(Count & 0xFF);
        return true;
    }
    if (DataController(Version)) {
        // E0 bits 5, 7 and 6 carry flags 0x01, 0x04 and 0x08; the count is E3 and E2 bits 3..0.
        if ((Flags & 0x02) != 0 || Count > 0xFFF) return false;
        pEvent[0] = static_cast<uint8_t>(((Flags & 0x01) ? 0x20 : 0) | ((Flags & 0x04) ? 0x80 : 0) |
                                         ((Flags & 0x08) ? 0x40 : 0));
        pEvent[2] = static_cast<uint8_t>((Count >> 8) & 0x0F);
        pEvent[3] = static_cast<uint8_t>(Count & 0xFF);
        return true;
    }
    return false;
}

const _SIM_CHANNEL_MODEL kSimUartModel = {
    1,  // UART
    &Create,
    nullptr,
    nullptr,
    &OnData,
    &Show,
    kCommands,
    std::size(kCommands),
    &TakeWrite,
};
