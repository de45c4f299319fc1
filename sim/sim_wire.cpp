#include "sim_wire.h"

#include <cstdio>

#include "qor_wire.h"

const char* SimDllpCmdName(uint8_t Cmd) {
    switch (Cmd) {
        case SIM_DLLP_ACK:
            return "ACK";
        case SIM_DLLP_NAK:
            return "NAK";
        case SIM_DLLP_DOCK_CONNECT:
            return "DOCK_CONNECT";
        case SIM_DLLP_DOCK_CONNECT_RESPONSE:
            return "DOCK_CONNECT_RESPONSE";
        case SIM_DLLP_ADVANCE_SEARCH:
            return "ADVANCE_SEARCH";
        case SIM_DLLP_DOCK_SEARCH_RESPONSE:
            return "DOCK_SEARCH_RESPONSE";
        case SIM_DLLP_DOCK_SEARCH:
            return "DOCK_SEARCH";
        case SIM_DLLP_ADVANCE_SEARCH_RESPONSE:
            return "ADVANCE_SEARCH_RESPONSE";
        case SIM_DLLP_KEEP_ALIVE:
            return "KEEP_ALIVE";
        case SIM_DLLP_KEEP_ALIVE_RESPONSE:
            return "KEEP_ALIVE_RESPONSE";
        case SIM_DLLP_ADVANCE_CONNECT:
            return "ADVANCE_CONNECT";
        case SIM_DLLP_ADVANCE_CONNECT_RESPONSE:
            return "ADVANCE_CONNECT_RESPONSE";
        case SIM_DLLP_IP_SEARCH_RESPONSE:
            return "IP_SEARCH_RESPONSE";
        case SIM_DLLP_ACU:
            return "ACU";
        case SIM_DLLP_ACU_RESPONSE:
            return "ACU_RESPONSE";
        case SIM_DLLP_KEEP_ALIVE_TIMEOUT:
            return "KEEP_ALIVE_TIMEOUT";
        default:
            return nullptr;
    }
}

const char* SimFrameStatusText(SimFrameStatus s) {
    switch (s) {
        case SimFrameStatus::Ok:
            return "ok";
        case SimFrameStatus::ShortEthernet:
            return "frame shorter than the Ethernet header and packet type";
        case SimFrameStatus::WrongEtherType:
            return "wrong EtherType";
        case SimFrameStatus::ShortDllp:
            return "DLLP shorter than 4 bytes";
        case SimFrameStatus::ShortTlp:
            return "TLP shorter than its 8-byte header";
        case SimFrameStatus::UnknownPacket:
            return "unknown packet type";
    }
    return "?";
}

static void _DecodeTlp(const uint8_t* p, size_t n, _SIM_TLP* t, SimSender Sender) {
    // n >= kSimTlpHeaderLength, checked by the caller.
    t->SeqNumber = static_cast<uint16_t>((p[1] << 2) | (p[2] >> 6));
    t->Type = static_cast<uint8_t>((p[2] & 0x3E) >> 1);
    t->RW = p[2] & 0x01;
    t->ChlNumber = p[3];
    size_t announced = 0;
    if (t->Type == kSimTlpCmd) {
        t->TransactionID = p[4] & 0x1F;
        t->Offset = p[5];
        t->LengthInDW = p[6];
        t->AOLBE = p[7];
        // A read request carries no data; a write carries the words it writes, and so does a
        // unit's answer to a read.
        announced = (t->RW || Sender == SimSender::Unit) ? static_cast<size_t>(t->LengthInDW) * 4 : 0;
    } else if (t->Type == kSimTlpData) {
        t->Flag = static_cast<uint8_t>(p[4] >> 3);
        t->LengthInByte = static_cast<uint16_t>(((p[4] & 0x07) << 8) | p[5]);
        announced = t->LengthInByte;
    } else {
        for (size_t i = 0; i < 4; ++i) t->Event[i] = p[4 + i];
        announced = n - kSimTlpHeaderLength;
    }
    const size_t available = n - kSimTlpHeaderLength;
    t->Data = p + kSimTlpHeaderLength;
    t->DataAnnounced = announced;
    t->DataTruncated = announced > available;
    t->DataLength = t->DataTruncated ? available : announced;
}

SimFrameStatus SimFrameDecode(const uint8_t* pFrame, size_t Length, _SIM_FRAME* pOut, SimSender Sender) {
    *pOut = _SIM_FRAME{};
    if (pFrame == nullptr || Length < kSimEthHeaderLength + 1) return SimFrameStatus::ShortEthernet;
    for (size_t i = 0; i < 6; ++i) {
        pOut->Dst[i] = pFrame[i];
        pOut->Src[i] = pFrame[6 + i];
    }
    pOut->EtherType = qor::GetBe16(pFrame + 12);
    if (pOut->EtherType != kSimEtherType) return SimFrameStatus::WrongEtherType;
    const uint8_t* link = pFrame + kSimEthHeaderLength;
    const size_t n = Length - kSimEthHeaderLength;
    pOut->Link = link;
    pOut->LinkLength = n;
    pOut->PacketType = link[0];
    if (link[0] == kSimPacketDllp) {
        if (n < kSimDllpLength) return SimFrameStatus::ShortDllp;
        pOut->Dllp.RawCmd = link[1];
        pOut->Dllp.Cmd = link[1] & 0x1F;
        pOut->Dllp.Byte2 = link[2];
        pOut->Dllp.Byte3 = link[3];
        pOut->Dllp.Payload = link + kSimDllpLength;
        pOut->Dllp.PayloadLength = n - kSimDllpLength;
        return SimFrameStatus::Ok;
    }
    if (link[0] == kSimPacketTlp) {
        if (n < kSimTlpHeaderLength) return SimFrameStatus::ShortTlp;
        _DecodeTlp(link, n, &pOut->Tlp, Sender);
        return SimFrameStatus::Ok;
    }
    return SimFrameStatus::UnknownPacket;
}

void SimDllpPutSeq(uint16_t Seq, uint8_t* pByte2, uint8_t* pByte3) {
    *pByte2 = static_cast<uint8_t>((*pByte2 & 0xFC) | ((Seq >> 8) & 0x03));
    *pByte3 = static_cast<uint8_t>(Seq & 0xFF);
}

uint16_t SimDllpGetSeq(uint8_t Byte2, uint8_t Byte3) {
    return static_cast<uint16_t>(((Byte2 & 0x03) << 8) | Byte3);
}

std::vector<uint8_t> SimDllpEncode(uint8_t Cmd, uint8_t Byte2, uint8_t Byte3, const uint8_t* pPayload,
                                   size_t PayloadLength) {
    std::vector<uint8_t> out{kSimPacketDllp, Cmd, Byte2, Byte3};
    if (pPayload != nullptr && PayloadLength > 0) out.insert(out.end(), pPayload, pPayload + PayloadLength);
    return out;
}

std::vector<uint8_t> SimTlpEncode(const _SIM_TLP& Tlp, const uint8_t* pData, size_t DataLength) {
    size_t length = 0;
    std::array<uint8_t, 4> word{};
    if (Tlp.Type == kSimTlpCmd) {
        length = (Tlp.RW || DataLength > 0) ? static_cast<size_t>(Tlp.LengthInDW) * 4 : 0;
        word = {static_cast<uint8_t>(Tlp.TransactionID & 0x1F), Tlp.Offset, Tlp.LengthInDW,
                static_cast<uint8_t>(Tlp.AOLBE & 0x1F)};
    } else if (Tlp.Type == kSimTlpData) {
        length = Tlp.LengthInByte & 0x7FF;
        word = {static_cast<uint8_t>(((length >> 8) & 0x07) | ((Tlp.Flag & 0x1F) << 3)),
                static_cast<uint8_t>(length & 0xFF), 0, 0};
    } else {
        length = DataLength;
        word = Tlp.Event;
    }
    if (length > DataLength || (length > 0 && pData == nullptr)) return {};
    const uint16_t s = Tlp.SeqNumber & kSimSeqMask;
    std::vector<uint8_t> out{
        kSimPacketTlp, static_cast<uint8_t>(s >> 2),
        static_cast<uint8_t>(((s & 0x03) << 6) | ((Tlp.Type & 0x1F) << 1) | (Tlp.RW & 0x01)), Tlp.ChlNumber};
    out.insert(out.end(), word.begin(), word.end());
    if (length > 0) out.insert(out.end(), pData, pData + length);
    return out;
}

std::array<uint8_t, kSimPasswordBlockLength> SimPasswordBlock(const std::vector<uint8_t>& Password) {
    std::array<uint8_t, kSimPasswordBlockLength> block{};
    const size_t n = Password.size() < block.size() ? Password.size() : block.size();
    for (size_t i = 0; i < n; ++i) block[block.size() - 1 - i] = Password[i];
    return block;
}

std::vector<uint8_t> SimWordsToBytes(const std::vector<uint32_t>& Words) {
    std::vector<uint8_t> out(Words.size() * 4);
    for (size_t i = 0; i < Words.size(); ++i) qor::PutLe32(out.data() + i * 4, Words[i]);
    return out;
}

std::vector<uint8_t> SimEthFrameBuild(const SimMac& Dst, const SimMac& Src, const std::vector<uint8_t>& Link,
                                      bool Pad) {
    std::vector<uint8_t> frame(kSimEthHeaderLength);
    for (size_t i = 0; i < 6; ++i) {
        frame[i] = Dst[i];
        frame[6 + i] = Src[i];
    }
    qor::PutBe16(frame.data() + 12, kSimEtherType);
    frame.insert(frame.end(), Link.begin(), Link.end());
    if (Pad && frame.size() < kSimMinFrame) frame.resize(kSimMinFrame, 0);
    return frame;
}

static int _HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

bool SimMacParse(const std::string& Text, SimMac* pMac) {
    if (Text.size() != 17) return false;
    SimMac mac{};
    for (size_t i = 0; i < 6; ++i) {
        const int hi = _HexDigit(Text[i * 3]);
        const int lo = _HexDigit(Text[i * 3 + 1]);
        if (hi < 0 || lo < 0) return false;
        if (i < 5 && Text[i * 3 + 2] != ':') return false;
        mac[i] = static_cast<uint8_t>((hi << 4) | lo);
    }
    *pMac = mac;
    return true;
}

std::string SimMacFormat(const SimMac& Mac) {
    char buf[18];
    std::snprintf(buf, sizeof(buf), "%02x:%02x:%02x:%02x:%02x:%02x", Mac[0], Mac[1], Mac[2], Mac[3], Mac[4],
                  Mac[5]);
    return buf;
}

bool SimMacAdd(const SimMac& Mac, unsigned Delta, SimMac* pOut) {
    uint64_t v = 0;
    for (uint8_t b : Mac) v = (v << 8) | b;
    v += Delta;
    if (v > 0xFFFFFFFFFFFFull) return false;
    for (int i = 5; i >= 0; --i) {
        (*pOut)[static_cast<size_t>(i)] = static_cast<uint8_t>(v & 0xFF);
        v >>= 8;
    }
    return true;
}
