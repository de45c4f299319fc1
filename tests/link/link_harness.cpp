// The link tests run the service's modules in this process, inside a private network and
// mount namespace of their own: the service's NIC is this namespace's loopback (or a veth
// pair made there), and the test plays the units. Nothing reaches the machine's interfaces,
// device nodes, record directories or log.
#include "link_harness.h"

#include <arpa/inet.h>
#include <linux/if_packet.h>
#include <net/if.h>
#include <poll.h>
#include <sched.h>
#include <stdio.h>
#include <string.h>
#include <sys/eventfd.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include "cfg_check_dir.h"
#include "nlk_tty_info.h"
#include "pem_dbg.h"
#include "vn_connect.h"
#include "vn_unit_services.h"

namespace {
constexpr uint16_t kEtherType = 0xD41F;
const Mac kBroadcast = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
constexpr uint16_t kDeviceSeq = 0x155;  // the unit's sequence number in connect answers

const auto DllpReply = [](int code, int returnCode, int seq) {
    return Bytes{0x20, uint8_t(code), uint8_t((returnCode << 2) | ((seq >> 8) & 3)), uint8_t(seq)};
};

// Info structure answer: a control unit and `uarts` version 5 UARTs (channels 1..).
Bytes InfoStructureResponse(uint8_t typeInfo, int uarts) {
    Bytes b = {0x20, 18, 1, 0xFF, 0, 0, 0, 0, 0, 0, 'L', 'I', 'N', 'K', 'T', 'E', 'S', 'T', '0', '1'};
    b.insert(b.end(), {typeInfo, 0, 0, 0, 0, 0, 0, 0, static_cast<uint8_t>(1 + uarts), 0, 1, 0, 0, 0, 1, 2});
    for (int i = 0; i < uarts; ++i)
        b.insert(b.end(), {static_cast<uint8_t>(1 + i), 1, 4, 5, 1, 1, 1, 0, 0, 1, 0, 1, 0x07, 0x00, 0, 0});
    return b;
}

const auto Address = [](int ifindex) {
    return sockaddr_ll{AF_PACKET, htons(kEtherType), ifindex, 0, 0, 6, {}};
};

bool PrivateWorld() {
    const auto Fail = [](const char* what) { return fprintf(stderr, "link tests: %s: %m\n", what), false; };
    if (unshare(CLONE_NEWNET | CLONE_NEWNS) != 0) return Fail("unshare (needs root)");
    if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) return Fail("make / private");
    // Record directories, device nodes and the service's log land in private tmpfs mounts.
    for (const char* dir : {"/usr/share", "/dev", "/var/log"})
        if (mount("tmpfs", dir, "tmpfs", 0, "mode=0755") != 0) return Fail(dir);
    if (mknod("/dev/null", S_IFCHR | 0666, makedev(1, 3)) != 0) return Fail("mknod /dev/null");
    if (!CfgDirCheck()) return Fail("record directories");
    return system("ip link set lo up") == 0 || Fail("bring lo up");
}

}  // namespace

uint16_t ConnectUnit(const Mac& mac, const char* password) {
    uint8_t raw[32];
    VnPasswordToRaw(reinterpret_cast<const uint8_t*>(password), strlen(password), raw);
    uint32_t ports[2];
    return VnMainConnect(mac.data(), raw, ports, ports + 1);
}

ScriptedUnit::ScriptedUnit(Mac mac, const char* ifname) : mac_(mac) {
    ifindex_ = static_cast<int>(if_nametoindex(ifname));
    sock_ = socket(AF_PACKET, SOCK_RAW | SOCK_CLOEXEC, htons(kEtherType));
    const sockaddr_ll addr = Address(ifindex_);
    if (sock_ < 0 || bind(sock_, reinterpret_cast<const sockaddr*>(&addr), sizeof(addr)) != 0)
        ADD_FAILURE() << "scripted unit socket: " << strerror(errno);
    stopFd_ = eventfd(0, EFD_CLOEXEC);
    thread_ = std::thread([this] { Run(); });
}

ScriptedUnit::~ScriptedUnit() {
    const uint64_t one = 1;
    if (write(stopFd_, &one, sizeof(one)) != sizeof(one)) ADD_FAILURE() << "stop scripted unit";
    thread_.join();
    close(stopFd_);
    close(sock_);
}

void ScriptedUnit::Send(const Bytes& link) {
    std::unique_lock<std::mutex> lock(mutex_);
    Bytes frame(peer_.begin(), peer_.end());
    lock.unlock();
    frame.insert(frame.end(), mac_.begin(), mac_.end());
    frame.insert(frame.end(), {kEtherType >> 8, kEtherType & 0xFF});
    frame.insert(frame.end(), link.begin(), link.end());
    const sockaddr_ll addr = Address(ifindex_);
    if (sendto(sock_, frame.data(), frame.size(), 0, reinterpret_cast<const sockaddr*>(&addr),
               sizeof(addr)) != static_cast<ssize_t>(frame.size()))
        ADD_FAILURE() << "scripted unit send: " << strerror(errno);
}

void ScriptedUnit::Run() {
    uint8_t buf[9000];
    for (;;) {
        struct pollfd fds[2] = {{stopFd_, POLLIN, 0}, {sock_, POLLIN, 0}};
        if (poll(fds, 2, -1) < 0) continue;
        if (fds[0].revents) return;
        const ssize_t n = recv(sock_, buf, sizeof(buf), 0);
        // Only frames the service sent to this unit or broadcast (our own come back too).
        if (n < 15 || memcmp(buf + 6, mac_.data(), 6) == 0 ||
            (memcmp(buf, mac_.data(), 6) != 0 && memcmp(buf, kBroadcast.data(), 6) != 0))
            continue;
        const Frame f{Clock::now(), Bytes(buf + 14, buf + n)};
        {
            std::lock_guard<std::mutex> lock(mutex_);
            frames_.push_back(f);
            memcpy(peer_.data(), buf + 6, 6);
        }
        if (!silent) Answer(f);
    }
}

void ScriptedUnit::Answer(const Frame& f) {
    const auto delay = [&] { std::this_thread::sleep_for(std::chrono::milliseconds(delayMs.load())); };
    if (IsTlp(f)) {
        if (ackTlps) Send(DllpReply(0, 0, static_cast<uint16_t>((f.link[1] << 2) | (f.link[2] >> 6))));
        return;
    }
    if (f.link[0] != 0x20 || f.link.size() < 4) return;
    const uint8_t cmd = f.link[1] & 0x1F;
    if (cmd == 4 || cmd == 6) Send({0x20, static_cast<uint8_t>(cmd == 4 ? 7 : 5), 0, 0});
    if (cmd == 8) Send({0x20, 9, 0, 0});
    if (cmd == 16 && f.link[3] == 0xFF && (delay(), answerInfo))
        Send(InfoStructureResponse(typeInfo, uartChannels));
    if (cmd == 2 || cmd == 10) {
        const int rc = ((f.link[2] >> 2) & 3) != 0 ? disconnectReturnCode.load() : connectReturnCode.load();
        delay();
        if (rc >= 0) Send(DllpReply(static_cast<uint8_t>(cmd + 1), rc, kDeviceSeq));
    }
}

std::vector<Frame> ScriptedUnit::Frames(const std::function<bool(const Frame&)>& match, size_t count,
                                        int ms) {
    std::vector<Frame> out;
    WaitUntil(
        [&] {
            std::lock_guard<std::mutex> lock(mutex_);
            out.clear();
            for (const Frame& f : frames_)
                if (match(f)) out.push_back(f);
            return out.size() >= count;
        },
        ms);
    return out;
}

void ScriptedUnit::ClearFrames() {
    std::lock_guard<std::mutex> lock(mutex_);
    frames_.clear();
}

void LinkFixture::SetUp() {
    PemDbgBuffAlloc();
    lost = 0;
    VnUnitServices.DisconnectEvent = [](PVN_DEVICE) { ++lost; };
    unit = std::make_unique<ScriptedUnit>(Mac{0x00, 0x11, 0x22, 0xA0, 0xB0, 0xC0});
    nic = NicMainAddInterface("lo");
    ASSERT_TRUE(nic) << "NIC record on lo";
    vn = VnMainAdd(nic.get(), mac().data());
    ASSERT_TRUE(vn);
    ASSERT_TRUE(WaitUntil([&] { return vn->DllpGetInfoThreadSuccess == 1; }, 2000)) << "unit informed";
    unit->ClearFrames();
}

void LinkFixture::Reinform(uint8_t typeInfo, int uarts) {
    unit->typeInfo = typeInfo;
    unit->uartChannels = uarts;
    vn->DllpGetInfoThreadSuccess = 0;
    VnMainUpdateInfo(vn.get());
    ASSERT_TRUE(WaitUntil([&] { return vn->DllpGetInfoThreadSuccess == 1; }, 2000)) << "unit informed";
    unit->ClearFrames();
}

void LinkFixture::TearDown() {
    // Receive threads first: they look units up.
    nic.reset();
    NicMainDelAll();
    vn.reset();
    VnMainDelAll();
    unit.reset();
    VnUnitServices.DisconnectEvent = nullptr;
    PemDbgBuffFree();
    // Each test starts with empty record directories, no nodes and no minors taken.
    const std::string records = std::string("rm -f ") + kCfgMappingDir + "/* " + kCfgConnectDir + "/*";
    EXPECT_EQ(system(records.c_str()), 0);
    NlkTtyDeleteDeviceNodeAll();
    memset(NlkTtyInfo, 0, sizeof(NlkTtyInfo));
}

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    if (!PrivateWorld()) return 1;
    NlkTtyInfoRegister();  // the mapping's minors and nodes, as the daemon's start-up does
    return RUN_ALL_TESTS();
}
