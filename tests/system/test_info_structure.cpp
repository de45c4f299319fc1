// The get-info thread against units that answer badly: broken info structures, other
// return codes and length bytes. The decoder runs in this process, so the sanitizer build
// checks every byte it touches.
#include <algorithm>
#include <cstdio>
#include <thread>

#include "registry_fixture.h"

namespace qortest {
namespace {

class InfoStructure : public InProcessService {};

// How the service names a unit in its get-info messages.
std::string LogTag(const Mac& mac, const std::string& nic = "veth0") {
    char tag[64];
    snprintf(tag, sizeof(tag), "VN  (:%.2x:%.2x:%.2x)(%s), get info thd, ", mac[3], mac[4], mac[5],
             nic.c_str());
    return tag;
}

std::string UnknownPacketLine(const Mac& mac, uint8_t returnCode, uint8_t lengthByte) {
    char rest[64];
    snprintf(rest, sizeof(rest), "unknow packet, ReturnCode:x%02x, LengthInDW:x%02x\n", returnCode,
             lengthByte);
    return LogTag(mac) + rest;
}

std::string TooSmallLine(const Mac& mac) {
    char line[96];
    snprintf(line, sizeof(line), "VN  (:%.2x:%.2x:%.2x), get info thd, RX RESPONSE, extra data too small\n",
             mac[3], mac[4], mac[5]);
    return line;
}

struct HostileCase {
    const char* Kind;
    unsigned Arg;
    bool Decoded;  // false: the answer is too short for a unit header and must be refused
    int MinChls, MaxChls;
    bool TooSmall;     // the DIB extra data exceeds the record's 128 bytes
    size_t WholeDibs;  // leading slots that must still hold the profile's DIBs
};

// The ctu_uart2 answer is 90 bytes: 18 bytes of Ethernet header and DLLP, the 28-byte unit
// header, then DIBs of 16, 16 and 12 bytes.
// What each kind of answer does to the record, and that no answer breaks its bounds, is proven
// by the decoder's unit tests and fuzz target; here the answers come through the get-info
// thread, whose frame length bounds the decode.
const std::vector<HostileCase> kHostileCases = {
    {"many-dibs", 255, true, 64, 64, false, 3},
    {"long-dib", 34, true, 4, 4, true, 1},
    // Three whole DIBs, one that runs past the frame, and two announced that never come.
    {"overrun", 255, true, 3, 3, false, 3},
    {"truncate", 16, false, 3, 3, false, 3},
    {"truncate", 45, false, 3, 3, false, 3},
    {"truncate", 46, true, 0, 0, false, 0},
    {"truncate", 62, true, 1, 1, false, 1},
    {"truncate", 89, true, 2, 2, false, 2},
};

// qorlab --veths 1
TEST_F(InfoStructure, HostileOrUnknownAnswersAreDecodedWithinTheFrameOrRefused) {
    const Mac mac = UnitMac(6, 1);
    const Mac bystander = UnitMac(6, 2);
    SimProcess* sim = StartSim({{"ctu_uart2", mac}, {"ctu_uart2", bystander}});
    ASSERT_TRUE(sim);
    ASSERT_NO_FATAL_FAILURE(StartService());
    VnRef unit = WaitInformed(mac);
    ASSERT_TRUE(unit);
    // Mapped units survive the periodic removal, so every case below works on this record and
    // its per-type records are reused from one case to the next.
    unit->IsMappingByHost = 1;
    ASSERT_TRUE(WaitInformed(bystander));

    for (const HostileCase& c : kHostileCases) {
        const std::string name = std::string(c.Kind) + " " + std::to_string(c.Arg);
        SCOPED_TRACE(name);
        // A plain answer first: the record is whole again.
        ASSERT_TRUE(sim->Ok("hostile " + MacString(mac) + " none")) << sim->LastAnswer();
        ASSERT_TRUE(DrivePasses(*sim, mac, 2)) << "the get-info thread stopped asking";
        Inspect(unit, [](PVN_DEVICE p) { ExpectCtuUart2Record(p); });

        const std::string before = Log();
        ASSERT_TRUE(sim->Ok("hostile " + MacString(mac) + " " + name)) << sim->LastAnswer();
        ASSERT_TRUE(DrivePasses(*sim, mac, 2)) << "the get-info thread stopped asking after " << name;
        ASSERT_EQ(VnMainGetByMac(mac.data()).get(), unit.get());
        Inspect(unit, [&](PVN_DEVICE p) {
            EXPECT_GE(p->AvailableChls, c.MinChls);
            EXPECT_LE(p->AvailableChls, c.MaxChls);
            EXPECT_EQ(ModelOf(p), "VN-U2S");
            ExpectProfileDibs(p, std::min<size_t>(c.WholeDibs, p->AvailableChls));
        });
        const std::string added = Log().substr(before.size());
        if (c.Decoded)
            EXPECT_EQ(added.find(LogTag(mac) + "unknow packet"), std::string::npos) << added;
        else
            EXPECT_NE(added.find(LogTag(mac) + "unknow packet"), std::string::npos) << "not refused:\n"
                                                                                    << added;
        EXPECT_EQ(added.find(TooSmallLine(mac)) != std::string::npos, c.TooSmall) << added;
    }

    ASSERT_TRUE(sim->Ok("hostile " + MacString(mac) + " none"));
    ASSERT_TRUE(DrivePasses(*sim, mac, 2));
    // Answers with another return code or length byte are not decoded, and the thread asks
    // again: the link state the unit reports with them never reaches the record.
    ASSERT_TRUE(sim->Ok("link-state " + MacString(mac) + " 1 0a:00:00:00:00:01"));
    for (const auto& [rc, len] :
         std::vector<std::pair<int, int>>{{0, 0xFF}, {1, 0x10}, {1, 0}, {0, 0}, {1, 0xFE}}) {
        SCOPED_TRACE("return code " + std::to_string(rc) + ", length byte " + std::to_string(len));
        ASSERT_TRUE(
            sim->Ok("info-reply " + MacString(mac) + " " + std::to_string(rc) + " " + std::to_string(len)));
        const std::string line = UnknownPacketLine(mac, static_cast<uint8_t>(rc), static_cast<uint8_t>(len));
        const size_t logged = CountOccurrences(Log(), line);
        ASSERT_TRUE(DrivePasses(*sim, mac, 2)) << "the get-info thread stopped asking";
        EXPECT_GT(CountOccurrences(Log(), line), logged) << "missing: " << line;
        Inspect(unit, [](PVN_DEVICE p) {
            EXPECT_EQ(p->DllpGetInfoThreadSuccess.load(), 0);
            EXPECT_EQ(p->LinkStatus, 0);
        });
    }
    // Back to the normal answer: the next pass decodes it, link state and all.
    ASSERT_TRUE(sim->Ok("info-reply " + MacString(mac) + " default"));
    ASSERT_TRUE(DrivePasses(*sim, mac, 2));
    Inspect(unit, [](PVN_DEVICE p) { ExpectCtuUart2Record(p, 1); });
    ASSERT_TRUE(sim->Ok("link-state " + MacString(mac) + " 0 00:00:00:00:00:00"));

    // After all that the unit is decoded as before, the other unit never noticed, and the
    // search thread still runs.
    ASSERT_TRUE(sim->Ok("hostile " + MacString(mac) + " none"));
    ASSERT_TRUE(DrivePasses(*sim, mac, 2));
    ASSERT_EQ(VnMainGetByMac(mac.data()).get(), unit.get());
    Inspect(unit, [](PVN_DEVICE p) { ExpectCtuUart2Record(p); });
    unit->IsMappingByHost = 0;
    VnRef other = WaitInformed(bystander);
    ASSERT_TRUE(other);
    Inspect(other, [](PVN_DEVICE p) { ExpectCtuUart2Record(p); });
    const auto searches = sim->Counters(bystander);
    ASSERT_TRUE(searches);
    std::this_thread::sleep_for(2500ms);
    EXPECT_GE(sim->Counters(bystander).value_or(SimUnitCounters{}).Searches, searches->Searches + 2)
        << "the search thread stopped";
}

}  // namespace
}  // namespace qortest
