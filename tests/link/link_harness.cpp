#include "link_harness.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <linux/if_packet.h>
#include <net/if.h>
#include <poll.h>
#include <string.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>

#include "cfg_check_dir.h"
#include "nlk_tty_info.h"
#include "pem_dbg.h"
#include "vn_get_info.h"

namespace {
constexpr uint16_t kEtherType = 0xD41F;
const std::array<uint8_t, 6> kBroadcast = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};

Bytes DllpReply(uint8_t code, int returnCode, uint16_t seq) {
    return {0x20, code, static_cast<uint8_t>((returnCode << 2) | ((seq >> 8) & 3)),
            static_cast<uint8_t>(seq)};
}
}  // namespace

bool IsDllp(const Frame& f, uint8_t cmd) {
    return f.link.size() >= 4 && f.link[0] == 0x20 && (f.link[1] & 0x1F) == cmd;
}
bool IsTlp(const Frame& f) {
    return f.link.size() >= 8 && f.link[0] == 0x10;
}

Bytes InfoStructureResponse(uint8_t typeInfo, int uartChannels) {
    Bytes b = {0x20, 18, 1, 0xFF};
    Bytes info(28, 0);
    memcpy(info.data() + 6, "LINKTEST01", 10);
    info[16] = typeInfo;
    info[24] = static_cast<uint8_t>(1 + uartChannels);
    info[26] = 1;
    b.insert(b.end(), info.begin(), info.end());
    const uint8_t ctu[4] = {0, 0, 1, 2};
    b.insert(b.end(), ctu, ctu + 4);
    for (int i = 0; i < uartChannels; ++i) {
        const uint8_t uart[16] = {
            static_cast<uint8_t>(1 + i), 1, 4, 5, 1, 1, 1, 0, 0, 1, 0, 1, 0x07, 0x00, 0, 0};
        b.insert(b.end(), uart, uart + 16);
    }
    return b;
}

ScriptedUnit::ScriptedUnit(std::array<uint8_t, 6> mac, const char* ifname) : mac_(mac) {
    ifindex_ = static_cast<int>(if_nametoindex(ifname));
    sock_ = socket(AF_PACKET, SOCK_RAW | SOCK_CLOEXEC, htons(kEtherType));
    struct sockaddr_ll addr {};
    addr.sll_family = AF_PACKET;
    addr.sll_protocol = htons(kEtherType);
    addr.sll_ifindex = ifindex_;
    if (sock_ < 0 || bind(sock_, reinterpret_cast<struct sockaddr*>(&addr), sizeof(addr)) != 0)
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
    Bytes frame(14, 0);
    {
        std::lock_guard<std::mutex> lock(mutex_);
        memcpy(frame.data(), peer_.data(), 6);
    }
    memcpy(frame.data() + 6, mac_.data(), 6);
    frame[12] = kEtherType >> 8;
    frame[13] = kEtherType & 0xFF;
    frame.insert(frame.end(), link.begin(), link.end());
    struct sockaddr_ll addr {};
    addr.sll_family = AF_PACKET;
    addr.sll_protocol = htons(kEtherType);
    addr.sll_ifindex = ifindex_;
    addr.sll_halen = 6;
    if (sendto(sock_, frame.data(), frame.size(), 0, reinterpret_cast<struct sockaddr*>(&addr),
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
        if (n < 15) continue;
        Frame f;
        f.at = Clock::now();
        memcpy(f.dest.data(), buf, 6);
        // Only frames the service sent to this unit or broadcast (our own come back too).
        if (memcmp(buf + 6, mac_.data(), 6) == 0) continue;
        if (f.dest != mac_ && f.dest != kBroadcast) continue;
        f.link.assign(buf + 14, buf + n);
        {
            std::lock_guard<std::mutex> lock(mutex_);
            frames_.push_back(f);
            memcpy(peer_.data(), buf + 6, 6);
        }
        if (!silent) Answer(f);
    }
}

void ScriptedUnit::Answer(const Frame& f) {
    if (IsTlp(f)) {
        if (ackTlps) {
            const uint16_t seq = static_cast<uint16_t>((f.link[1] << 2) | (f.link[2] >> 6));
            Send(DllpReply(0, 0, seq));
        }
        return;
    }
    if (f.link[0] != 0x20 || f.link.size() < 4) return;
    switch (f.link[1] & 0x1F) {
        case 4:
            Send({0x20, 7, 0, 0});
            break;
        case 6:
            Send({0x20, 5, 0, 0});
            break;
        case 16:
            std::this_thread::sleep_for(std::chrono::milliseconds(delayMs.load()));
            if (f.link[3] == 0xFF && answerInfo) Send(InfoStructureResponse(typeInfo, uartChannels));
            break;
        case 8:
            if (answerKeepAlive) Send({0x20, 9, 0, 0});
            break;
        case 2:
        case 10: {
            const bool disconnect = ((f.link[2] >> 2) & 3) != 0;
            const int rc = disconnect ? disconnectReturnCode.load() : connectReturnCode.load();
            std::this_thread::sleep_for(std::chrono::milliseconds(delayMs.load()));
            if (rc >= 0) Send(DllpReply(static_cast<uint8_t>((f.link[1] & 0x1F) + 1), rc, deviceSeq));
            break;
        }
        default:
            break;
    }
}

std::vector<Frame> ScriptedUnit::Frames(const std::function<bool(const Frame&)>& match) {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<Frame> out;
    for (const Frame& f : frames_)
        if (match(f)) out.push_back(f);
    return out;
}

std::vector<Frame> ScriptedUnit::WaitFrames(const std::function<bool(const Frame&)>& match, size_t count,
                                            int ms) {
    std::vector<Frame> out;
    WaitUntil([&] { return (out = Frames(match)).size() >= count; }, ms);
    return out;
}

void ScriptedUnit::ClearFrames() {
    std::lock_guard<std::mutex> lock(mutex_);
    frames_.clear();
}

void LinkFixture::SetUp() {
    PemDbgBuffAlloc();
    unit = std::make_unique<ScriptedUnit>(std::array<uint8_t, 6>{0x00, 0x11, 0x22, 0xA0, 0xB0, 0xC0});
    nic = NicMainAddInterface("lo");
    ASSERT_TRUE(nic) << "NIC record on lo";
    vn = VnMainAdd(nic.get(), unit->Mac().data());
    ASSERT_TRUE(vn);
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
    PemDbgBuffFree();
    // Each test starts with empty record directories, no nodes and no minors taken.
    for (const char* dir : {kCfgMappingDir, kCfgConnectDir}) {
        if (DIR* d = opendir(dir)) {
            while (const dirent* e = readdir(d))
                if (e->d_name[0] != '.') unlink((std::string(dir) + "/" + e->d_name).c_str());
            closedir(d);
        }
    }
    NlkTtyDeleteDeviceNodeAll();
    memset(NlkTtyInfo, 0, sizeof(NlkTtyInfo));
}
