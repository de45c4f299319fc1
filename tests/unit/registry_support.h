// Unit registry state built by hand, and a poll helper, for the in-process tests of the
// registry and the link and for the management client fuzz target.
#pragma once

#include <pthread.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <thread>
#include <vector>

#include "nic_main.h"

// Polls cond every 2 ms until it holds; false once ms milliseconds have passed.
template <typename F>
bool WaitUntil(F cond, int ms = 2000) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    for (; !cond(); std::this_thread::sleep_for(std::chrono::milliseconds(2)))
        if (std::chrono::steady_clock::now() >= end) return false;
    return true;
}

// A NIC record holding only the list's reference, with its socket closed: whatever the
// service sends through it goes nowhere.
inline PNIC_DEVICE NewClosedNic(const char* name) {
    PNIC_DEVICE nic = new _NIC_DEVICE{};
    nic->Sock = -1;
    nic->RefCount.store(1);
    nic->TxMutexInit = 1;
    pthread_mutex_init(&nic->TxMutex, nullptr);
    snprintf(nic->InterfaceName, sizeof(nic->InterfaceName), "%s", name);
    return nic;
}

// An info structure as a unit sends it: the 28-byte unit header (model, version 2.7, DIB count
// and length), then DIBs of channel number, type, length in words, info byte and extra words.
struct InfoBuilder {
    std::vector<uint8_t> bytes = std::vector<uint8_t>(28, 0);
    explicit InfoBuilder(const char* model = "QV-1000XYZ") {
        memcpy(bytes.data() + 6, model, strnlen(model, 10));
        bytes[26] = 2;
        bytes[27] = 7;
    }
    InfoBuilder& Dib(uint8_t chl, uint8_t type, uint8_t info, std::vector<uint8_t> extra) {
        while (extra.size() % 4) extra.push_back(0);
        const auto words = static_cast<uint8_t>(1 + extra.size() / 4);
        bytes.insert(bytes.end(), {chl, type, words, info});
        bytes.insert(bytes.end(), extra.begin(), extra.end());
        ++bytes[24];
        bytes[25] = static_cast<uint8_t>(bytes[25] + words);
        return *this;
    }
};
