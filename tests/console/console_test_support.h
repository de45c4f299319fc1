// Helpers for the console's tests: a scripted management service on a loopback port, the
// console's output captured in memory, and standard input fed from a pipe.
#pragma once

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "mng_client.h"
#include "mng_connect.h"
#include "mng_rx.h"
#include "pem_console.h"

namespace console_test {

using Bytes = std::vector<uint8_t>;

inline Bytes Cat(std::initializer_list<Bytes> parts) {
    Bytes all;
    for (const Bytes& p : parts) all.insert(all.end(), p.begin(), p.end());
    return all;
}
// V as N bytes, least significant first (Le) or last (Be).
inline Bytes Le(uint32_t v, int n) {
    Bytes b;
    for (int i = 0; i < n; ++i) b.push_back(static_cast<uint8_t>(v >> (8 * i)));
    return b;
}
inline Bytes Be32(uint32_t v) {
    const Bytes le = Le(v, 4);
    return {le.rbegin(), le.rend()};
}
inline uint32_t LeGet(const uint8_t* p, int n) {
    uint32_t v = 0;
    for (int i = n - 1; i >= 0; --i) v = (v << 8) | p[i];
    return v;
}

// A management packet: the 12-byte little-endian header, then the payload.
inline Bytes Packet(uint16_t code, uint16_t status, const Bytes& payload, uint8_t version = 1) {
    const auto n = static_cast<uint32_t>(payload.size());
    return Cat({{version, 0, 0, 0}, Le(code, 2), Le(status, 2), Le(n, 4), payload});
}

// Text in a field of N bytes, zero padded or cut.
inline Bytes Padded(const std::string& text, size_t n) {
    Bytes b(text.begin(), text.begin() + static_cast<long>(std::min(n, text.size())));
    b.resize(n, 0);
    return b;
}

inline Bytes Mac(uint8_t last) {
    return {0x02, 0x00, 0x00, 0x00, 0x00, last};
}

// A request as the fake service received it.
struct Request {
    uint8_t Version;
    uint16_t Code;
    uint16_t Status;
    uint32_t Length;
    Bytes Payload;
};

// One management client at a time on 127.0.0.1:<Port()>. Each request is handed to Answer,
// whose bytes (any bytes: hostile ones too) are sent back; an empty answer sends nothing.
class FakeService {
  public:
    std::function<Bytes(const Request&)> Answer = [](const Request& r) {
        return Packet(static_cast<uint16_t>(0x8000 | r.Code), 0, {});
    };

    FakeService() {
        listen_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}};
        socklen_t len = sizeof(a);
        if (bind(listen_, reinterpret_cast<sockaddr*>(&a), len) != 0 || listen(listen_, 4) != 0 ||
            getsockname(listen_, reinterpret_cast<sockaddr*>(&a), &len) != 0)
            abort();
        port_ = ntohs(a.sin_port);
        thread_ = std::thread([this] { Run(); });
    }
    // Shutting the sockets down ends the blocking accept and receive of the service thread.
    ~FakeService() {
        shutdown(listen_, SHUT_RDWR);
        Hangup();
        thread_.join();
        close(listen_);
    }
    uint16_t Port() const { return port_; }
    std::vector<Request> Requests() {
        std::lock_guard<std::mutex> g(m_);
        return requests_;
    }
    // Sends raw bytes to the connected client (events, unsolicited packets).
    void Push(const Bytes& bytes) {
        std::lock_guard<std::mutex> g(m_);
        if (client_ >= 0) SendAll(client_, bytes);
    }
    // Shuts the client connection down, as a service that went away.
    void Hangup() {
        std::lock_guard<std::mutex> g(m_);
        if (client_ >= 0) shutdown(client_, SHUT_RDWR);
    }
    bool WaitConnected() {
        for (int i = 0; i < 200; ++i, std::this_thread::sleep_for(std::chrono::milliseconds(10))) {
            std::lock_guard<std::mutex> g(m_);
            if (client_ >= 0) return true;
        }
        return false;
    }

  private:
    static void SendAll(int fd, const Bytes& b) {
        for (size_t done = 0; done < b.size();) {
            const ssize_t n = send(fd, b.data() + done, b.size() - done, MSG_NOSIGNAL);
            if (n <= 0) return;
            done += static_cast<size_t>(n);
        }
    }
    void Run() {
        for (int fd; (fd = accept4(listen_, nullptr, nullptr, SOCK_CLOEXEC)) >= 0;) {
            {
                std::lock_guard<std::mutex> g(m_);
                client_ = fd;
            }
            for (uint8_t h[12]; recv(fd, h, 12, MSG_WAITALL) == 12;) {
                Request r{h[0],
                          static_cast<uint16_t>(LeGet(h + 4, 2)),
                          static_cast<uint16_t>(LeGet(h + 6, 2)),
                          LeGet(h + 8, 4),
                          {}};
                r.Payload.resize(r.Length);
                if (r.Length &&
                    recv(fd, r.Payload.data(), r.Length, MSG_WAITALL) != static_cast<ssize_t>(r.Length))
                    break;
                {
                    std::lock_guard<std::mutex> g(m_);
                    requests_.push_back(r);
                }
                const Bytes answer = Answer(r);
                std::lock_guard<std::mutex> g(m_);
                SendAll(fd, answer);
            }
            std::lock_guard<std::mutex> g(m_);
            close(fd);
            client_ = -1;
        }
    }

    int listen_ = -1;
    int client_ = -1;
    uint16_t port_ = 0;
    std::mutex m_;
    std::vector<Request> requests_;
    std::thread thread_;
};

// The console's screen in memory; each screen clear shows as "<CLEAR>".
class OutputCapture {
  public:
    OutputCapture() {
        saved_ = PemOut;
        savedClear_ = PemClearScreenFn;
        PemOut = open_memstream(&buf_, &size_);
        PemClearScreenFn = [] { fputs("<CLEAR>", PemOut); };
    }
    ~OutputCapture() {
        fclose(PemOut);
        free(buf_);
        PemOut = saved_;
        PemClearScreenFn = savedClear_;
    }
    // Everything printed since the last Take().
    std::string Take() {
        fflush(PemOut);
        std::string all(buf_, size_);
        std::string fresh = all.substr(taken_);
        taken_ = all.size();
        return fresh;
    }

  private:
    FILE* saved_;
    void (*savedClear_)(void);
    char* buf_ = nullptr;
    size_t size_ = 0;
    size_t taken_ = 0;
};

// Standard input replaced by a pipe holding Text, then end of input.
class StdinFeed {
  public:
    explicit StdinFeed(const std::string& text) {
        int p[2];
        if (pipe(p) != 0) abort();
        saved_ = dup(STDIN_FILENO);
        dup2(p[0], STDIN_FILENO);
        close(p[0]);
        // Small scripts only: they fit the pipe, so the write never blocks.
        if (write(p[1], text.data(), text.size()) != static_cast<ssize_t>(text.size())) abort();
        close(p[1]);
        PemInputReset();
    }
    ~StdinFeed() {
        dup2(saved_, STDIN_FILENO);
        close(saved_);
        PemInputReset();
    }

  private:
    int saved_ = -1;
};

// A console client connected to a scripted service, its receive thread running, and the
// console's output captured.
class ConnectedClient : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_EQ(0, MngClientInit(&client));
        ASSERT_EQ(1, MngConnect(&client, service.Port()));
        ASSERT_EQ(1, MngRxThreadCreate(&client));
        ASSERT_TRUE(service.WaitConnected());
    }
    void TearDown() override {
        MngRxThreadDelete(&client);
        MngDisconnect(&client);
        MngClientFree(&client);
    }
    OutputCapture out;
    FakeService service;
    _MNG_CLIENT client;
};

inline int Count(const std::string& s, const std::string& what) {
    int n = 0;
    for (size_t i = s.find(what); i != std::string::npos; i = s.find(what, i + what.size())) ++n;
    return n;
}

}  // namespace console_test
