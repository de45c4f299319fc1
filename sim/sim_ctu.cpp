#include "sim_ctu.h"

#include <algorithm>
#include <cstdio>

#include "qor_wire.h"
#include "sim_dump.h"
#include "sim_link.h"

namespace {

// Registers of the control-unit channel.
constexpr uint8_t kRegControl = 8;
constexpr uint8_t kRegFifo = 9;
constexpr uint8_t kRegNvm = 11;
constexpr uint32_t kControlOpen = 2;
constexpr uint32_t kControlExecute = 1;

// Event classes (event byte 0) and codes (event byte 1).
constexpr uint8_t kClassCommand = 1;
constexpr uint8_t kClassNvm = 2;
constexpr uint8_t kCodeSuccess = 1;
constexpr uint8_t kCodeFailure = 2;
constexpr uint8_t kCodeBlockTaken = 3;  // a firmware block went in; more are expected
constexpr uint8_t kCodeProgramStep = 5;
constexpr uint8_t kCodeProgramFail = 6;
constexpr uint8_t kCodeProgramFinish = 7;
constexpr uint8_t kCodeUnsupported = 15;

enum Item : uint8_t {
    kItemMac = 1,
    kItemName = 2,
    kItemLinkStatus = 3,
    kItemFwTotal = 4,
    kItemFwData = 5,
    kItemModel = 6,
    kItemPassword = 7,
    kItemUartFlash = 8,
    kItemDioFlash = 9,
};

constexpr size_t kNvmSize = 65536;
constexpr uint16_t kCalAddress = 0xA000;
constexpr size_t kCalHeaderLength = 12;
constexpr size_t kFwImageMax = 64u << 20;
constexpr size_t kFifoMax = 1024;  // words kept in the item FIFO; more are dropped

// How the unit's next completion events are spoilt (the `ctu-event` command).
enum class EventFault { None, Code, Class, Late, Drop };

struct _SIM_CTU_STATE : _SIM_CHANNEL_STATE {
    uint8_t Chl = 0;
    uint8_t Version = 0;  // the DIB's Info byte: device name layout 0 (20 bytes) or 1 (64)
    std::vector<uint32_t> Fifo;
    std::vector<uint32_t> ReadQueue;  // answer words for reads of register 9
    size_t ReadNext = 0;
    // What the unit keeps across reboots.
    SimMac Mac{};  // the identity it takes at its next reboot
    std::vector<uint8_t> Name;
    uint8_t LinkStatus = 0;
    std::array<uint8_t, 2> Model{};
    std::vector<uint8_t> FlashUart, FlashDio;
    std::vector<uint8_t> Nvm = std::vector<uint8_t>(kNvmSize, 0);
    // The last transaction carried out: item, direction, length and its data bytes.
    std::string Last = "-";
    unsigned Executes = 0;
    // Firmware download.
    uint32_t FwTotal = 0;
    std::vector<uint8_t> FwImage;
    uint32_t FwSum = 0;
    bool FwLoaded = false;  // total length accepted, blocks expected
    unsigned FwImages = 0;  // images taken whole
    unsigned ProgramSteps = 3;
    unsigned ProgramIntervalMs = 20;
    bool ProgramFails = false;
    unsigned TotalWaitMs = 0;  // how long accepting the total length takes
    int FailBlock = -1;        // the block (counted from 0) refused with a failure code
    bool RebootPending = false;
    // Completion event faults.
    EventFault Fault = EventFault::None;
    unsigned FaultCount = 0;
    unsigned FaultValue = 0;
    // Bytes beyond the asked length in memory read answers.
    unsigned NvmExtra = 0;
};

_SIM_CTU_STATE* StateOf(_SIM_UNIT& Unit, uint8_t Chl) {
    return SimChannelStateAs<_SIM_CTU_STATE>(Unit, Chl);
}

// The unit's first control-unit channel, for the control commands.
_SIM_CTU_STATE* FirstState(_SIM_UNIT& Unit) {
    for (const auto& dib : Unit.Profile->Dibs)
        if (dib.Type == kSimCtuModel.DibType)
            if (auto* s = StateOf(Unit, dib.ChlNumber)) return s;
    return nullptr;
}

void Note(_SIM_CONTEXT& Ctx, const _SIM_UNIT& Unit, const std::string& What) {
    if (Ctx.Verbose) SimLog(Ctx, "   " + SimMacFormat(Unit.Mac) + ": ctu: " + What);
}

std::string Hex(const std::vector<uint8_t>& b) {
    if (b.empty()) return "-";
    std::string s;
    char buf[3];
    for (uint8_t v : b) {
        std::snprintf(buf, sizeof(buf), "%02x", v);
        s += buf;
    }
    return s;
}

std::vector<uint8_t> WordBytes(const std::vector<uint32_t>& Words, size_t From) {
    std::vector<uint8_t> out;
    for (size_t i = From; i < Words.size(); ++i)
        for (int k = 0; k < 4; ++k) out.push_back(static_cast<uint8_t>(Words[i] >> (8 * k)));
    return out;
}

std::vector<uint32_t> BytesToWords(const std::vector<uint8_t>& Bytes) {
    std::vector<uint32_t> w((Bytes.size() + 3) / 4, 0);
    for (size_t i = 0; i < Bytes.size(); ++i) w[i / 4] |= static_cast<uint32_t>(Bytes[i]) << (8 * (i % 4));
    return w;
}

std::vector<uint8_t> StripZeros(std::vector<uint8_t> b) {
    while (!b.empty() && b.back() == 0) b.pop_back();
    return b;
}

std::vector<uint8_t> Padded(std::vector<uint8_t> b, size_t Width) {
    b.resize(Width, 0);
    return b;
}


// An event TLP of the channel to the connected host, with the pending event fault applied.
void SendEvent(_SIM_CONTEXT& Ctx, _SIM_UNIT& Unit, _SIM_CTU_STATE& s, uint8_t Class, uint8_t Code,
               const std::vector<uint8_t>& Data = {}) {
    if (Unit.Silent || Unit.Link.LinkStatus == 0) {
        Note(Ctx, Unit, "event " + std::to_string(Class) + "/" + std::to_string(Code) + " not sent: no host");
        return;
    }
    EventFault fault = EventFault::None;
    if (s.Fault != EventFault::None && s.FaultCount > 0) {
        fault = s.Fault;
        if (--s.FaultCount == 0) s.Fault = EventFault::None;
    }
    if (fault == EventFault::Code) Code = static_cast<uint8_t>(s.FaultValue);
    if (fault == EventFault::Class) Class = static_cast<uint8_t>(s.FaultValue);
    _SIM_TLP t{};
    t.Type = kSimTlpEvent;
    t.ChlNumber = s.Chl;
    t.Event = {Class, Code, 0, 0};
    const SimMac host = Unit.Link.ConnectedHostMac;
    Note(Ctx, Unit,
         "event class " + std::to_string(Class) + " code " + std::to_string(Code) + " with " +
             std::to_string(Data.size()) + " bytes" +
             (fault == EventFault::Drop ? " dropped" : fault == EventFault::Late ? " held back" : ""));
    if (fault == EventFault::Drop) return;
    if (fault == EventFault::Late) {
        const SimMac mac = Unit.Mac;
        const uint64_t serial = Unit.Serial;
        _SIM_CONTEXT* ctx = &Ctx;
        Ctx.Timers.Add(Ctx.Now() + s.FaultValue, [ctx, mac, serial, host, t, Data]() {
            _SIM_UNIT* u = SimUnitGet(*ctx, mac);
            if (u != nullptr && u->Serial == serial) SimUnitSendTlp(*ctx, *u, host, t, Data);
        });
        return;
    }
    SimUnitSendTlp(Ctx, Unit, host, t, Data);
}

// Restarts the unit: it forgets its host and its TLP numbering, takes the MAC it was given and
// is played again from its profile; what the control unit keeps in flash stays.
void Reboot(_SIM_CONTEXT& Ctx, const SimMac& Mac, uint64_t Serial) {
    _SIM_UNIT* u = SimUnitGet(Ctx, Mac);
    if (u == nullptr || u->Serial != Serial) return;
    _SIM_CTU_STATE* s = FirstState(*u);
    if (s == nullptr) return;
    SimMac next = s->Mac;
    if (next != Mac && (Ctx.Units.count(next) != 0 || SimMacIsMulticast(next) || next == SimMac{})) {
        Note(Ctx, *u, "new MAC " + SimMacFormat(next) + " not usable: reboots as " + SimMacFormat(Mac));
        next = Mac;
    }
    auto node = Ctx.Units.extract(Mac);
    std::unique_ptr<_SIM_UNIT>& unit = node.mapped();
    std::unique_ptr<_SIM_CHANNEL_STATE> kept = std::move(unit->ChannelStates[s->Chl]);
    const uint8_t chl = s->Chl;
    SimUnitDropLink(Ctx, *unit);
    unit->Mac = next;
    unit->Serial = Ctx.NextSerial++;  // timers of the old life leave the new one alone
    unit->TxSeq = unit->Profile->DeviceSeq & kSimSeqMask;
    unit->RxTlpSeqs.clear();
    unit->UnackedTx.clear();
    SimUnitRegistersInit(*unit);
    node.key() = next;
    _SIM_UNIT& added = *unit;
    Ctx.Units.insert(std::move(node));
    SimChannelStatesInit(Ctx, added);
    auto* st = static_cast<_SIM_CTU_STATE*>(kept.get());
    st->RebootPending = false;
    st->Fifo.clear();
    st->ReadQueue.clear();
    st->FwLoaded = false;
    added.ChannelStates[chl] = std::move(kept);
    if (Ctx.Verbose) SimLog(Ctx, "   " + SimMacFormat(Mac) + ": rebooted as " + SimMacFormat(next));
}

void ScheduleReboot(_SIM_CONTEXT& Ctx, _SIM_UNIT& Unit, unsigned AfterMs) {
    const SimMac mac = Unit.Mac;
    const uint64_t serial = Unit.Serial;
    _SIM_CONTEXT* ctx = &Ctx;
    Ctx.Timers.Add(Ctx.Now() + AfterMs, [ctx, mac, serial]() { Reboot(*ctx, mac, serial); });
}

// After an image went in whole the unit programs its flash by itself: progress events, then
// the end (7 and a reboot, or 6).
void ProgramStep(_SIM_CONTEXT& Ctx, const SimMac& Mac, uint64_t Serial, unsigned Done) {
    _SIM_UNIT* u = SimUnitGet(Ctx, Mac);
    if (u == nullptr || u->Serial != Serial) return;
    _SIM_CTU_STATE* s = FirstState(*u);
    if (s == nullptr) return;
    if (Done < s->ProgramSteps) {
        SendEvent(Ctx, *u, *s, kClassCommand, kCodeProgramStep);
    } else {
        if (s->ProgramFails) {
            SendEvent(Ctx, *u, *s, kClassCommand, kCodeProgramFail);
            return;
        }
        SendEvent(Ctx, *u, *s, kClassCommand, kCodeProgramFinish);
        // The host disconnects on the finish event; a unit left alone restarts anyway.
        s->RebootPending = true;
        ScheduleReboot(Ctx, *u, 2000);
        return;
    }
    _SIM_CONTEXT* ctx = &Ctx;
    const SimMac mac = Mac;
    Ctx.Timers.Add(Ctx.Now() + s->ProgramIntervalMs,
                   [ctx, mac, Serial, Done]() { ProgramStep(*ctx, mac, Serial, Done + 1); });
}

// One firmware data block; the event code the unit answers with.
uint8_t FirmwareBlock(_SIM_CONTEXT& Ctx, _SIM_UNIT& Unit, _SIM_CTU_STATE& s, const std::vector<uint8_t>& Data,
                      size_t Length) {
    if (!s.FwLoaded || (Length != 256 && Length != 260) || Data.size() < Length) return kCodeFailure;
    const size_t block = s.FwImage.size() / 256;
    if (static_cast<int>(block) == s.FailBlock) {
        s.FwLoaded = false;
        return kCodeFailure;
    }
    if (s.FwImage.size() + 256 > s.FwTotal) return kCodeFailure;
    s.FwImage.insert(s.FwImage.end(), Data.begin(), Data.begin() + 256);
    for (size_t i = 0; i < 256; ++i) s.FwSum += Data[i];
    if (Length == 256) return s.FwImage.size() < s.FwTotal ? kCodeBlockTaken : kCodeFailure;
    // The last block carries the 32-bit byte sum of the whole image.
    s.FwLoaded = false;
    if (s.FwImage.size() != s.FwTotal || qor::GetLe32(Data.data() + 256) != s.FwSum) return kCodeFailure;
    ++s.FwImages;
    const SimMac mac = Unit.Mac;
    const uint64_t serial = Unit.Serial;
    _SIM_CONTEXT* ctx = &Ctx;
    Ctx.Timers.Add(Ctx.Now() + s.ProgramIntervalMs, [ctx, mac, serial]() { ProgramStep(*ctx, mac, serial, 0); });
    return kCodeSuccess;
}

// Carries out the transaction in the item FIFO (a write of 1 to register 8); the event code.
uint8_t Execute(_SIM_CONTEXT& Ctx, _SIM_UNIT& Unit, _SIM_CTU_STATE& s, bool* pLate) {
    if (s.Fifo.empty()) return kCodeFailure;
    const uint32_t head = s.Fifo[0];
    const uint8_t item = static_cast<uint8_t>(head);
    const uint8_t dir = static_cast<uint8_t>(head >> 8);
    const bool wide = item == kItemFwTotal || item == kItemFwData || item == kItemDioFlash;
    const size_t length = wide ? (head >> 16) & 0xFFFF : (head >> 16) & 0xFF;
    const std::vector<uint8_t> data = WordBytes(s.Fifo, 1);
    s.Fifo.clear();
    if (item != kItemFwData)
        s.Last = std::to_string(item) + "/" + std::to_string(dir) + "/" + std::to_string(length) + "/" + Hex(data);
    s.ReadQueue.clear();
    s.ReadNext = 0;
    if (dir == 0) {
        switch (item) {
            case kItemMac:
                if (length != 6) return kCodeFailure;
                // Last byte first, then two zero bytes.
                s.ReadQueue = BytesToWords({s.Mac[5], s.Mac[4], s.Mac[3], s.Mac[2], s.Mac[1], s.Mac[0], 0, 0});
                return kCodeSuccess;
            case kItemName: {
                const size_t width = s.Version == 0 ? 20 : 64;
                if (length != width) return kCodeFailure;
                // Words in reverse order, each word's bytes in order: a host reads the words
                // back to front.
                std::vector<uint32_t> w = BytesToWords(Padded(s.Name, width));
                s.ReadQueue.assign(w.rbegin(), w.rend());
                return kCodeSuccess;
            }
            case kItemLinkStatus:
                if (length != 1) return kCodeFailure;
                s.ReadQueue = {s.LinkStatus};
                return kCodeSuccess;
            default:
                return kCodeUnsupported;
        }
    }
    if (dir != 1) return kCodeUnsupported;
    if (item != kItemFwData && data.size() < length) return kCodeFailure;
    switch (item) {
        case kItemMac: {
            if (length != 6) return kCodeFailure;
            SimMac m{};
            for (size_t i = 0; i < 6; ++i) m[i] = data[5 - i];
            s.Mac = m;
            return kCodeSuccess;
        }
        case kItemName:
            if (s.Version == 0) {
                if (length < 1 || length > 20 || data.size() < 20) return kCodeFailure;
                std::vector<uint8_t> n(data.begin(), data.begin() + 20);
                std::reverse(n.begin(), n.end());
                n.resize(length);
                s.Name = StripZeros(n);
            } else {
                if (length < 1 || length > 64 || length % 4 != 0) return kCodeFailure;
                s.Name = StripZeros(std::vector<uint8_t>(data.begin(), data.begin() + static_cast<std::ptrdiff_t>(length)));
            }
            return kCodeSuccess;
        case kItemLinkStatus:
            if (length != 1) return kCodeFailure;
            s.LinkStatus = data[0];
            return kCodeSuccess;
        case kItemModel:
            if (length != 2) return kCodeFailure;
            s.Model = {data[0], data[1]};
            return kCodeSuccess;
        case kItemPassword: {
            if (length != 36 || data[0] > 1) return kCodeFailure;
            std::vector<uint8_t> p(data.begin() + 4, data.begin() + 36);
            std::reverse(p.begin(), p.end());
            Unit.Password = data[0] == 1 ? StripZeros(p) : std::vector<uint8_t>{};
            return kCodeSuccess;
        }
        case kItemUartFlash:
            if (length == 0 || length % 4 != 0) return kCodeFailure;
            s.FlashUart.assign(data.begin(), data.begin() + static_cast<std::ptrdiff_t>(length));
            return kCodeSuccess;
        case kItemDioFlash:
            if (length == 0 || length % 4 != 0) return kCodeFailure;
            s.FlashDio.assign(data.begin(), data.begin() + static_cast<std::ptrdiff_t>(length));
            return kCodeSuccess;
        case kItemFwTotal:
            if (length != 4 || qor::GetLe32(data.data()) > kFwImageMax) return kCodeFailure;
            s.FwTotal = qor::GetLe32(data.data());
            s.FwImage.clear();
            s.FwSum = 0;
            s.FwLoaded = true;
            *pLate = s.TotalWaitMs > 0;
            return kCodeSuccess;
        case kItemFwData:
            return FirmwareBlock(Ctx, Unit, s, data, length);
        default:
            return kCodeUnsupported;
    }
}

// A memory read set up in the FIFO (length word, address word) and started through register 11.
void NvmRead(_SIM_CONTEXT& Ctx, _SIM_UNIT& Unit, _SIM_CTU_STATE& s) {
    std::vector<uint32_t> words = std::move(s.Fifo);
    s.Fifo.clear();
    if (words.size() < 2 || (words[words.size() - 2] & 0xFFFF) != 1) {
        SendEvent(Ctx, Unit, s, kClassNvm, kCodeFailure);
        return;
    }
    const uint32_t lw = words[words.size() - 2], aw = words[words.size() - 1];
    const size_t length = (lw >> 16) & 0xFFFF;
    const size_t address = aw & 0xFFFF;
    std::vector<uint8_t> out(length + s.NvmExtra, 0);
    for (size_t i = 0; i < out.size() && address + i < kNvmSize; ++i) out[i] = s.Nvm[address + i];
    s.Last = "nvm/" + std::to_string(address) + "/" + std::to_string(length);
    SendEvent(Ctx, Unit, s, kClassNvm, kCodeSuccess, out);
}

std::unique_ptr<_SIM_CHANNEL_STATE> Create(_SIM_CONTEXT&, _SIM_UNIT& Unit, const _SIM_DIB& Dib) {
    auto s = std::make_unique<_SIM_CTU_STATE>();
    s->Chl = Dib.ChlNumber;
    s->Version = Dib.Info;
    s->Mac = Unit.Mac;
    // The device name a unit starts with: the string channel's, or a version-0 control unit's own.
    for (const auto& d : Unit.Profile->Dibs) {
        if (d.Type != 128 || d.ExtraData.size() < 4) continue;
        const size_t from = 4 + d.ExtraData[0] * 4u;
        const size_t to = std::min(d.ExtraData.size(), from + d.ExtraData[1] * 4u);
        if (from < to) s->Name = StripZeros({d.ExtraData.begin() + static_cast<std::ptrdiff_t>(from),
                                             d.ExtraData.begin() + static_cast<std::ptrdiff_t>(to)});
    }
    if (s->Name.empty() && Dib.Info == 0) s->Name = StripZeros(Dib.ExtraData);
    while (!s->Name.empty() && s->Name.back() == ' ') s->Name.pop_back();
    return s;
}

void OnWrite(_SIM_CONTEXT& Ctx, _SIM_UNIT& Unit, const _SIM_FRAME& F, size_t, size_t) {
    const _SIM_TLP& t = F.Tlp;
    _SIM_CTU_STATE* s = StateOf(Unit, t.ChlNumber);
    if (s == nullptr || t.LengthInDW == 0) return;
    const uint32_t first = qor::GetLe32(t.Data);
    if (t.Offset == kRegFifo) {
        for (size_t i = 0; i < t.LengthInDW && s->Fifo.size() < kFifoMax; ++i)
            s->Fifo.push_back(qor::GetLe32(t.Data + i * 4));
        return;
    }
    if (t.Offset == kRegNvm && first == kControlExecute) {
        NvmRead(Ctx, Unit, *s);
        return;
    }
    if (t.Offset != kRegControl) return;
    if (first == kControlOpen) {
        s->Fifo.clear();
        return;
    }
    if (first != kControlExecute) return;
    ++s->Executes;
    bool late = false;
    const uint8_t code = Execute(Ctx, Unit, *s, &late);
    Note(Ctx, Unit, "transaction " + s->Last + " answered " + std::to_string(code));
    if (!late) {
        SendEvent(Ctx, Unit, *s, kClassCommand, code);
        return;
    }
    // Accepting a firmware length takes a while (erasing the flash).
    const SimMac mac = Unit.Mac;
    const uint64_t serial = Unit.Serial;
    const uint8_t chl = s->Chl;
    _SIM_CONTEXT* ctx = &Ctx;
    Ctx.Timers.Add(Ctx.Now() + s->TotalWaitMs, [ctx, mac, serial, chl, code]() {
        _SIM_UNIT* u = SimUnitGet(*ctx, mac);
        if (u == nullptr || u->Serial != serial) return;
        if (_SIM_CTU_STATE* st = StateOf(*u, chl)) SendEvent(*ctx, *u, *st, kClassCommand, code);
    });
}

// Reads of register 9 take the answer words of the last transaction one after the other.
bool OnRead(_SIM_CONTEXT& Ctx, _SIM_UNIT& Unit, const _SIM_FRAME& F) {
    const _SIM_TLP& t = F.Tlp;
    _SIM_CTU_STATE* s = StateOf(Unit, t.ChlNumber);
    if (s == nullptr || t.Offset != kRegFifo) return false;
    std::vector<uint32_t> words;
    for (size_t i = 0; i < t.LengthInDW; ++i)
        words.push_back(s->ReadNext < s->ReadQueue.size() ? s->ReadQueue[s->ReadNext++] : 0);
    _SIM_TLP answer{};
    answer.Type = kSimTlpCmd;
    answer.ChlNumber = t.ChlNumber;
    answer.TransactionID = t.TransactionID;
    answer.Offset = t.Offset;
    answer.LengthInDW = t.LengthInDW;
    answer.AOLBE = t.AOLBE;
    SimUnitSendAnswer(Ctx, Unit, F.Src, answer, SimWordsToBytes(words));
    return true;
}

std::string Show(const _SIM_UNIT& Unit) {
    const _SIM_CTU_STATE* s = nullptr;
    for (const auto& [chl, st] : Unit.ChannelStates)
        if (s == nullptr) s = dynamic_cast<const _SIM_CTU_STATE*>(st.get());
    if (s == nullptr) return "";
    return " ctu-mac=" + SimMacFormat(s->Mac) + " ctu-name=" + Hex(s->Name) +
           " ctu-link=" + std::to_string(s->LinkStatus) + " ctu-model=" + Hex({s->Model[0], s->Model[1]}) +
           " ctu-password=" + Hex(Unit.Password) + " ctu-flash-uart=" + Hex(s->FlashUart) +
           " ctu-flash-dio=" + Hex(s->FlashDio) + " ctu-executes=" + std::to_string(s->Executes) +
           " ctu-fw=" + std::to_string(s->FwImage.size()) + "/" + std::to_string(s->FwTotal) + "/" +
           std::to_string(s->FwImages) + " ctu-last=" + s->Last;
}

using Args = std::vector<std::string>;

// The control-unit states of the targets; false with *pError set when one has none.
bool States(_SIM_CONTEXT& Ctx, const std::string& Which, std::vector<std::pair<_SIM_UNIT*, _SIM_CTU_STATE*>>* pOut,
            std::string* pError) {
    std::vector<_SIM_UNIT*> units;
    if (!SimControlTargets(Ctx, Which, &units, pError)) return false;
    for (auto* u : units) {
        _SIM_CTU_STATE* s = FirstState(*u);
        if (s == nullptr) {
            if (Which == "all") continue;
            *pError = SimMacFormat(u->Mac) + " has no control unit";
            return false;
        }
        pOut->push_back({u, s});
    }
    return true;
}

std::string CmdEvent(_SIM_CONTEXT& Ctx, const Args& a) {
    const std::string usage = "usage: ctu-event MAC|all code N|class N|late MS|drop [COUNT] | off";
    std::vector<std::pair<_SIM_UNIT*, _SIM_CTU_STATE*>> targets;
    std::string err;
    if (!States(Ctx, a[1], &targets, &err)) return "error " + err;
    EventFault f = EventFault::None;
    unsigned long value = 0, count = 1;
    size_t next = 3;
    if (a[2] == "off") {
        if (a.size() != 3) return "error " + usage;
        count = 0;
    } else if (a[2] == "drop") {
        f = EventFault::Drop;
    } else {
        const unsigned long max = a[2] == "late" ? 60000 : 255;
        if (a[2] == "code") f = EventFault::Code;
        else if (a[2] == "class") f = EventFault::Class;
        else if (a[2] == "late") f = EventFault::Late;
        else return "error " + usage;
        if (a.size() < 4 || !SimControlParseNumber(a[3], max, &value)) return "error " + usage;
        next = 4;
    }
    if (a.size() > next + 1) return "error " + usage;
    if (a.size() == next + 1 && !SimControlParseNumber(a[next], 1024, &count)) return "error count must be 0..1024";
    for (auto& [u, s] : targets) {
        s->Fault = count == 0 ? EventFault::None : f;
        s->FaultCount = static_cast<unsigned>(count);
        s->FaultValue = static_cast<unsigned>(value);
    }
    return "ok ctu-event " + a[2] + " " + std::to_string(count);
}

// ctu-firmware MAC steps N | interval MS | end ok|fail | total-wait MS | fail-block N|off
std::string CmdFirmware(_SIM_CONTEXT& Ctx, const Args& a) {
    const std::string usage =
        "usage: ctu-firmware MAC|all steps N | interval MS | end ok|fail | total-wait MS | fail-block N|off";
    std::vector<std::pair<_SIM_UNIT*, _SIM_CTU_STATE*>> targets;
    std::string err;
    if (!States(Ctx, a[1], &targets, &err)) return "error " + err;
    unsigned long v = 0;
    for (auto& [u, s] : targets) {
        if (a[2] == "end" && (a[3] == "ok" || a[3] == "fail")) {
            s->ProgramFails = a[3] == "fail";
        } else if (a[2] == "fail-block" && a[3] == "off") {
            s->FailBlock = -1;
        } else if (!SimControlParseNumber(a[3], 60000, &v)) {
            return "error " + usage;
        } else if (a[2] == "steps") {
            s->ProgramSteps = static_cast<unsigned>(std::min<unsigned long>(v, 1000));
        } else if (a[2] == "interval") {
            s->ProgramIntervalMs = static_cast<unsigned>(v);
        } else if (a[2] == "total-wait") {
            s->TotalWaitMs = static_cast<unsigned>(v);
        } else if (a[2] == "fail-block") {
            s->FailBlock = static_cast<int>(v);
        } else {
            return "error " + usage;
        }
    }
    return "ok ctu-firmware " + a[2] + " " + a[3];
}

// ctu-calibration MAC TYPE LENGTH [CHANNEL-TYPE]: a table of LENGTH bytes (a byte pattern)
// behind its 12-byte header in non-volatile memory.
std::string CmdCalibration(_SIM_CONTEXT& Ctx, const Args& a) {
    std::vector<std::pair<_SIM_UNIT*, _SIM_CTU_STATE*>> targets;
    std::string err;
    if (!States(Ctx, a[1], &targets, &err)) return "error " + err;
    unsigned long type = 0, length = 0, chtype = 10;
    const size_t room = kNvmSize - kCalAddress - kCalHeaderLength;
    if (!SimControlParseNumber(a[2], 255, &type) || !SimControlParseNumber(a[3], room, &length) ||
        (a.size() == 5 && !SimControlParseNumber(a[4], 255, &chtype)))
        return "error usage: ctu-calibration MAC|all TYPE LENGTH(0.." + std::to_string(room) + ") [CHANNEL-TYPE]";
    for (auto& [u, s] : targets) {
        uint8_t* h = s->Nvm.data() + kCalAddress;
        std::fill(h, h + kCalHeaderLength, 0);
        h[0] = 0xCA;
        h[1] = 0x1B;
        h[2] = static_cast<uint8_t>(chtype);
        qor::PutLe16(h + 4, static_cast<uint16_t>(length));
        h[8] = static_cast<uint8_t>(type);
        h[11] = 0x5A;
        for (size_t i = 0; i < length; ++i) h[kCalHeaderLength + i] = static_cast<uint8_t>(i * 7 + 3);
    }
    return "ok ctu-calibration " + std::to_string(type) + " " + std::to_string(length);
}

// ctu-nvm-extra MAC N: memory read answers carry N bytes more than asked.
std::string CmdNvmExtra(_SIM_CONTEXT& Ctx, const Args& a) {
    std::vector<std::pair<_SIM_UNIT*, _SIM_CTU_STATE*>> targets;
    std::string err;
    if (!States(Ctx, a[1], &targets, &err)) return "error " + err;
    unsigned long n = 0;
    if (!SimControlParseNumber(a[2], 1024, &n)) return "error usage: ctu-nvm-extra MAC|all N(0..1024)";
    for (auto& [u, s] : targets) s->NvmExtra = static_cast<unsigned>(n);
    return "ok ctu-nvm-extra " + std::to_string(n);
}

// ctu-reboot MAC: restarts the unit now (under a MAC it was given, if any).
std::string CmdReboot(_SIM_CONTEXT& Ctx, const Args& a) {
    std::vector<std::pair<_SIM_UNIT*, _SIM_CTU_STATE*>> targets;
    std::string err;
    if (a[1] == "all" || !States(Ctx, a[1], &targets, &err)) return "error " + (err.empty() ? "one MAC" : err);
    const SimMac next = targets[0].second->Mac;
    Reboot(Ctx, targets[0].first->Mac, targets[0].first->Serial);
    return "ok ctu-reboot " + SimMacFormat(next);
}

const _SIM_MODEL_COMMAND kCommands[] = {
    {"ctu-event", 2, 4, "ctu-event MAC|all code N|class N|late MS|drop [COUNT] | off", &CmdEvent},
    {"ctu-firmware", 3, 3, "ctu-firmware MAC|all steps N | interval MS | end ok|fail | total-wait MS | fail-block N|off",
     &CmdFirmware},
    {"ctu-calibration", 3, 4, "ctu-calibration MAC|all TYPE LENGTH [CHANNEL-TYPE]", &CmdCalibration},
    {"ctu-nvm-extra", 2, 2, "ctu-nvm-extra MAC|all N", &CmdNvmExtra},
    {"ctu-reboot", 1, 1, "ctu-reboot MAC", &CmdReboot},
};

}  // namespace

const _SIM_CHANNEL_MODEL kSimCtuModel = {
    0,  // control unit
    &Create, &OnWrite, &OnRead, nullptr, &Show, kCommands, std::size(kCommands),
};

void SimCtuLinkDropped(_SIM_CONTEXT& Ctx, _SIM_UNIT& Unit) {
    _SIM_CTU_STATE* s = FirstState(Unit);
    if (s == nullptr || (!s->RebootPending && s->Mac == Unit.Mac)) return;
    // After the disconnect answer has gone out.
    ScheduleReboot(Ctx, Unit, 0);
}
