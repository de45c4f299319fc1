#include "sim_dump.h"

#include <cstdio>

#include "qor_wire.h"
#include "sim_info.h"
#include "sim_profile.h"
#include "sim_wire.h"

namespace {

std::string Fmt(const char* fmt, unsigned a) {
    char buf[64];
    std::snprintf(buf, sizeof(buf), fmt, a);
    return buf;
}

std::string Hex2(unsigned v) {
    return Fmt("0x%02x", v);
}

std::string DllpLine(const _SIM_FRAME& f) {
    const _SIM_DLLP& d = f.Dllp;
    const char* name = SimDllpCmdName(d.Cmd);
    std::string s = "DLLP " + std::string(name ? name : "UNKNOWN") + "(" + std::to_string(d.Cmd) + ")";
    if (d.RawCmd != d.Cmd) s += " cmd-byte=" + Hex2(d.RawCmd);
    switch (d.Cmd) {
        case SIM_DLLP_ACK:
        case SIM_DLLP_NAK:
            s += " seq=" + std::to_string(SimDllpGetSeq(d.Byte2, d.Byte3));
            break;
        case SIM_DLLP_DOCK_CONNECT:
        case SIM_DLLP_ADVANCE_CONNECT: {
            static const char* kModes[] = {"connect", "disconnect(client)", "disconnect(mac-changed)",
                                           "disconnect(unit-event)"};
            s += std::string(" ") + kModes[(d.Byte2 >> 2) & 0x03] +
                 " version=" + std::to_string((d.Byte2 >> 4) & 0x01) +
                 " seq=" + std::to_string(SimDllpGetSeq(d.Byte2, d.Byte3));
            if (d.Byte2 & 0xE0) s += " reserved-bits=" + Hex2(d.Byte2 & 0xE0);
            if (d.PayloadLength >= 32) s += " password-block=" + SimDumpHex(d.Payload, 32, 32);
            break;
        }
        case SIM_DLLP_DOCK_CONNECT_RESPONSE:
        case SIM_DLLP_ADVANCE_CONNECT_RESPONSE:
            s += " rc=" + std::to_string(d.Byte2 >> 2) +
                 " seq=" + std::to_string(SimDllpGetSeq(d.Byte2, d.Byte3));
            break;
        case SIM_DLLP_ACU:
            s += " item=" + Hex2(d.Byte3) +
                 (d.Byte3 == kSimAcuItemInfo        ? "(info structure)"
                  : d.Byte3 == kSimAcuItemLinkState ? "(link state)"
                                                    : "(unknown)");
            if (d.Byte2 != 0) s += " byte2=" + Hex2(d.Byte2);
            break;
        case SIM_DLLP_ACU_RESPONSE:
            s += " rc=" + Hex2(d.Byte2) + " length-byte=" + Hex2(d.Byte3) +
                 " payload=" + std::to_string(d.PayloadLength) + "B";
            break;
        case SIM_DLLP_KEEP_ALIVE:
        case SIM_DLLP_KEEP_ALIVE_RESPONSE:
        case SIM_DLLP_KEEP_ALIVE_TIMEOUT:
            // Nothing to read in bytes 2 and 3; show them only when they are not zero.
            if (d.Byte2 != 0 || d.Byte3 != 0) s += " b2=" + Hex2(d.Byte2) + " b3=" + Hex2(d.Byte3);
            break;
        default:
            s += " b2=" + Hex2(d.Byte2) + " b3=" + Hex2(d.Byte3);
            break;
    }
    return s;
}

std::string TlpLine(const _SIM_FRAME& f) {
    const _SIM_TLP& t = f.Tlp;
    const char* type = t.Type == kSimTlpCmd     ? "CMD"
                       : t.Type == kSimTlpData  ? "DATA"
                       : t.Type == kSimTlpEvent ? "EVENT"
                                                : nullptr;
    std::string s = "TLP seq=" + std::to_string(t.SeqNumber) + " " +
                    (type ? type : "type=" + std::to_string(t.Type)) + " rw=" + std::to_string(t.RW) +
                    " chl=" + std::to_string(t.ChlNumber);
    if (t.Type == kSimTlpCmd) {
        s += std::string(t.RW ? " write" : " read") + " tid=" + std::to_string(t.TransactionID) +
             " offset=" + std::to_string(t.Offset) + " dw=" + std::to_string(t.LengthInDW) +
             " aolbe=" + Hex2(t.AOLBE);
        // Register words as values (little-endian on the wire), up to 16 of them.
        const size_t words = t.DataLength / 4;
        if (words > 0) {
            s += " words=";
            for (size_t i = 0; i < words && i < 16; ++i)
                s += (i ? "," : "") + Fmt("0x%08x", qor::GetLe32(t.Data + i * 4));
            if (words > 16) s += ",...(" + std::to_string(words) + " words)";
        }
        if (t.DataTruncated)
            s += " (frame ends " + std::to_string(t.DataAnnounced - t.DataLength) +
                 " bytes before the announced data)";
        return s;
    } else if (t.Type == kSimTlpData) {
        s += " flag=" + Hex2(t.Flag) + " bytes=" + std::to_string(t.LengthInByte);
    } else if (t.Type == kSimTlpEvent) {
        s += " event=" + SimDumpHex(t.Event.data(), 4);
    }
    if (t.DataLength > 0) s += " data=" + SimDumpHex(t.Data, t.DataLength);
    if (t.DataTruncated)
        s += " (frame ends " + std::to_string(t.DataAnnounced - t.DataLength) +
             " bytes before the announced data)";
    return s;
}

}  // namespace

std::string SimDumpHex(const uint8_t* p, size_t n, size_t Max) {
    std::string s;
    const size_t shown = n < Max ? n : Max;
    for (size_t i = 0; i < shown; ++i) s += Fmt("%02x", p[i]);
    if (n > shown) s += "...(" + std::to_string(n) + "B)";
    return s;
}

std::string SimDumpInfo(const uint8_t* p, size_t n, const std::string& Indent) {
    if (n < kSimInfoHeaderLength) return Indent + "info structure cut short: " + std::to_string(n) + " bytes";
    std::string model;
    for (size_t i = 6; i < 16; ++i) {
        const uint8_t c = p[i];
        if (c == 0) break;
        model += (c >= 0x20 && c < 0x7F) ? static_cast<char>(c) : '?';
    }
    static const char* kModes[] = {"dock", "advance", "ip"};
    const uint8_t ti = p[16];
    const unsigned mode = ti & 0x07;
    SimMac host{};
    for (size_t i = 0; i < 6; ++i) host[i] = p[18 + i];
    std::string s = Indent + "model=\"" + model + "\" typeinfo=" + Hex2(ti) + "(" +
                    (mode < 3 ? kModes[mode] : "mode " + std::to_string(mode)) +
                    ((ti & 0x08) ? " experiment" : "") + ((ti & 0x10) ? " password" : "") +
                    ((ti & 0x20) ? " time-sharing" : "") + ((ti & 0x40) ? " mora" : "") +
                    ((ti & 0x80) ? " ext-eeprom" : "") + ") link=" + std::to_string(p[17]) +
                    " host=" + SimMacFormat(host) + " chls=" + std::to_string(p[24]) +
                    " dib-dw=" + std::to_string(p[25]) + " version=" + std::to_string(p[26]) + "." +
                    std::to_string(p[27]);
    size_t pos = kSimInfoHeaderLength;
    bool cut = false;
    for (unsigned i = 0; i < p[24] && !cut; ++i) {
        if (pos + 4 > n) {
            s += "\n" + Indent + "dib " + std::to_string(i) + ": missing (data ends)";
            cut = true;
            break;
        }
        const uint8_t type = p[pos + 1];
        const size_t words = p[pos + 2];
        const char* name = SimChannelTypeName(type);
        s += "\n" + Indent + "dib " + std::to_string(i) + ": chl=" + std::to_string(p[pos]) + " " +
             (name ? name : "type") + "(" + std::to_string(type) + ") dw=" + std::to_string(words) +
             " info=" + Hex2(p[pos + 3]);
        const size_t extra = words > 1 ? (words - 1) * 4 : 0;
        const size_t have = n - (pos + 4) < extra ? n - (pos + 4) : extra;
        if (have > 0) s += " extra=" + SimDumpHex(p + pos + 4, have, 48);
        if (have < extra) {
            s += " (runs " + std::to_string(extra - have) + " bytes past the data)";
            cut = true;
            break;
        }
        pos += 4 + extra;
    }
    if (!cut && pos < n) {
        // Padding or bytes behind the last DIB; worth seeing when hunting a length mistake.
        bool zero = true;
        for (size_t i = pos; i < n; ++i) zero = zero && p[i] == 0;
        if (!zero) s += "\n" + Indent + std::to_string(n - pos) + " bytes behind the DIBs";
    }
    return s;
}

std::string SimDumpFrame(const uint8_t* pFrame, size_t Length, SimSender Sender) {
    _SIM_FRAME f;
    const SimFrameStatus st = SimFrameDecode(pFrame, Length, &f, Sender);
    if (st != SimFrameStatus::Ok)
        return std::string("undecodable (") + SimFrameStatusText(st) + ", " + std::to_string(Length) +
               "B): " + SimDumpHex(pFrame, Length);
    std::string s;
    if (f.PacketType == kSimPacketDllp) {
        s = DllpLine(f);
        if (f.Dllp.Cmd == SIM_DLLP_ACU_RESPONSE && f.Dllp.Byte3 == kSimAcuLengthInfo)
            s += "\n" + SimDumpInfo(f.Dllp.Payload, f.Dllp.PayloadLength, "    ");
    } else {
        s = TlpLine(f);
    }
    return s;
}
