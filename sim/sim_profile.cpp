#include "sim_profile.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <limits>
#include <map>
#include <sstream>

#include "qor_wire.h"

namespace {

struct Token {
    std::string Text;
    bool Quoted = false;
};

const std::pair<const char*, uint8_t> kTypeNames[] = {
    {"ctu", SIM_CHL_CTU},       {"uart", SIM_CHL_UART},       {"parallel", SIM_CHL_PARALLEL},
    {"dio", SIM_CHL_DIO},       {"counter", SIM_CHL_COUNTER}, {"ai", SIM_CHL_AI},
    {"ao", SIM_CHL_AO},         {"ui", SIM_CHL_UI},           {"uo", SIM_CHL_UO},
    {"bao", SIM_CHL_BAO},       {"mai", SIM_CHL_MAI},         {"tps", SIM_CHL_TPS},
    {"string", SIM_CHL_STRING},
};

// Parsing state of one file; every failure records "origin:line: message" and stops.
class Parser {
  public:
    Parser(const std::string& origin, _SIM_PROFILE* out) : origin_(origin), out_(out) {}

    bool Run(const std::string& text) {
        size_t pos = 0;
        while (pos < text.size()) {
            ++line_;
            size_t end = text.find('\n', pos);
            if (end == std::string::npos) end = text.size();
            std::string raw = text.substr(pos, end - pos);
            pos = end + 1;
            if (!raw.empty() && raw.back() == '\r') raw.pop_back();
            std::vector<Token> tokens;
            if (!Tokenize(raw, &tokens)) return false;
            if (!tokens.empty() && !Line(tokens)) return false;
        }
        if (line_ == 0) line_ = 1;
        return Finish();
    }

    const std::string& Error() const { return error_; }

  private:
    bool Fail(const std::string& what, int line = 0) {
        error_ = origin_ + ":" + std::to_string(line ? line : line_) + ": " + what;
        return false;
    }

    bool Tokenize(const std::string& s, std::vector<Token>* out) {
        size_t i = 0;
        while (i < s.size()) {
            const char c = s[i];
            if (c == ' ' || c == '\t') {
                ++i;
                continue;
            }
            if (c == '#') break;
            Token t;
            if (c == '"') {
                const size_t close = s.find('"', i + 1);
                if (close == std::string::npos) return Fail("unterminated quoted text");
                t.Text = s.substr(i + 1, close - i - 1);
                t.Quoted = true;
                i = close + 1;
                if (i < s.size() && s[i] != ' ' && s[i] != '\t' && s[i] != '#')
                    return Fail("quoted text must be followed by a space");
            } else {
                const size_t start = i;
                while (i < s.size() && s[i] != ' ' && s[i] != '\t' && s[i] != '#') {
                    if (s[i] == '"')
                        return Fail("stray '\"' inside '" + s.substr(start, i - start + 1) + "'");
                    const unsigned char u = static_cast<unsigned char>(s[i]);
                    if (u < 0x20 || u > 0x7E) return Fail("non-printable byte in the line");
                    ++i;
                }
                t.Text = s.substr(start, i - start);
            }
            for (char ch : t.Text) {
                const unsigned char u = static_cast<unsigned char>(ch);
                if (u < 0x20 || u > 0x7E) return Fail("non-printable byte in quoted text");
            }
            out->push_back(std::move(t));
        }
        return true;
    }

    // Decimal or 0x-prefixed hexadecimal, within [lo, hi].
    bool Number(const Token& t, const char* what, uint64_t lo, uint64_t hi, uint64_t* out) {
        const std::string& s = t.Text;
        if (t.Quoted || s.empty()) return Fail(std::string("expected a number for ") + what);
        int base = 10;
        size_t start = 0;
        if (s.size() > 2 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X')) {
            base = 16;
            start = 2;
        }
        uint64_t v = 0;
        for (size_t i = start; i < s.size(); ++i) {
            int d = -1;
            const char c = s[i];
            if (c >= '0' && c <= '9')
                d = c - '0';
            else if (base == 16 && c >= 'a' && c <= 'f')
                d = c - 'a' + 10;
            else if (base == 16 && c >= 'A' && c <= 'F')
                d = c - 'A' + 10;
            if (d < 0) return Fail(std::string("'") + s + "' is not a number (" + what + ")");
            v = v * static_cast<uint64_t>(base) + static_cast<uint64_t>(d);
            if (v > 0xFFFFFFFFull) return Fail(std::string("'") + s + "' is too large (" + what + ")");
        }
        if (start == s.size()) return Fail(std::string("'") + s + "' is not a number (" + what + ")");
        if (v < lo || v > hi)
            return Fail(std::string(what) + " " + s + " is out of range " + std::to_string(lo) + ".." +
                        std::to_string(hi));
        *out = v;
        return true;
    }

    bool Byte(const Token& t, const char* what, uint8_t* out) {
        uint64_t v = 0;
        if (!Number(t, what, 0, 255, &v)) return false;
        *out = static_cast<uint8_t>(v);
        return true;
    }

    // Appends the bytes one data token stands for.
    bool Bytes(const Token& t, std::vector<uint8_t>* out) {
        if (t.Quoted) {
            out->insert(out->end(), t.Text.begin(), t.Text.end());
            return true;
        }
        const std::string& s = t.Text;
        const size_t colon = s.find(':');
        if (colon != std::string::npos) {
            const std::string kind = s.substr(0, colon);
            Token num{s.substr(colon + 1), false};
            uint64_t v = 0;
            uint8_t b[4];
            if (kind == "u8") {
                if (!Number(num, "u8", 0, 0xFF, &v)) return false;
                out->push_back(static_cast<uint8_t>(v));
            } else if (kind == "le16") {
                if (!Number(num, "le16", 0, 0xFFFF, &v)) return false;
                qor::PutLe16(b, static_cast<uint16_t>(v));
                out->insert(out->end(), b, b + 2);
            } else if (kind == "le32") {
                if (!Number(num, "le32", 0, 0xFFFFFFFFull, &v)) return false;
                qor::PutLe32(b, static_cast<uint32_t>(v));
                out->insert(out->end(), b, b + 4);
            } else if (kind == "zero") {
                if (!Number(num, "zero count", 1, kSimDibExtraMax, &v)) return false;
                out->insert(out->end(), static_cast<size_t>(v), 0);
            } else {
                return Fail("unknown data token '" + s +
                            "' (use hex bytes, \"text\", u8:, le16:, le32: or zero:)");
            }
            return true;
        }
        if (s.size() % 2 != 0) return Fail("hex data '" + s + "' has an odd number of digits");
        for (size_t i = 0; i < s.size(); i += 2) {
            int hi = -1, lo = -1;
            SimHex(s[i], &hi);
            SimHex(s[i + 1], &lo);
            if (hi < 0 || lo < 0) return Fail("'" + s + "' is not hex data");
            out->push_back(static_cast<uint8_t>((hi << 4) | lo));
        }
        return true;
    }

    static void SimHex(char c, int* out) {
        if (c >= '0' && c <= '9')
            *out = c - '0';
        else if (c >= 'a' && c <= 'f')
            *out = c - 'a' + 10;
        else if (c >= 'A' && c <= 'F')
            *out = c - 'A' + 10;
    }

    bool Once(const std::string& key) {
        auto it = seen_.find(key);
        if (it != seen_.end())
            return Fail("duplicate '" + key + "' (first at line " + std::to_string(it->second) + ")");
        seen_[key] = line_;
        return true;
    }

    bool Count(const std::vector<Token>& t, size_t lo, size_t hi, const char* usage) {
        if (t.size() - 1 < lo || t.size() - 1 > hi) return Fail(std::string("usage: ") + usage);
        return true;
    }

    bool Line(const std::vector<Token>& t) {
        if (t[0].Quoted) return Fail("a line must start with a key");
        const std::string& key = t[0].Text;
        if (key == "model") {
            if (!Once(key) || !Count(t, 1, 1, "model NAME (1 to 10 characters)")) return false;
            const std::string& name = t[1].Text;
            if (name.empty() || name.size() > kSimModelNameLength)
                return Fail("model name '" + name + "' must be 1 to 10 characters");
            out_->ModelName.fill(0);
            for (size_t i = 0; i < name.size(); ++i) out_->ModelName[i] = static_cast<uint8_t>(name[i]);
            return true;
        }
        if (key == "mode") {
            if (!Once(key) || !Count(t, 1, 1, "mode dock|advance|ip|0..7")) return false;
            const std::string& m = t[1].Text;
            if (m == "dock")
                out_->Mode = kSimModeDock;
            else if (m == "advance")
                out_->Mode = kSimModeAdvance;
            else if (m == "ip")
                out_->Mode = kSimModeIp;
            else {
                uint64_t v = 0;
                if (!Number(t[1], "mode", 0, 7, &v)) return false;
                out_->Mode = static_cast<uint8_t>(v);
            }
            return true;
        }
        if (key == "flags") {
            if (!Once(key)) return false;
            for (size_t i = 1; i < t.size(); ++i) {
                const std::string& f = t[i].Text;
                bool* flag = nullptr;
                if (f == "experiment")
                    flag = &out_->Experiment;
                else if (f == "password-enable")
                    flag = &out_->PasswordEnable;
                else if (f == "time-sharing")
                    flag = &out_->TimeSharing;
                else if (f == "mora")
                    flag = &out_->Mora;
                else if (f == "external-eeprom")
                    flag = &out_->ExternalEeprom;
                else
                    return Fail("unknown flag '" + f +
                                "' (experiment, password-enable, time-sharing, mora, external-eeprom)");
                if (*flag) return Fail("flag '" + f + "' given twice");
                *flag = true;
            }
            return true;
        }
        if (key == "password") {
            if (!Once(key) || !Count(t, 1, 1, "password TEXT | password hex:HEXBYTES")) return false;
            std::vector<uint8_t> pw;
            if (!t[1].Quoted && t[1].Text.rfind("hex:", 0) == 0) {
                Token hex{t[1].Text.substr(4), false};
                if (hex.Text.empty()) return Fail("empty password; leave the key out for none");
                if (hex.Text.find(':') != std::string::npos)
                    return Fail("'" + hex.Text + "' is not hex data");
                if (!Bytes(hex, &pw)) return false;
            } else {
                pw.assign(t[1].Text.begin(), t[1].Text.end());
            }
            if (pw.empty()) return Fail("empty password; leave the key out for none");
            if (pw.size() > kSimPasswordMax)
                return Fail("password is " + std::to_string(pw.size()) + " bytes; at most 32");
            for (uint8_t b : pw)
                if (b == 0) return Fail("password must not contain a zero byte");
            out_->Password = std::move(pw);
            return true;
        }
        if (key == "version") {
            if (!Once(key) || !Count(t, 2, 2, "version MAJOR MINOR")) return false;
            return Byte(t[1], "major version", &out_->MajorVersion) &&
                   Byte(t[2], "minor version", &out_->MinorVersion);
        }
        if (key == "dib-length") {
            if (!Once(key) || !Count(t, 1, 1, "dib-length auto|0..255")) return false;
            if (t[1].Text == "auto" && !t[1].Quoted) {
                out_->DibLengthAuto = true;
                return true;
            }
            out_->DibLengthAuto = false;
            return Byte(t[1], "dib-length", &out_->DibLengthInDW);
        }
        if (key == "link-status") {
            if (!Once(key) || !Count(t, 1, 1, "link-status 0..255")) return false;
            return Byte(t[1], "link-status", &out_->LinkStatus);
        }
        if (key == "connected-host") {
            if (!Once(key) || !Count(t, 1, 1, "connected-host aa:bb:cc:dd:ee:ff")) return false;
            if (!SimMacParse(t[1].Text, &out_->ConnectedHostMac))
                return Fail("'" + t[1].Text + "' is not a MAC address (aa:bb:cc:dd:ee:ff)");
            return true;
        }
        if (key == "search-reply") {
            if (!Count(t, 2, 2, "search-reply advance|dock CODE")) return false;
            uint8_t* target = nullptr;
            if (t[1].Text == "advance")
                target = &out_->SearchReplyAdvance;
            else if (t[1].Text == "dock")
                target = &out_->SearchReplyDock;
            else
                return Fail("search-reply needs 'advance' or 'dock', not '" + t[1].Text + "'");
            if (!Once("search-reply " + t[1].Text)) return false;
            return Byte(t[2], "search reply code", target);
        }
        if (key == "connect-reply" || key == "disconnect-reply") {
            if (!Once(key) || !Count(t, 1, 1, "connect-reply|disconnect-reply 0..63|none")) return false;
            _SIM_FORCED_REPLY* r = key == "connect-reply" ? &out_->ConnectReply : &out_->DisconnectReply;
            if (!t[1].Quoted && t[1].Text == "none") {
                r->How = _SIM_FORCED_REPLY::Kind::None;
                return true;
            }
            uint64_t v = 0;
            if (!Number(t[1], "return code", 0, kSimRcMax, &v)) return false;
            r->How = _SIM_FORCED_REPLY::Kind::Code;
            r->Code = static_cast<uint8_t>(v);
            return true;
        }
        if (key == "device-seq") {
            if (!Once(key) || !Count(t, 1, 1, "device-seq 0..1023")) return false;
            uint64_t v = 0;
            if (!Number(t[1], "device-seq", 0, kSimSeqMask, &v)) return false;
            out_->DeviceSeq = static_cast<uint16_t>(v);
            return true;
        }
        if (key == "watchdog") {
            if (!Once(key) || !Count(t, 1, 1, "watchdog MS (0 = off)")) return false;
            uint64_t v = 0;
            if (!Number(t[1], "watchdog", 0, kSimWatchdogMaxMs, &v)) return false;
            out_->WatchdogMs = static_cast<unsigned>(v);
            return true;
        }
        if (key == "loss") {
            if (!Once(key) || !Count(t, 3, 3, "loss RX-PERCENT TX-PERCENT SEED")) return false;
            uint64_t rx = 0, tx = 0, seed = 0;
            if (!Number(t[1], "receive loss percent", 0, 100, &rx) ||
                !Number(t[2], "send loss percent", 0, 100, &tx) ||
                !Number(t[3], "seed", 0, 0xFFFFFFFFull, &seed))
                return false;
            out_->Loss = {static_cast<uint8_t>(rx), static_cast<uint8_t>(tx), static_cast<uint32_t>(seed)};
            return true;
        }
        if (key == "reg") {
            if (t.size() < 4) return Fail("usage: reg CHANNEL OFFSET VALUE...");
            _SIM_REG_INIT r;
            r.Line = line_;
            if (!Byte(t[1], "channel number", &r.ChlNumber) || !Byte(t[2], "register offset", &r.Offset))
                return false;
            for (size_t i = 3; i < t.size(); ++i) {
                uint64_t v = 0;
                if (!Number(t[i], "register value", 0, 0xFFFFFFFFull, &v)) return false;
                r.Values.push_back(static_cast<uint32_t>(v));
            }
            if (r.Offset + r.Values.size() > kSimRegisterWords)
                return Fail("registers " + std::to_string(r.Offset) + ".." +
                            std::to_string(r.Offset + r.Values.size() - 1) + " run past the last one (" +
                            std::to_string(kSimRegisterWords - 1) + ")");
            out_->Registers.push_back(std::move(r));
            return true;
        }
        if (key == "dib") {
            if (t.size() < 4) return Fail("usage: dib CHANNEL TYPE INFO [DATA...]");
            _SIM_DIB dib;
            dib.Line = line_;
            if (!Byte(t[1], "channel number", &dib.ChlNumber)) return false;
            bool named = false;
            for (const auto& [name, code] : kTypeNames) {
                if (!t[2].Quoted && t[2].Text == name) {
                    dib.Type = code;
                    named = true;
                }
            }
            if (!named && !Byte(t[2], "channel type", &dib.Type)) return false;
            if (!Byte(t[3], "DIB info byte", &dib.Info)) return false;
            for (size_t i = 4; i < t.size(); ++i)
                if (!Bytes(t[i], &dib.ExtraData)) return false;
            for (const auto& other : out_->Dibs)
                if (other.ChlNumber == dib.ChlNumber)
                    return Fail("channel " + std::to_string(dib.ChlNumber) + " already declared at line " +
                                std::to_string(other.Line));
            if (out_->Dibs.size() >= kSimMaxDibs) return Fail("more than 64 dib lines");
            out_->Dibs.push_back(std::move(dib));
            return true;
        }
        if (key == "data") {
            if (out_->Dibs.empty()) return Fail("'data' before any 'dib' line");
            if (t.size() < 2) return Fail("usage: data DATA...");
            for (size_t i = 1; i < t.size(); ++i)
                if (!Bytes(t[i], &out_->Dibs.back().ExtraData)) return false;
            return true;
        }
        return Fail("unknown key '" + key + "'");
    }

    bool Finish() {
        if (!seen_.count("model")) return Fail("missing 'model'", line_);
        if (!seen_.count("mode")) return Fail("missing 'mode'", line_);
        if (!seen_.count("version")) return Fail("missing 'version'", line_);
        size_t info = 28;
        for (const auto& dib : out_->Dibs) {
            const size_t n = dib.ExtraData.size();
            if (n % 4 != 0)
                return Fail("channel " + std::to_string(dib.ChlNumber) + " has " + std::to_string(n) +
                                " extra bytes; DIBs are whole 4-byte words",
                            dib.Line);
            if (n > kSimDibExtraMax)
                return Fail("channel " + std::to_string(dib.ChlNumber) + " has " + std::to_string(n) +
                                " extra bytes; at most 128",
                            dib.Line);
            info += 4 + n;
        }
        for (const auto& r : out_->Registers) {
            bool found = false;
            for (const auto& dib : out_->Dibs) found = found || dib.ChlNumber == r.ChlNumber;
            if (!found)
                return Fail(
                    "registers of channel " + std::to_string(r.ChlNumber) + ", which has no 'dib' line",
                    r.Line);
        }
        const size_t room = kSimMaxFrame - kSimEthHeaderLength - kSimDllpLength;
        if (info > room)
            return Fail("info structure of " + std::to_string(info) + " bytes does not fit one frame (" +
                        std::to_string(room) + " bytes)");
        return true;
    }

    std::string origin_;
    _SIM_PROFILE* out_;
    int line_ = 0;
    std::map<std::string, int> seen_;
    std::string error_;
};

}  // namespace

const char* SimChannelTypeName(uint8_t Type) {
    for (const auto& [name, code] : kTypeNames)
        if (code == Type) return name;
    return nullptr;
}

std::string SimForcedReplyText(const _SIM_FORCED_REPLY& Reply) {
    switch (Reply.How) {
        case _SIM_FORCED_REPLY::Kind::Default:
            return "default";
        case _SIM_FORCED_REPLY::Kind::None:
            return "none";
        case _SIM_FORCED_REPLY::Kind::Code:
            break;
    }
    return std::to_string(Reply.Code);
}

uint8_t SimProfileTypeInfo(const _SIM_PROFILE& p) {
    return static_cast<uint8_t>((p.Mode & 0x07) | (p.Experiment ? 0x08 : 0) | (p.PasswordEnable ? 0x10 : 0) |
                                (p.TimeSharing ? 0x20 : 0) | (p.Mora ? 0x40 : 0) |
                                (p.ExternalEeprom ? 0x80 : 0));
}

uint8_t SimProfileDibLengthInDW(const _SIM_PROFILE& p) {
    if (!p.DibLengthAuto) return p.DibLengthInDW;
    size_t sum = 0;
    for (const auto& dib : p.Dibs) sum += SimDibLengthInDW(dib);
    return static_cast<uint8_t>(sum > 255 ? 255 : sum);
}

bool SimProfileParse(const std::string& Text, const std::string& Origin, _SIM_PROFILE* pOut,
                     std::string* pError) {
    _SIM_PROFILE p;
    p.Origin = Origin;
    std::string base =
        Origin.substr(Origin.find_last_of('/') == std::string::npos ? 0 : Origin.find_last_of('/') + 1);
    if (base.size() > 5 && base.compare(base.size() - 5, 5, ".prof") == 0) base.resize(base.size() - 5);
    p.Name = base;
    Parser parser(Origin, &p);
    if (!parser.Run(Text)) {
        if (pError) *pError = parser.Error();
        return false;
    }
    *pOut = std::move(p);
    return true;
}

bool SimProfileLoad(const std::string& Path, _SIM_PROFILE* pOut, std::string* pError) {
    std::ifstream in(Path, std::ios::binary);
    if (!in) {
        if (pError) *pError = Path + ": cannot open the profile";
        return false;
    }
    std::string text;
    char buf[4096];
    while (in.read(buf, sizeof(buf)) || in.gcount() > 0) {
        text.append(buf, static_cast<size_t>(in.gcount()));
        if (text.size() > kSimProfileFileMax) {
            if (pError) *pError = Path + ": profile larger than 1 MiB";
            return false;
        }
    }
    if (in.bad()) {
        if (pError) *pError = Path + ": read error";
        return false;
    }
    return SimProfileParse(text, Path, pOut, pError);
}

namespace {

struct Checker {
    const _SIM_PROFILE& P;
    std::vector<std::string> Out;

    void Warn(int line, const std::string& what) {
        Out.push_back(P.Origin + (line > 0 ? ":" + std::to_string(line) : std::string()) +
                      ": warning: " + what);
    }
    bool Need(const _SIM_DIB& d, size_t bytes, const char* what) {
        if (d.ExtraData.size() >= bytes) return true;
        Warn(d.Line, std::string(what) + " needs " + std::to_string(bytes) + " extra bytes, has " +
                         std::to_string(d.ExtraData.size()));
        return false;
    }
    void Ports(const _SIM_DIB& d, size_t at, const char* what) {
        const unsigned n = d.ExtraData[at];
        if (n > 16) Warn(d.Line, std::string(what) + " count " + std::to_string(n) + " is above 16");
    }

    void Dib(const _SIM_DIB& d) {
        const auto& x = d.ExtraData;
        switch (d.Type) {
            case SIM_CHL_CTU:
                if (d.Info == 1) Need(d, 8, "control unit layout 1 (extension model name)");
                if (d.Info == 2) Need(d, 12, "control unit layout 2 (flow control, extension model name)");
                break;
            case SIM_CHL_UART:
                if (d.Info <= 1)
                    Need(d, 4, "UART layout 0/1 (buffer sizes)");
                else if (d.Info <= 4)
                    Need(d, 8, "UART layout 2-4 (buffer sizes, capabilities)");
                else if (d.Info == 5)
                    Need(d, 12, "UART layout 5 (clock, buffer sizes, capabilities)");
                else
                    Warn(d.Line, "UART layout " + std::to_string(d.Info) + " is unknown to hosts (0..5)");
                break;
            case SIM_CHL_DIO: {
                if (!Need(d, 12, "DIO")) break;
                const unsigned banks = x[0];
                if (banks == 0) Warn(d.Line, "DIO with 0 banks");
                if (banks > 32) {
                    Warn(d.Line, "DIO bank count " + std::to_string(banks) + " is above 32");
                    break;
                }
                if (!Need(d, 12 + 4 * static_cast<size_t>(banks), "DIO bank table")) break;
                unsigned ios = 0;
                for (unsigned i = 0; i < banks; ++i) ios += (x[12 + 4 * i] & 0x1Fu) + 1;
                if (ios > 32)
                    Warn(d.Line, "DIO banks span " + std::to_string(ios) + " I/O lines; at most 32");
                break;
            }
            case SIM_CHL_AI:
                if (Need(d, 16, "AI")) Ports(d, 4, "AI port");
                break;
            case SIM_CHL_AO:
                if (Need(d, 16, "AO")) Ports(d, 4, "AO port");
                break;
            case SIM_CHL_UI:
                if (Need(d, 36, "UI")) Ports(d, 8, "UI port");
                break;
            case SIM_CHL_UO:
                if (Need(d, 16, "UO")) Ports(d, 0, "UO port");
                break;
            case SIM_CHL_BAO:
                if (Need(d, 8, "BAO")) Ports(d, 0, "BAO port");
                break;
            case SIM_CHL_MAI:
                if (Need(d, 16, "MAI")) Ports(d, 8, "MAI port");
                break;
            case SIM_CHL_TPS:
                if (Need(d, 8, "TPS")) Ports(d, 0, "TPS sensor");
                break;
            case SIM_CHL_STRING:
                if (Need(d, 4, "string channel")) {
                    const size_t words = static_cast<size_t>(x[0]) + x[1];
                    Need(d, 4 + 4 * words, "string channel (serial number and name)");
                }
                break;
            case SIM_CHL_PARALLEL:
            case SIM_CHL_COUNTER:
                break;
            default:
                Warn(d.Line, "channel type " + std::to_string(d.Type) + " is unknown to hosts");
        }
    }
};

}  // namespace

std::vector<std::string> SimProfileCheck(const _SIM_PROFILE& Profile) {
    Checker c{Profile, {}};
    if (Profile.Dibs.empty()) c.Warn(0, "no channels; hosts do not list such a unit");
    if (!Profile.Password.empty() && !Profile.PasswordEnable)
        c.Warn(0, "a password is set but the password-enable flag is not");
    for (const auto& d : Profile.Dibs) c.Dib(d);
    return c.Out;
}
