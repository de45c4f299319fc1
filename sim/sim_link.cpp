#include "sim_link.h"

#include <algorithm>

#include "qor_wire.h"
#include "sim_channel.h"
#include "sim_dump.h"

namespace {

void Note(_SIM_CONTEXT& Ctx, const _SIM_UNIT& Unit, const std::string& What) {
    if (Ctx.Verbose) SimLog(Ctx, "   " + SimMacFormat(Unit.Mac) + ": " + What);
}

bool HasHost(const _SIM_UNIT& Unit) {
    return Unit.Link.LinkStatus != 0 && Unit.Link.ConnectedHostMac != SimMac{};
}

// A DLLP carrying a sequence number in bytes 2 and 3; ReturnCode goes to byte 2 bits 7..2.
void SendSeqDllp(_SIM_CONTEXT& Ctx, _SIM_UNIT& Unit, const SimMac& Dst, uint8_t Cmd, uint16_t Seq,
                 uint8_t ReturnCode = 0) {
    uint8_t b2 = static_cast<uint8_t>((ReturnCode & kSimRcMax) << 2), b3 = 0;
    SimDllpPutSeq(Seq, &b2, &b3);
    SimUnitSend(Ctx, Unit, Dst, SimDllpEncode(Cmd, b2, b3));
}

void RememberSeq(_SIM_UNIT& Unit, uint16_t Seq, bool Naked) {
    if (Unit.RxTlpSeqs.size() >= kSimSeqHistory) Unit.RxTlpSeqs.pop_front();
    Unit.RxTlpSeqs.push_back({Seq, Naked});
}

// The model of the channel's DIB type, or null.
const _SIM_CHANNEL_MODEL* ModelOf(const _SIM_UNIT& Unit, uint8_t ChlNumber) {
    for (const auto& dib : Unit.Profile->Dibs)
        if (dib.ChlNumber == ChlNumber) return SimChannelModel(dib.Type);
    return nullptr;
}

void HandleCmd(_SIM_CONTEXT& Ctx, _SIM_UNIT& Unit, const _SIM_FRAME& F) {
    const _SIM_TLP& t = F.Tlp;
    std::vector<uint32_t>* regs = SimUnitRegisters(Unit, t.ChlNumber);
    const std::string where = "channel " + std::to_string(t.ChlNumber);
    if (regs == nullptr) {
        ++Unit.Stats.Ignored;
        Note(Ctx, Unit, "CMD for " + where + ", which the unit does not have: acknowledged only");
        return;
    }
    // Registers that exist from Offset on (all of Offset's range does today, but the file
    // size decides, not the field width).
    const size_t first = std::min<size_t>(t.Offset, regs->size());
    const size_t n = std::min<size_t>(t.LengthInDW, regs->size() - first);
    if (t.RW) {
        if (t.DataTruncated) {
            ++Unit.Stats.Ignored;
            Note(Ctx, Unit,
                 "write to " + where + " announces " + std::to_string(t.LengthInDW) +
                     " words, the frame holds " + std::to_string(t.DataLength) + " bytes: nothing written");
            return;
        }
        const _SIM_CHANNEL_MODEL* model = ModelOf(Unit, t.ChlNumber);
        if (model && model->TakeWrite && model->TakeWrite(Ctx, Unit, F)) return;
        for (size_t i = 0; i < n; ++i) (*regs)[first + i] = qor::GetLe32(t.Data + i * 4);
        std::string s = "write to " + where + " with no words";
        if (t.LengthInDW > 0)
            s = "write " + where + " registers " + std::to_string(first) + ".." +
                std::to_string(first + t.LengthInDW - 1);
        if (n < t.LengthInDW)
            s += " (" + std::to_string(t.LengthInDW - n) + " past the last register dropped)";
        Note(Ctx, Unit, s);
        if (model && model->OnWrite) model->OnWrite(Ctx, Unit, F, first, n);
        return;
    }
    if (const _SIM_CHANNEL_MODEL* model = ModelOf(Unit, t.ChlNumber); model && model->OnRead && model->OnRead(Ctx, Unit, F))
        return;
    // A read is answered with the words that exist; LengthInDW tells how many came.
    std::vector<uint32_t> words(regs->begin() + static_cast<std::ptrdiff_t>(first),
                                regs->begin() + static_cast<std::ptrdiff_t>(first + n));
    _SIM_TLP answer{};
    answer.Type = kSimTlpCmd;
    answer.RW = 0;
    answer.ChlNumber = t.ChlNumber;
    answer.TransactionID = t.TransactionID;
    answer.Offset = t.Offset;
    answer.LengthInDW = static_cast<uint8_t>(n);
    answer.AOLBE = t.AOLBE;
    if (n < t.LengthInDW)
        Note(Ctx, Unit,
             "read of " + std::to_string(t.LengthInDW) + " words from " + where + " register " +
                 std::to_string(first) + " answered with the " + std::to_string(n) + " that exist");
    SimUnitSendAnswer(Ctx, Unit, F.Src, answer, SimWordsToBytes(words));
}

}  // namespace

std::vector<uint32_t>* SimUnitRegisters(_SIM_UNIT& Unit, uint8_t ChlNumber) {
    auto it = Unit.Registers.find(ChlNumber);
    return it == Unit.Registers.end() ? nullptr : &it->second;
}

void SimUnitRegistersInit(_SIM_UNIT& Unit) {
    Unit.Registers.clear();
    for (const auto& dib : Unit.Profile->Dibs) Unit.Registers[dib.ChlNumber].assign(kSimRegisterWords, 0);
    for (const auto& r : Unit.Profile->Registers) {
        std::vector<uint32_t>* regs = SimUnitRegisters(Unit, r.ChlNumber);
        // The parser makes sure of both; a hand-built profile may not.
        if (regs == nullptr) continue;
        for (size_t i = 0; i < r.Values.size() && r.Offset + i < regs->size(); ++i)
            (*regs)[r.Offset + i] = r.Values[i];
    }
}

uint8_t SimConnectDecide(const _SIM_UNIT& Unit, const _SIM_FRAME& F, std::string* pWhy) {
    const _SIM_PROFILE& p = *Unit.Profile;
    const bool advance = p.Mode == kSimModeAdvance;
    const uint8_t expected = advance ? SIM_DLLP_ADVANCE_CONNECT : SIM_DLLP_DOCK_CONNECT;
    const bool disconnect = SimConnectMode(F.Dllp.Byte2) != 0;
    if (F.Dllp.Cmd != expected) {
        *pWhy = "command " + std::to_string(F.Dllp.Cmd) + " to a unit in " + (advance ? "advance" : "dock") +
                " mode (expects " + std::to_string(expected) + ")";
        return kSimRcVersion;
    }
    const bool versionBit = (F.Dllp.Byte2 & kSimConnectVersionBit) != 0;
    if (versionBit != advance) {
        *pWhy = std::string("version bit ") + (versionBit ? "1" : "0") + " in " +
                (advance ? "advance" : "dock") + " mode";
        return kSimRcVersion;
    }
    if (advance && p.PasswordEnable) {
        if (F.Dllp.PayloadLength < kSimPasswordBlockLength) {
            *pWhy = "password block cut short (" + std::to_string(F.Dllp.PayloadLength) + " bytes)";
            return kSimRcWrongPassword;
        }
        const auto want = SimPasswordBlock(Unit.Password);
        if (!std::equal(want.begin(), want.end(), F.Dllp.Payload)) {
            *pWhy = "wrong password block";
            return kSimRcWrongPassword;
        }
    }
    const bool connected = HasHost(Unit);
    const bool other = connected && Unit.Link.ConnectedHostMac != F.Src;
    if (!disconnect && other) {
        *pWhy = "connected to " + SimMacFormat(Unit.Link.ConnectedHostMac);
        return kSimRcBusy;
    }
    if (disconnect && other) {
        *pWhy = "disconnect from a host other than " + SimMacFormat(Unit.Link.ConnectedHostMac);
        return kSimRcFailure;
    }
    if (disconnect && !connected) *pWhy = "not connected";
    return kSimRcSuccess;
}

void SimHandleConnect(_SIM_CONTEXT& Ctx, _SIM_UNIT& Unit, const _SIM_FRAME& F) {
    const bool disconnect = SimConnectMode(F.Dllp.Byte2) != 0;
    const char* what = disconnect ? "disconnect" : "connect";
    Unit.HostSeq = SimDllpGetSeq(F.Dllp.Byte2, F.Dllp.Byte3);
    const _SIM_FORCED_REPLY& forced = disconnect ? Unit.DisconnectReply : Unit.ConnectReply;
    if (forced.How == _SIM_FORCED_REPLY::Kind::None) {
        ++Unit.Stats.Ignored;
        Note(Ctx, Unit, std::string(what) + " not answered (" + what + "-reply none)");
        return;
    }
    std::string why;
    uint8_t rc = SimConnectDecide(Unit, F, &why);
    if (forced.How == _SIM_FORCED_REPLY::Kind::Code) {
        rc = forced.Code;
        why = std::string("forced by ") + what + "-reply";
    }
    if (rc == kSimRcSuccess) {
        if (disconnect) {
            ++Unit.Stats.Disconnects;
            SimUnitDropLink(Ctx, Unit);
        } else {
            ++Unit.Stats.Connects;
            SimUnitSetLink(Ctx, Unit, F.Src);
        }
    } else {
        ++Unit.Stats.Refused;
    }
    Note(Ctx, Unit,
         std::string(what) + " answered " + std::to_string(rc) + (why.empty() ? "" : " (" + why + ")") +
             ", unit sequence number " + std::to_string(Unit.TxSeq));
    const uint8_t answer = F.Dllp.Cmd == SIM_DLLP_ADVANCE_CONNECT ? SIM_DLLP_ADVANCE_CONNECT_RESPONSE
                                                                  : SIM_DLLP_DOCK_CONNECT_RESPONSE;
    SendSeqDllp(Ctx, Unit, F.Src, answer, Unit.TxSeq, rc);
}

void SimHandleKeepAlive(_SIM_CONTEXT& Ctx, _SIM_UNIT& Unit, const _SIM_FRAME& F) {
    ++Unit.Stats.KeepAlives;
    if (HasHost(Unit) && Unit.Link.ConnectedHostMac == F.Src) Unit.LastKeepAliveMs = Ctx.Now();
    SimUnitSend(Ctx, Unit, F.Src, SimDllpEncode(SIM_DLLP_KEEP_ALIVE_RESPONSE, 0, 0));
}

void SimHandleHostAck(_SIM_CONTEXT& Ctx, _SIM_UNIT& Unit, const _SIM_FRAME& F) {
    const uint16_t seq = SimDllpGetSeq(F.Dllp.Byte2, F.Dllp.Byte3);
    if (F.Dllp.Cmd == SIM_DLLP_NAK) {
        // Hosts acknowledge every TLP; a unit keeps no copies to send again.
        ++Unit.Stats.NaksRx;
        Note(Ctx, Unit, "NAK for own TLP " + std::to_string(seq) + ": not resent");
        return;
    }
    ++Unit.Stats.AcksRx;
    auto it = std::find(Unit.UnackedTx.begin(), Unit.UnackedTx.end(), seq);
    if (it == Unit.UnackedTx.end()) {
        Note(Ctx, Unit, "ACK for " + std::to_string(seq) + ", which is not waiting for one");
        return;
    }
    Unit.UnackedTx.erase(it);
}

void SimHandleTlp(_SIM_CONTEXT& Ctx, _SIM_UNIT& Unit, const _SIM_FRAME& F) {
    const _SIM_TLP& t = F.Tlp;
    ++Unit.Stats.TlpsRx;
    if (Unit.NakNext > 0) {
        --Unit.NakNext;
        ++Unit.Stats.NaksTx;
        RememberSeq(Unit, t.SeqNumber, true);
        Note(Ctx, Unit,
             "TLP " + std::to_string(t.SeqNumber) + " answered with NAK (" + std::to_string(Unit.NakNext) +
                 " more to come)");
        SendSeqDllp(Ctx, Unit, F.Src, SIM_DLLP_NAK, t.SeqNumber);
        return;
    }
    RememberSeq(Unit, t.SeqNumber, false);
    ++Unit.Stats.AcksTx;
    SendSeqDllp(Ctx, Unit, F.Src, SIM_DLLP_ACK, t.SeqNumber);
    switch (t.Type) {
        case kSimTlpCmd:
            HandleCmd(Ctx, Unit, F);
            break;
        case kSimTlpData:
            if (const _SIM_CHANNEL_MODEL* model = ModelOf(Unit, t.ChlNumber); model && model->OnData) {
                model->OnData(Ctx, Unit, F);
                break;
            }
            Note(Ctx, Unit,
                 "DATA of " + std::to_string(t.DataLength) + " bytes for channel " +
                     std::to_string(t.ChlNumber) + " taken in");
            break;
        default:
            ++Unit.Stats.Ignored;
            Note(Ctx, Unit, "TLP type " + std::to_string(t.Type) + " acknowledged only");
            break;
    }
}

bool SimUnitSendKeepAliveTimeout(_SIM_CONTEXT& Ctx, _SIM_UNIT& Unit, std::string* pError) {
    if (Unit.Silent) {
        *pError = SimMacFormat(Unit.Mac) + " is silent";
        return false;
    }
    if (!HasHost(Unit)) {
        *pError = SimMacFormat(Unit.Mac) + " has no connected host";
        return false;
    }
    ++Unit.Stats.KeepAliveTimeouts;
    SimUnitSend(Ctx, Unit, Unit.Link.ConnectedHostMac, SimDllpEncode(SIM_DLLP_KEEP_ALIVE_TIMEOUT, 0, 0));
    return true;
}

namespace {

std::string SeqList(const std::vector<std::string>& Items) {
    if (Items.empty()) return "-";
    std::string s;
    const size_t from = Items.size() > kSimSeqShown ? Items.size() - kSimSeqShown : 0;
    if (from > 0) s = "...";
    for (size_t i = from; i < Items.size(); ++i) s += (s.empty() ? "" : ",") + Items[i];
    return s;
}

}  // namespace

std::string SimSeqHistoryText(const _SIM_UNIT& Unit) {
    std::vector<std::string> items;
    for (const auto& s : Unit.RxTlpSeqs) items.push_back(std::to_string(s.Seq) + (s.Naked ? "n" : ""));
    return SeqList(items);
}

std::string SimUnackedText(const _SIM_UNIT& Unit) {
    std::vector<std::string> items;
    for (uint16_t s : Unit.UnackedTx) items.push_back(std::to_string(s));
    return SeqList(items);
}
