// The get-info thread against units that answer badly: broken info structures, other
// return codes and length bytes. The decoder runs in this process, so the sanitizer build
// checks every byte it touches.
#include <cstdio>
#include <functional>

#include "ctu_uart2_record.h"
#include "registry_fixture.h"

namespace qortest {
namespace {

class InfoStructure : public InProcessService {};

// How the service names a unit in its get-info messages.
std::string LogTag(const Mac& mac, const std::string& nic = "veth0") {
    char tag[64];
    snprintf(tag, sizeof(tag), "VN  (:%.2x:%.2x:%.2x)(%s), get info thd, ", mac[3], mac[4], mac[5], nic.c_str());
    return tag;
}

std::string UnknownPacketLine(const Mac& mac, uint8_t returnCode, uint8_t lengthByte) {
    char rest[64];
    snprintf(rest, sizeof(rest), "unknow packet, ReturnCode:x%02x, LengthInDW:x%02x\n", returnCode, lengthByte);
    return LogTag(mac) + rest;
}

std::string TooSmallLine(const Mac& mac) {
    char line[96];
    snprintf(line, sizeof(line), "VN  (:%.2x:%.2x:%.2x), get info thd, RX RESPONSE, extra data too small\n", mac[3],
             mac[4], mac[5]);
    return line;
}

// Whatever a unit sends, the record stays within its arrays: at most 64 channels, and the
// bank and port counts of every per-type record (also of slots above AvailableChls, which
// keep records of earlier decodes) within the bank and port tables.
void ExpectBounded(PVN_DEVICE p) {
    EXPECT_LE(p->AvailableChls, kVnMaxChannels);
    for (int i = 0; i < kVnMaxChannels; ++i) {
        SCOPED_TRACE("slot " + std::to_string(i));
        const _DIB& d = p->DibArray[i];
        if (d.DioPtr) {
            EXPECT_LE(d.DioPtr->NumberOfBanks, kDibMaxDioBanks);
        }
        if (d.AiPtr) {
            EXPECT_LE(d.AiPtr->NumberOfInputPorts, kDibMaxPorts);
        }
        if (d.AoPtr) {
            EXPECT_LE(d.AoPtr->NumberOfOutputPorts, kDibMaxPorts);
        }
        if (d.UiPtr) {
            EXPECT_LE(d.UiPtr->NumberOfInputPorts, kDibMaxPorts);
        }
        if (d.UoPtr) {
            EXPECT_LE(d.UoPtr->NumberOfOutputPorts, kDibMaxPorts);
        }
        if (d.BAoPtr) {
            EXPECT_LE(d.BAoPtr->NumberOfOutputPorts, kDibMaxPorts);
        }
        if (d.MAiPtr) {
            EXPECT_LE(d.MAiPtr->NumberOfInputPorts, kDibMaxPorts);
        }
        if (d.TpsPtr) {
            EXPECT_LE(d.TpsPtr->NumberOfSensors, kDibMaxPorts);
        }
    }
}

// The profile's own three DIBs in slots 0..n-1.
void ExpectProfileDibs(PVN_DEVICE p, size_t n) {
    for (size_t i = 0; i < n && i < kCtuUart2.size(); ++i) {
        EXPECT_EQ(p->DibArray[i].ChlNumber, kCtuUart2[i].Chl) << "slot " << i;
        EXPECT_EQ(p->DibArray[i].Type, kCtuUart2[i].Type) << "slot " << i;
        EXPECT_EQ(p->DibArray[i].LengthInDW, kCtuUart2[i].LengthInDW) << "slot " << i;
    }
}

template <typename Port>
void ExpectPorts(const Port (&ports)[kDibMaxPorts], uint8_t count, unsigned sent) {
    EXPECT_EQ(count, std::min<unsigned>(sent, kDibMaxPorts));
    for (uint8_t k = 0; k < count && k < kDibMaxPorts; ++k) EXPECT_EQ(ports[k].PortIndex, k);
}

struct HostileCase {
    const char* Kind;
    unsigned Arg;
    bool Decoded;   // false: the answer is too short for a unit header and must be refused
    int MinChls, MaxChls;
    bool TooSmall;  // the DIB extra data exceeds the record's 128 bytes
    std::function<void(PVN_DEVICE)> Check;
};

void ExpectLongDib(PVN_DEVICE p, unsigned words) {
    ExpectProfileDibs(p, 1);
    EXPECT_EQ(p->DibArray[1].Type, 2);
    EXPECT_EQ(p->DibArray[1].LengthInDW, words);
    // The DIBs behind it start after the whole long DIB.
    for (size_t i = 1; i < 3; ++i) {
        EXPECT_EQ(p->DibArray[i + 1].ChlNumber, kCtuUart2[i].Chl);
        EXPECT_EQ(p->DibArray[i + 1].Type, kCtuUart2[i].Type);
        EXPECT_EQ(p->DibArray[i + 1].Info, kCtuUart2[i].Info);
    }
    EXPECT_EQ(p->DibArray[2].Uart.TxBuffSize, 1024u);
}

void ExpectBanks(PVN_DEVICE p) {
    ExpectProfileDibs(p, 3);
    const _DIB& d = p->DibArray[3];
    EXPECT_EQ(d.Type, 3);
    ASSERT_TRUE(d.DioPtr);
    EXPECT_GE(d.DioPtr->NumberOfBanks, 4);
    // Banks of 8 I/Os: the first four fill the 32-bit I/O word.
    for (uint32_t i = 0; i < 4; ++i) {
        EXPECT_EQ(d.DioPtr->Bank[i].NumberOfIOs, 8);
        EXPECT_EQ(d.DioPtr->Bank[i].IoShiftBits, 8 * i);
        EXPECT_EQ(d.DioPtr->Bank[i].IoMask, 0xFFu << (8 * i));
    }
}

void ExpectAnalogPorts(PVN_DEVICE p, unsigned sent) {
    ExpectProfileDibs(p, 3);
    for (uint8_t t = 5; t <= 11; ++t) {
        const _DIB& d = p->DibArray[3 + (t - 5)];
        SCOPED_TRACE("type " + std::to_string(t));
        ASSERT_EQ(d.Type, t);
        switch (t) {
            case 5: ASSERT_TRUE(d.AiPtr); ExpectPorts(d.AiPtr->Port, d.AiPtr->NumberOfInputPorts, sent); break;
            case 6: ASSERT_TRUE(d.AoPtr); ExpectPorts(d.AoPtr->Port, d.AoPtr->NumberOfOutputPorts, sent); break;
            case 7: ASSERT_TRUE(d.UiPtr); ExpectPorts(d.UiPtr->Port, d.UiPtr->NumberOfInputPorts, sent); break;
            case 8: ASSERT_TRUE(d.UoPtr); ExpectPorts(d.UoPtr->Port, d.UoPtr->NumberOfOutputPorts, sent); break;
            case 9: ASSERT_TRUE(d.BAoPtr); ExpectPorts(d.BAoPtr->Port, d.BAoPtr->NumberOfOutputPorts, sent); break;
            case 10: ASSERT_TRUE(d.MAiPtr); ExpectPorts(d.MAiPtr->Port, d.MAiPtr->NumberOfInputPorts, sent); break;
            case 11: ASSERT_TRUE(d.TpsPtr); ExpectPorts(d.TpsPtr->Port, d.TpsPtr->NumberOfSensors, sent); break;
        }
    }
}

void ExpectFillers(PVN_DEVICE p) {
    ExpectProfileDibs(p, 3);
    for (int i = 3; i < p->AvailableChls; ++i) {
        EXPECT_EQ(p->DibArray[i].Type, 2) << "slot " << i;
        EXPECT_EQ(p->DibArray[i].LengthInDW, 1) << "slot " << i;
    }
}

// The ctu_uart2 answer is 90 bytes: 18 bytes of Ethernet header and DLLP, the 28-byte unit
// header, then DIBs of 16, 16 and 12 bytes.
const std::vector<HostileCase> kHostileCases = {
    {"many-dibs", 64, true, 64, 64, false, ExpectFillers},
    {"many-dibs", 70, true, 64, 64, false, ExpectFillers},
    {"many-dibs", 255, true, 64, 64, false, ExpectFillers},
    {"long-dib", 33, true, 4, 4, false, [](PVN_DEVICE p) { ExpectLongDib(p, 33); }},
    {"long-dib", 34, true, 4, 4, true, [](PVN_DEVICE p) { ExpectLongDib(p, 34); }},
    {"long-dib", 255, true, 4, 4, true, [](PVN_DEVICE p) { ExpectLongDib(p, 255); }},
    // Three whole DIBs, one that runs past the frame, and two announced that never come.
    {"overrun", 20, true, 3, 3, false, [](PVN_DEVICE p) { ExpectProfileDibs(p, 3); }},
    {"overrun", 255, true, 3, 3, false, [](PVN_DEVICE p) { ExpectProfileDibs(p, 3); }},
    {"banks", 40, true, 4, 4, true, ExpectBanks},
    {"banks", 255, true, 4, 4, true, ExpectBanks},
    {"banks-short", 40, true, 4, 4, false, [](PVN_DEVICE p) { ASSERT_TRUE(p->DibArray[3].DioPtr); }},
    {"banks-short", 255, true, 4, 4, false, [](PVN_DEVICE p) { ASSERT_TRUE(p->DibArray[3].DioPtr); }},
    {"ports", 16, true, 10, 10, false, [](PVN_DEVICE p) { ExpectAnalogPorts(p, 16); }},
    {"ports", 17, true, 10, 10, false, [](PVN_DEVICE p) { ExpectAnalogPorts(p, 17); }},
    {"ports", 255, true, 10, 10, false, [](PVN_DEVICE p) { ExpectAnalogPorts(p, 255); }},
    // Cut half-way into the DIBs (68 bytes): only the first DIB is whole.
    {"truncate", 0, true, 0, 1, false, [](PVN_DEVICE p) { ExpectProfileDibs(p, p->AvailableChls); }},
    {"truncate", 16, false, 3, 3, false, nullptr},
    {"truncate", 45, false, 3, 3, false, nullptr},
    {"truncate", 46, true, 0, 0, false, nullptr},
    {"truncate", 61, true, 0, 0, false, nullptr},
    {"truncate", 62, true, 1, 1, false, [](PVN_DEVICE p) { ExpectProfileDibs(p, 1); }},
    {"truncate", 89, true, 2, 2, false, [](PVN_DEVICE p) { ExpectProfileDibs(p, 2); }},
};

// qorlab --veths 1
TEST_F(InfoStructure, HostileStructuresLeaveRecordBounded) {
    const Mac mac = UnitMac(6, 1);
    const Mac bystander = UnitMac(6, 2);
    SimProcess* sim = StartSim(lab_.PeerPids[0], {"--unit", UnitSpec("ctu_uart2", mac, lab_.PeerIfs[0]), "--unit",
                                                  UnitSpec("ctu_uart2", bystander, lab_.PeerIfs[0])});
    ASSERT_TRUE(sim);
    ASSERT_NO_FATAL_FAILURE(StartService());
    {
        VnRef unit = WaitInformed(mac);
        ASSERT_TRUE(unit);
        // Mapped units survive the periodic removal, so every case below works on this record
        // and its per-type records are reused from one case to the next.
        unit->IsMappingByHost = 1;
    }
    ASSERT_TRUE(WaitInformed(bystander));

    for (const HostileCase& c : kHostileCases) {
        const std::string name = std::string(c.Kind) + " " + std::to_string(c.Arg);
        SCOPED_TRACE(name);
        // A plain answer first: the record is whole again.
        ASSERT_TRUE(sim->Ok("hostile " + MacString(mac) + " none")) << sim->LastAnswer();
        ASSERT_TRUE(DrivePasses(*sim, mac, 2)) << "the get-info thread stopped asking";
        VnRef unit = VnMainGetByMac(mac.data());
        ASSERT_TRUE(unit);
        Inspect(unit, [](PVN_DEVICE p) { ExpectCtuUart2Record(p); });

        const std::string before = Log();
        ASSERT_TRUE(sim->Ok("hostile " + MacString(mac) + " " + name)) << sim->LastAnswer();
        ASSERT_TRUE(DrivePasses(*sim, mac, 2)) << "the get-info thread stopped asking after " << name;
        ASSERT_EQ(VnMainGetByMac(mac.data()).get(), unit.get());
        Inspect(unit, [&](PVN_DEVICE p) {
            ExpectBounded(p);
            EXPECT_GE(p->AvailableChls, c.MinChls);
            EXPECT_LE(p->AvailableChls, c.MaxChls);
            EXPECT_EQ(ModelOf(p), "VN-U2S");
            if (c.Check) c.Check(p);
        });
        const std::string added = Log().substr(before.size());
        if (c.Decoded)
            EXPECT_EQ(added.find(LogTag(mac) + "unknow packet"), std::string::npos) << added;
        else
            EXPECT_NE(added.find(LogTag(mac) + "unknow packet"), std::string::npos) << "not refused:\n" << added;
        EXPECT_EQ(added.find(TooSmallLine(mac)) != std::string::npos, c.TooSmall) << added;
    }

    // After all that the unit is decoded as before, the other unit never noticed, and the
    // search thread still runs.
    ASSERT_TRUE(sim->Ok("hostile " + MacString(mac) + " none"));
    ASSERT_TRUE(DrivePasses(*sim, mac, 2));
    VnRef unit = VnMainGetByMac(mac.data());
    ASSERT_TRUE(unit);
    Inspect(unit, [](PVN_DEVICE p) {
        ExpectCtuUart2Record(p);
        ExpectBounded(p);
    });
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

// qorlab --veths 1
TEST_F(InfoStructure, UnknownAnswersAreNotDecodedAndThreadGoesOn) {
    const Mac mac = UnitMac(7, 1);
    SimProcess* sim = StartSim(lab_.PeerPids[0], {"--unit", UnitSpec("ctu_uart2", mac, lab_.PeerIfs[0])});
    ASSERT_TRUE(sim);
    ASSERT_NO_FATAL_FAILURE(StartService());
    {
        VnRef unit = WaitInformed(mac);
        ASSERT_TRUE(unit);
        unit->IsMappingByHost = 1;  // no periodic removal: one record throughout
    }
    struct Reply {
        uint8_t ReturnCode, LengthByte;
    };
    Mac lastHost{};  // what the record holds: the last decoded connected-host MAC
    uint8_t lastLink = 0;
    uint8_t n = 0;
    for (const Reply r : {Reply{0, 0xFF}, Reply{1, 0x10}, Reply{1, 0x00}, Reply{0, 0x00}, Reply{1, 0xFE}}) {
        char name[32];
        snprintf(name, sizeof(name), "%u %u", r.ReturnCode, r.LengthByte);
        SCOPED_TRACE(std::string("return code, length byte: ") + name);
        // The unit's info changes together with the broken answer: had it been decoded, the
        // record would show the new link state.
        const Mac host = {0x0a, 0x00, 0x00, 0x00, 0x00, ++n};
        ASSERT_TRUE(sim->Ok("link-state " + MacString(mac) + " 1 " + MacString(host)));
        ASSERT_TRUE(sim->Ok("info-reply " + MacString(mac) + " " + name)) << sim->LastAnswer();
        const std::string line = UnknownPacketLine(mac, r.ReturnCode, r.LengthByte);
        const size_t logged = CountOccurrences(Log(), line);
        ASSERT_TRUE(DrivePasses(*sim, mac, 2)) << "the get-info thread stopped asking";
        EXPECT_GE(CountOccurrences(Log(), line), logged + 1) << "missing: " << line;
        VnRef unit = VnMainGetByMac(mac.data());
        ASSERT_TRUE(unit);
        Inspect(unit, [&](PVN_DEVICE p) {
            EXPECT_EQ(p->DllpGetInfoThreadSuccess.load(), 0);
            EXPECT_EQ(p->LinkStatus, lastLink);
            EXPECT_EQ(std::vector<uint8_t>(p->ConnectedHostMac, p->ConnectedHostMac + 6),
                      std::vector<uint8_t>(lastHost.begin(), lastHost.end()));
            EXPECT_EQ(p->AvailableChls, 3);
        });

        // Back to the normal answer: the next pass decodes it.
        ASSERT_TRUE(sim->Ok("info-reply " + MacString(mac) + " default"));
        ASSERT_TRUE(DrivePasses(*sim, mac, 2)) << "the get-info thread stopped asking";
        ASSERT_TRUE(WaitForUnit(mac, 3s, [](PVN_DEVICE p) { return p->DllpGetInfoThreadSuccess.load() == 1; }));
        Inspect(unit, [&](PVN_DEVICE p) {
            ExpectCtuUart2Record(p, 1);
            EXPECT_EQ(std::vector<uint8_t>(p->ConnectedHostMac, p->ConnectedHostMac + 6),
                      std::vector<uint8_t>(host.begin(), host.end()));
        });
        lastHost = host;
        lastLink = 1;
    }
    VnMainGetByMac(mac.data())->IsMappingByHost = 0;
}

// qorlab --veths 1
TEST_F(InfoStructure, FailingReturnCodeEndsThreadAndRemovalStillWorks) {
    const Mac failing2 = UnitMac(8, 1), failingFF = UnitMac(8, 2), plain = UnitMac(8, 3);
    SimProcess* sim = StartSim(lab_.PeerPids[0], {"--unit", UnitSpec("ctu_uart2", failing2, lab_.PeerIfs[0]),
                                                  "--unit", UnitSpec("ctu_uart2", failingFF, lab_.PeerIfs[0]),
                                                  "--unit", UnitSpec("ctu_uart2", plain, lab_.PeerIfs[0])});
    ASSERT_TRUE(sim);
    ASSERT_NO_FATAL_FAILURE(StartService());
    VnRef a = WaitInformed(failing2), b = WaitInformed(failingFF), c = WaitInformed(plain);
    ASSERT_TRUE(a && b && c);

    ASSERT_TRUE(sim->Ok("info-reply " + MacString(failing2) + " 2 255"));
    ASSERT_TRUE(sim->Ok("info-reply " + MacString(failingFF) + " 255 255"));
    ASSERT_TRUE(DrivePasses(*sim, failing2, 1));
    ASSERT_TRUE(DrivePasses(*sim, failingFF, 1));
    const std::string fail2 = LogTag(failing2) + "ReturnCode:x02 fail\n";
    const std::string failFF = LogTag(failingFF) + "ReturnCode:xff fail\n";
    ASSERT_TRUE(WaitForFileContains(kServiceLogPath, fail2, 2s)) << Log();
    ASSERT_TRUE(WaitForFileContains(kServiceLogPath, failFF, 2s)) << Log();

    // The threads have ended: a good answer and a new link state are no longer fetched,
    // neither on a trigger nor on the search answers of the next seconds.
    const auto requestsA = sim->Counters(failing2), requestsB = sim->Counters(failingFF);
    ASSERT_TRUE(requestsA && requestsB);
    for (const Mac& m : {failing2, failingFF}) {
        ASSERT_TRUE(sim->Ok("info-reply " + MacString(m) + " default"));
        ASSERT_TRUE(sim->Ok("link-state " + MacString(m) + " 1 0a:00:00:00:00:01"));
    }
    const auto quietUntil = Clock::now() + 2500ms;
    while (Clock::now() < quietUntil) {
        VnMainUpdateInfo(a.get());  // must not block on an ended thread
        VnMainUpdateInfo(b.get());
        std::this_thread::sleep_for(100ms);
    }
    EXPECT_EQ(sim->Counters(failing2)->InfoRequests, requestsA->InfoRequests);
    EXPECT_EQ(sim->Counters(failingFF)->InfoRequests, requestsB->InfoRequests);
    EXPECT_EQ(CountOccurrences(Log(), fail2), 1u);
    EXPECT_EQ(CountOccurrences(Log(), failFF), 1u);
    for (const VnRef* u : {&a, &b}) {
        // Unless the periodic removal came first, the record is listed with its last info.
        if (VnMainGetByMac((*u)->Mac).get() != u->get()) continue;
        Inspect(*u, [](PVN_DEVICE p) {
            ExpectCtuUart2Record(p, 0);
            EXPECT_EQ(p->DllpGetInfoThreadSuccess.load(), 0);
        });
    }
    if (SinceStart() < 9s) {
        EXPECT_EQ(ListedUnits().size(), 3u);
    }

    // The periodic removal still takes them, at the same time as the plain unit, and the
    // next search makes fresh records whose threads fetch the new info.
    auto recreated = [&](const Mac& m, PVN_DEVICE old) {
        return WaitForUnit(m, kRemovalDeadline + 3s - SinceStart(),
                           [old](PVN_DEVICE p) { return p != old && p->DllpGetInfoThreadSuccess.load() == 1; });
    };
    VnRef c2 = recreated(plain, c.get());
    ASSERT_TRUE(c2) << "the plain unit was not removed and found again";
    VnRef a2 = recreated(failing2, a.get());
    VnRef b2 = recreated(failingFF, b.get());
    ASSERT_TRUE(a2 && b2) << "a unit whose get-info thread ended was not removed and found again";
    Inspect(a2, [](PVN_DEVICE p) { ExpectCtuUart2Record(p, 1); });
    Inspect(b2, [](PVN_DEVICE p) { ExpectCtuUart2Record(p, 1); });
    EXPECT_EQ(VnAmount, 3);
}

}  // namespace
}  // namespace qortest
