// The get-info thread against units that answer badly: broken info structures, other
// return codes and length bytes. The decoder runs in this process, so the sanitizer build
// checks every byte it touches.
#include <cstdio>

#include "registry_fixture.h"

namespace qortest {
namespace {

class InfoStructure : public InProcessService {};

// How the service names unit 02:00:00:00:06:01 in its get-info messages.
const std::string kTag = "VN  (:00:06:01)(veth0), get info thd, ";
const std::string kTooSmall = "VN  (:00:06:01), get info thd, RX RESPONSE, extra data too small\n";

struct HostileCase {
    const char* Answer;  // qorsim's hostile answer
    bool Decoded;        // false: too short for a unit header, so it must be refused
    int Chls;
    size_t WholeDibs;  // leading slots that must still hold the profile's DIBs
    bool TooSmall;     // the DIB extra data exceeds the record's 128 bytes
};

// The ctu_uart2 answer is 90 bytes: 18 bytes of Ethernet header and DLLP, the 28-byte unit
// header, then DIBs of 16, 16 and 12 bytes. What each kind of answer does to the record, and
// that no answer breaks its bounds, is proven by the decoder's unit tests and fuzz target;
// here the answers come through the get-info thread, whose frame length bounds the decode.
const HostileCase kHostileCases[] = {
    {"many-dibs 255", true, 64, 3, false},
    {"long-dib 34", true, 4, 1, true},
    // Three whole DIBs, one that runs past the frame, and two announced that never come.
    {"overrun 255", true, 3, 3, false},
    {"truncate 16", false, 3, 3, false},
    {"truncate 45", false, 3, 3, false},
    {"truncate 46", true, 0, 0, false},
    {"truncate 62", true, 1, 1, false},
    {"truncate 89", true, 2, 2, false},
};

// qorlab --veths 1
TEST_F(InfoStructure, HostileOrUnknownAnswersAreDecodedWithinTheFrameOrRefused) {
    const Mac mac = UnitMac(6, 1), bystander = UnitMac(6, 2);
    const std::string unit = MacString(mac);
    SimProcess* sim = StartSim({{"ctu_uart2", mac}, {"ctu_uart2", bystander}});
    ASSERT_TRUE(sim);
    ASSERT_NO_FATAL_FAILURE(StartService());
    VnRef record = WaitInformed(mac);
    ASSERT_TRUE(record && WaitInformed(bystander));
    // Mapped units survive the periodic removal, so every case below works on this record and
    // its per-type records are reused from one case to the next.
    record->IsMappingByHost = 1;
    // Gives the unit another answer and drives passes until one has handled it; what they logged.
    auto answer = [&](const std::string& command) {
        const std::string before = Log();
        EXPECT_TRUE(sim->Ok(command)) << sim->LastAnswer();
        EXPECT_TRUE(DrivePasses(*sim, mac, 2)) << "the get-info thread stopped asking after " << command;
        EXPECT_EQ(VnMainGetByMac(mac.data()).get(), record.get());
        return Log().substr(before.size());
    };
    auto view = [&](size_t dibs = 64) {
        std::string v;
        Inspect(record, [&](PVN_DEVICE p) { v = View(p, dibs); });
        return v;
    };

    for (const HostileCase& c : kHostileCases) {
        SCOPED_TRACE(c.Answer);
        answer("hostile " + unit + " none");
        ASSERT_EQ(view(), CtuUart2View());
        const std::string added = answer("hostile " + unit + " " + c.Answer);
        EXPECT_EQ(view(c.WholeDibs), CtuUart2View(c.Chls, c.WholeDibs));
        EXPECT_EQ(added.find(kTag + "unknow packet") == std::string::npos, c.Decoded) << added;
        EXPECT_EQ(added.find(kTooSmall) != std::string::npos, c.TooSmall) << added;
    }

    // Answers with another return code or length byte are not decoded, and the thread asks
    // again: the link state the unit reports with them never reaches the record.
    answer("hostile " + unit + " none");
    ASSERT_TRUE(sim->Ok("link-state " + unit + " 1 0a:00:00:00:00:01"));
    for (const auto& [rc, len] : {std::pair{0, 0xFF}, {1, 0x10}, {1, 0}, {0, 0}, {1, 0xFE}}) {
        char line[64];
        snprintf(line, sizeof(line), "unknow packet, ReturnCode:x%02x, LengthInDW:x%02x\n", rc, len);
        SCOPED_TRACE(line);
        const std::string added =
            answer("info-reply " + unit + " " + std::to_string(rc) + " " + std::to_string(len));
        EXPECT_NE(added.find(kTag + line), std::string::npos) << added;
        Inspect(record, [](PVN_DEVICE p) {
            EXPECT_EQ(std::pair(p->DllpGetInfoThreadSuccess.load(), int{p->LinkStatus}), std::pair(0, 0));
        });
    }
    // Back to the normal answer: the next pass decodes it, link state and all.
    answer("info-reply " + unit + " default");
    EXPECT_EQ(view(), CtuUart2View(3, 3, 1));
    ASSERT_TRUE(sim->Ok("link-state " + unit + " 0 00:00:00:00:00:00"));
    answer("hostile " + unit + " none");
    EXPECT_EQ(view(), CtuUart2View());

    // The other unit never noticed, and the search thread still runs.
    record->IsMappingByHost = 0;
    VnRef other = WaitInformed(bystander);
    ASSERT_TRUE(other);
    Inspect(other, [](PVN_DEVICE p) { EXPECT_EQ(View(p), CtuUart2View()); });
    const auto searches = [&] { return sim->Counters(bystander).value_or(SimUnitCounters{}).Searches; };
    const auto before = searches();
    EXPECT_TRUE(Eventually([&] { return searches() >= before + 2; }, 4s)) << "the search thread stopped";
}

}  // namespace
}  // namespace qortest
