// libqorio against a management port that answers with garbage: a stand-in server on
// 127.0.0.1:50000 of an otherwise empty lab sends wrong versions, foreign answers and events,
// lengths that lie, cut-short records and a close in mid-message. Every call must end with a
// clear code and never write past the caller's record.
#include <netinet/in.h>
#include <sys/socket.h>

#include <atomic>
#include <functional>
#include <mutex>
#include <thread>

#include "library_fixture.h"

namespace qortest {
namespace {

struct Reply {
    std::vector<uint8_t> Bytes;
    bool Close = false;
    Clock::duration Delay{};
};

std::vector<uint8_t> Packet(uint16_t code, uint16_t status, const std::vector<uint8_t>& payload, uint8_t version = 1,
                            int64_t length = -1) {
    mng::Header h{version, {}, code, status,
                  static_cast<uint32_t>(length < 0 ? static_cast<int64_t>(payload.size()) : length)};
    const auto head = mng::EncodeHeader(h);
    std::vector<uint8_t> out(head.begin(), head.end());
    out.insert(out.end(), payload.begin(), payload.end());
    return out;
}

const std::vector<uint8_t> kServiceInfo = Concat({{8}, mng::Bytes("1.0.15.0"), {7}, mng::Bytes("1.0.4.0"), {0}});

// The management port played by a thread of the test: each request is answered by the
// handler the current case installed (the service info by default).
class FakeService {
  public:
    FakeService() {
        fd_.reset(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
        const int one = 1;
        setsockopt(fd_.get(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(mng::kPort);
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ok_ = bind(fd_.get(), reinterpret_cast<sockaddr*>(&a), sizeof(a)) == 0 && listen(fd_.get(), 4) == 0;
        if (ok_) thread_ = std::thread([this] { Run(); });
    }
    ~FakeService() {
        stop_ = true;
        shutdown(fd_.get(), SHUT_RDWR);
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (conn_ >= 0) shutdown(conn_, SHUT_RDWR);
        }
        if (thread_.joinable()) thread_.join();
    }
    bool Ok() const { return ok_; }
    // The next request with this code gets reply; the others are answered as usual.
    void Answer(uint16_t code, Reply reply) {
        std::lock_guard<std::mutex> lock(mutex_);
        code_ = code;
        reply_ = std::move(reply);
    }

  private:
    static bool ReadAll(int fd, uint8_t* p, size_t n) {
        while (n > 0) {
            const ssize_t r = recv(fd, p, n, 0);
            if (r <= 0) return false;
            p += r;
            n -= static_cast<size_t>(r);
        }
        return true;
    }
    void Run() {
        while (!stop_) {
            UniqueFd conn(accept4(fd_.get(), nullptr, nullptr, SOCK_CLOEXEC));
            if (!conn) return;
            {
                std::lock_guard<std::mutex> lock(mutex_);
                conn_ = conn.get();
            }
            for (;;) {
                std::array<uint8_t, mng::kHeaderLength> head{};
                if (!ReadAll(conn.get(), head.data(), head.size())) break;
                const mng::Header h = mng::DecodeHeader(head);
                std::vector<uint8_t> payload(h.Length);
                if (!ReadAll(conn.get(), payload.data(), payload.size())) break;
                Reply reply;
                {
                    std::lock_guard<std::mutex> lock(mutex_);
                    if (code_ != 0 && h.Code == code_) {
                        reply = reply_;
                        code_ = 0;  // one answer per case
                    } else if (h.Code == 1) {
                        reply.Bytes = Packet(0x8001, 0, kServiceInfo);
                    }
                }
                std::this_thread::sleep_for(reply.Delay);
                send(conn.get(), reply.Bytes.data(), reply.Bytes.size(), MSG_NOSIGNAL);
                if (reply.Close) break;
            }
            std::lock_guard<std::mutex> lock(mutex_);
            conn_ = -1;
        }
    }

    UniqueFd fd_;
    bool ok_ = false;
    std::atomic<bool> stop_{false};
    std::mutex mutex_;
    int conn_ = -1;
    uint16_t code_ = 0;
    Reply reply_;
    std::thread thread_;
};

std::vector<uint8_t> UnitRecord(uint8_t n, uint8_t channels = 0) {
    std::vector<uint8_t> r(28, 0);
    r[0] = 2;
    r[5] = n;
    r[25] = channels;
    return r;
}

// qorlab --veths 0
TEST(LibHostile, AnswersThatLieEndWithACodeAndStayInsideTheRecords) {
    ASSERT_TRUE(InLab());
    FakeService service;
    ASSERT_TRUE(service.Ok());
    ASSERT_EQ(vn_lib_init(), 0);
    ASSERT_EQ(vn_get_service_connection_status(), 1);

    Guarded<_VN_UNIT_LIST> units;
    Guarded<_VN_UNIT_RECORD> unit;
    Guarded<_VN_NIC_LIST> nics;
    Guarded<_VN_MAPPING_LIST> mappings;
    Mac mac = UnitMac(1, 1);
    uint8_t pwd[32];
    int pwdLength = 0;
    uint32_t sio = 0, ctu = 0;
    auto search = [&] { return vn_search_vn(units.get()); };
    auto detail = [&] { return mng_get_specific_vn_detail_info(mac.data(), unit.get()); };

    // A detail record whose channel entries claim more than they hold.
    std::vector<uint8_t> lyingDetail = Concat({UnitRecord(1, 200), Zeros(8)});
    lyingDetail = Concat({lyingDetail, {0, 128, 51, 0, 0, 200}, {0, 255}, Zeros(198)});     // name of 1020 bytes
    lyingDetail = Concat({lyingDetail, {1, 3, 11, 1, 0, 40}, {255}, Zeros(11), {0x10}, Zeros(27)});  // 255 banks, 7 there
    lyingDetail = Concat({lyingDetail, {2, 1, 64, 5, 0, 250}, Zeros(10)});                  // runs past the end

    struct Case {
        const char* Name;
        uint16_t Cmd;
        Reply Answer;
        std::function<int()> Call;
        int Rc;
        std::function<bool()> Check;
    };
    const std::vector<Case> cases = {
        {"wrong version", 5, {Packet(0x8005, 0, UnitRecord(1), 2)}, search, 82, nullptr},
        {"foreign answer, unknown and short events first", 5,
         {Concat({Packet(0x8003, 0, Zeros(8)), Packet(0x1077, 0, Zeros(6)), Packet(0x1001, 0, Zeros(3)),
                  Packet(0x8005, 0, UnitRecord(7))})},
         search, 0, [&] { return units->Count == 1 && units->Unit[0].VnMac[5] == 7; }},
        {"a list beyond the receive buffer and the record", 5, {Packet(0x8005, 0, Zeros(20000))}, search, 0,
         [&] { return units->Count == 128; }},
        {"a record cut short", 5, {Packet(0x8005, 0, Concat({UnitRecord(3), Zeros(10)}))}, search, 0,
         [&] { return units->Count == 1; }},
        {"an empty list", 5, {Packet(0x8005, 0, {})}, search, 32, [&] { return units->Count == 0; }},
        {"connect refused", 11, {Packet(0x800B, 66, mng::MacBytes(mac))},
         [&] { return mng_vn_connect(mac.data(), &sio, &ctu, 0, nullptr, 0); }, 66, nullptr},
        {"connect result of 10 bytes", 11, {Packet(0x800B, 0, Zeros(10))},
         [&] { return mng_vn_connect(mac.data(), &sio, &ctu, 0, nullptr, 0); }, 84, nullptr},
        {"mapping answer of 3 bytes", 8, {Packet(0x8008, 0, Zeros(3))}, [&] { return vn_mapping(mac.data()); }, 84,
         nullptr},
        {"unmapping answer of 7 bytes", 9, {Packet(0x8009, 0, Zeros(7))}, [&] { return vn_unmapping(mac.data()); }, 84,
         nullptr},
        {"disconnect answer without MAC", 12, {Packet(0x800C, 0, {})}, [&] { return vn_disconnect(mac.data()); }, 32,
         nullptr},
        {"detail shorter than a unit record", 7, {Packet(0x8007, 0, Zeros(30))}, detail, 84, nullptr},
        {"detail entries that lie", 7, {Packet(0x8007, 0, lyingDetail)}, detail, 0,
         [&] {
             return unit->Chl[0].StrDeviceNameLength == VN_STRING_NAME_SIZE && unit->Chl[1].DioNumberOfBanks == 7 &&
                    unit->Chl[1].DioBank[0].NumberOfIos == 0 && unit->Chl[1].DioBank[1].NumberOfIos == 1 &&
                    unit->Chl[2].Type == 0;
         }},
        {"password longer than 32", 15, {Packet(0x800F, 0, Concat({mng::MacBytes(mac), {200}, Zeros(200)}))},
         [&] { return mng_get_password(mac.data(), pwd, &pwdLength); }, 84, nullptr},
        {"NIC name running past the end", 3,
         {Packet(0x8003, 0, Concat({{1}, Zeros(6), {4}, mng::Bytes("eth0"), {2}, Zeros(6), {200}, Zeros(5)}))},
         [&] { return vn_get_all_nic_info(nics.get()); }, 0,
         [&] { return nics->Count == 1 && std::string(nics->Nic[0].IfName) == "eth0"; }},
        {"200 UART pairs in one mapping", 10, {Packet(0x800A, 0, Concat({Zeros(6), {200}, Zeros(400)}))},
         [&] { return vn_get_all_vn_mapping_info(mappings.get()); }, 0,
         [&] { return mappings->Count == 1 && mappings->Mapping[0].NumberOfUarts == 64; }},
        {"service info whose lengths disagree", 1, {Packet(0x8001, 0, Concat({{30}, mng::Bytes("1.0.15.0")}))},
         [] { return vn_get_version_info(); }, 81, nullptr},
        {"closed in mid-message", 5, {{1, 0, 0, 0, 0x05}, true}, search, 104, nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        // Back after a close: the alive thread connects again at its next check.
        ASSERT_TRUE(Eventually([] { return vn_get_service_connection_status() == 1; }, 5s));
        service.Answer(c.Cmd, c.Answer);
        EXPECT_EQ(c.Call(), c.Rc);
        if (c.Check) {
            EXPECT_TRUE(c.Check());
        }
    }
    EXPECT_TRUE(units.Intact() && unit.Intact() && nics.Intact() && mappings.Intact());

    // An answer that comes after its call gave up is never taken by the next call.
    ASSERT_TRUE(Eventually([] { return vn_get_service_connection_status() == 1; }, 5s));
    service.Answer(5, Reply{Packet(0x8005, 0, UnitRecord(0xAA)), false, 21s});
    EXPECT_EQ(search(), 101);
    ASSERT_TRUE(Eventually([] { return vn_get_service_connection_status() == 1; }, 30s));
    service.Answer(5, Reply{Packet(0x8005, 0, UnitRecord(0xBB))});
    EXPECT_EQ(search(), 0);
    EXPECT_EQ(units->Unit[0].VnMac[5], 0xBB);
    vn_lib_free();
}

}  // namespace
}  // namespace qortest
