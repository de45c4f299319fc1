// Fixtures for tests of libqorio: the service fixture plus the library's life (vn_lib_init in
// the test, vn_lib_free at the end), register tables checked at qorsim's unit, and a scripted
// stand-in for a service port that lies. Records are heap blocks of their exact size, so the
// sanitized build catches a call that writes past one.
#pragma once

#include <dirent.h>
#include <netinet/in.h>
#include <qorio.h>
#include <sys/socket.h>

#include <cstring>
#include <deque>
#include <memory>
#include <mutex>
#include <type_traits>

#include "service_fixture.h"

namespace qortest {

// A record filled with 0x5A, so a field the call leaves alone shows.
template <typename T>
std::unique_ptr<T> Filled() {
    auto p = std::make_unique<T>();
    memset(static_cast<void*>(p.get()), 0x5A, sizeof(T));
    return p;
}

inline Mac ToMac(const uint8_t* p) {
    Mac m{};
    memcpy(m.data(), p, m.size());
    return m;
}

// Threads of this process.
inline int ThreadCount() {
    int n = 0;
    DIR* d = opendir("/proc/self/task");
    if (!d) return -1;
    while (dirent* e = readdir(d)) n += e->d_name[0] != '.';
    closedir(d);
    return n;
}

// A set call, the register field it must leave at the unit, and the get call (if any) that
// must read the value back.
struct Field {
    const char* What;
    std::function<unsigned()> Set;
    int Reg, Shift;
    uint32_t Mask, Want;
    std::function<unsigned(uint32_t*)> Get;
};

// A row for set(lead..., value) and get(lead..., &out) whose out is a byte, a word or a double word.
template <typename S, typename G, typename... A>
Field Row(const char* what, int reg, int shift, uint32_t mask, uint32_t value, S set, G get, A... lead) {
    Field f{what, [=] { return set(lead..., value); }, reg, shift, mask, value, nullptr};
    if constexpr (!std::is_null_pointer_v<G>) {
        f.Get = [=](uint32_t* out) {
            using Out = std::conditional_t<
                std::is_invocable_v<G, A..., uint32_t*>, uint32_t,
                std::conditional_t<std::is_invocable_v<G, A..., uint16_t*>, uint16_t, uint8_t>>;
            Out o = 0;
            const unsigned rc = get(lead..., &o);
            *out = o;
            return rc;
        };
    }
    return f;
}

class LibraryTest : public ServiceTest {
  protected:
    void TearDown() override {
        vn_lib_free();
        ServiceTest::TearDown();
    }

    // The service with these units, then the library connected to it.
    void StartLibraryWithUnits(const std::vector<std::pair<std::string, Mac>>& units) {
        ASSERT_NO_FATAL_FAILURE(StartWithUnits(units));
        ASSERT_EQ(vn_lib_init(), 0);
        ASSERT_EQ(vn_get_service_connection_status(), 1);
    }

    // A word of the register file of mac_'s channel.
    uint32_t Reg(int chl, int offset) {
        const std::string a = sim_->Control("reg " + MacString(mac_) + " " + std::to_string(chl) + " " +
                                            std::to_string(offset));
        return static_cast<uint32_t>(std::stoul(a.substr(a.rfind(' ') + 1), nullptr, 16));
    }
    bool RegIs(int chl, int offset, int shift, uint32_t mask, uint32_t want) {
        return Eventually([&] { return ((Reg(chl, offset) >> shift) & mask) == want; }, 2s);
    }
    void SimOk(const std::string& line) { ASSERT_TRUE(sim_->Ok(line)) << line << ": " << sim_->LastAnswer(); }

    void Check(int chl, const std::vector<Field>& fields) {
        for (const Field& f : fields) {
            SCOPED_TRACE(f.What);
            EXPECT_EQ(f.Set(), 0u);
            EXPECT_TRUE(RegIs(chl, f.Reg, f.Shift, f.Mask, f.Want)) << std::hex << Reg(chl, f.Reg);
            if (f.Get) {
                uint32_t v = 0xDEAD;
                EXPECT_EQ(f.Get(&v), 0u);
                EXPECT_EQ(v, f.Want);
            }
        }
    }

    Mac mac_{};
};

// A stand-in for the management or an SIO port on 127.0.0.1: both take a 12-byte header with
// the code in bytes 4..5 and the payload length in bytes 8..11 (little-endian). A request gets
// the first queued reply for its code, else Fallback's bytes (none when it is empty).
struct Reply {
    uint16_t Code;
    std::vector<uint8_t> Bytes;
    bool Close = false;
    Clock::duration Delay{};
};

class ScriptedServer {
  public:
    ScriptedServer(uint16_t port, std::function<std::vector<uint8_t>(uint16_t)> fallback)
        : fallback_(std::move(fallback)), fd_(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
        const int one = 1;
        setsockopt(fd_.get(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));
        sockaddr_in a{AF_INET, htons(port), {htonl(INADDR_LOOPBACK)}, {}};
        ok_ = bind(fd_.get(), reinterpret_cast<sockaddr*>(&a), sizeof(a)) == 0 && listen(fd_.get(), 4) == 0;
        if (ok_) thread_ = std::thread([this] { Run(); });
    }
    ~ScriptedServer() {
        stop_ = true;
        shutdown(fd_.get(), SHUT_RDWR);
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (conn_ >= 0) shutdown(conn_, SHUT_RDWR);
        }
        if (thread_.joinable()) thread_.join();
    }
    bool Ok() const { return ok_; }
    void Play(Reply reply) {
        std::lock_guard<std::mutex> lock(mutex_);
        script_.push_back(std::move(reply));
    }

  private:
    void Run() {
        while (!stop_) {
            UniqueFd conn(accept4(fd_.get(), nullptr, nullptr, SOCK_CLOEXEC));
            if (!conn) return;
            SetConn(conn.get());
            for (bool open = true; open && !stop_;) {
                uint8_t h[12];
                if (recv(conn.get(), h, sizeof(h), MSG_WAITALL) != sizeof(h)) break;
                std::vector<uint8_t> payload(h[8] | h[9] << 8 | h[10] << 16 | h[11] << 24);
                if (!payload.empty() && recv(conn.get(), payload.data(), payload.size(), MSG_WAITALL) <= 0)
                    break;
                Reply r{static_cast<uint16_t>(h[4] | h[5] << 8), {}};
                {
                    std::lock_guard<std::mutex> lock(mutex_);
                    auto it = std::find_if(script_.begin(), script_.end(),
                                           [&](auto& s) { return s.Code == r.Code; });
                    if (it != script_.end()) {
                        r = *it;
                        script_.erase(it);
                    } else if (fallback_) {
                        r.Bytes = fallback_(r.Code);
                    }
                }
                std::this_thread::sleep_for(r.Delay);
                send(conn.get(), r.Bytes.data(), r.Bytes.size(), MSG_NOSIGNAL);
                open = !r.Close;
            }
            SetConn(-1);
        }
    }
    // The connection being served, which the destructor shuts down (a later one sees stop_).
    void SetConn(int fd) {
        std::lock_guard<std::mutex> lock(mutex_);
        conn_ = fd;
    }

    std::function<std::vector<uint8_t>(uint16_t)> fallback_;
    UniqueFd fd_;
    bool ok_ = false;
    std::atomic<bool> stop_{false};
    int conn_ = -1;
    std::mutex mutex_;
    std::deque<Reply> script_;
    std::thread thread_;
};

}  // namespace qortest
