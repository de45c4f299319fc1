// Helpers for the console's tests: a scripted management service on a loopback port, the
// console's output captured in memory, and standard input fed from a pipe.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "mng_client.h"
#include "mng_connect.h"
#include "mng_rx.h"
#include "pem_console.h"

namespace console_test {

using Bytes = std::vector<uint8_t>;

inline Bytes Packet(uint16_t code, uint16_t status, const Bytes& payload, uint8_t version = 1,
                    int64_t lengthOverride = -1) {
    Bytes p(12, 0);
    p[0] = version;
    p[4] = static_cast<uint8_t>(code);
    p[5] = static_cast<uint8_t>(code >> 8);
    p[6] = static_cast<uint8_t>(status);
    p[7] = static_cast<uint8_t>(status >> 8);
    const uint32_t len =
        lengthOverride >= 0 ? static_cast<uint32_t>(lengthOverride) : static_cast<uint32_t>(payload.size());
    for (int i = 0; i < 4; ++i) p[8 + i] = static_cast<uint8_t>(len >> (8 * i));
    p.insert(p.end(), payload.begin(), payload.end());
    return p;
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
        listen_ = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        bind(listen_, reinterpret_cast<sockaddr*>(&a), sizeof(a));
        socklen_t len = sizeof(a);
        getsockname(listen_, reinterpret_cast<sockaddr*>(&a), &len);
        port_ = ntohs(a.sin_port);
        listen(listen_, 4);
        thread_ = std::thread([this] { Run(); });
    }
    ~FakeService() {
        stop_ = true;
        thread_.join();
        if (client_ >= 0) close(client_);
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
    // Closes the client connection, as a service that went away.
    void Hangup() {
        std::lock_guard<std::mutex> g(m_);
        if (client_ >= 0) {
            shutdown(client_, SHUT_RDWR);
        }
        hungUp_ = true;
    }
    bool WaitConnected(int ms = 2000) {
        for (int i = 0; i < ms / 10; ++i) {
            {
                std::lock_guard<std::mutex> g(m_);
                if (client_ >= 0) return true;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return false;
    }

  private:
    static void SendAll(int fd, const Bytes& b) {
        size_t done = 0;
        while (done < b.size()) {
            const ssize_t n = send(fd, b.data() + done, b.size() - done, MSG_NOSIGNAL);
            if (n <= 0) return;
            done += static_cast<size_t>(n);
        }
    }
    bool ReadExact(int fd, uint8_t* p, size_t n) {
        size_t done = 0;
        while (done < n) {
            pollfd pfd{fd, POLLIN, 0};
            if (poll(&pfd, 1, 50) <= 0) {
                if (stop_) return false;
                continue;
            }
            const ssize_t r = recv(fd, p + done, n - done, 0);
            if (r <= 0) return false;
            done += static_cast<size_t>(r);
        }
        return true;
    }
    void Run() {
        while (!stop_) {
            pollfd pfd{listen_, POLLIN, 0};
            if (poll(&pfd, 1, 50) <= 0) continue;
            const int fd = accept(listen_, nullptr, nullptr);
            if (fd < 0) continue;
            {
                std::lock_guard<std::mutex> g(m_);
                client_ = fd;
            }
            for (;;) {
                uint8_t h[12];
                if (!ReadExact(fd, h, 12)) break;
                Request r{};
                r.Version = h[0];
                r.Code = static_cast<uint16_t>(h[4] | (h[5] << 8));
                r.Status = static_cast<uint16_t>(h[6] | (h[7] << 8));
                r.Length = static_cast<uint32_t>(h[8] | (h[9] << 8) | (h[10] << 16) | (h[11] << 24));
                r.Payload.resize(r.Length);
                if (r.Length && !ReadExact(fd, r.Payload.data(), r.Length)) break;
                Bytes answer;
                {
                    std::lock_guard<std::mutex> g(m_);
                    requests_.push_back(r);
                    if (hungUp_) break;
                }
                answer = Answer(r);
                std::lock_guard<std::mutex> g(m_);
                if (!answer.empty()) SendAll(fd, answer);
            }
            std::lock_guard<std::mutex> g(m_);
            close(client_);
            client_ = -1;
        }
    }

    int listen_ = -1;
    int client_ = -1;
    uint16_t port_ = 0;
    std::atomic<bool> stop_{false};
    bool hungUp_ = false;
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
