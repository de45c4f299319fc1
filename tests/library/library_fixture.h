// Fixture for tests of libqorio against the real qorservice and qorsim in a lab: the service
// fixture plus the library's life (vn_lib_init in the test, vn_lib_free at the end) and
// records allocated with a guard area behind them.
#pragma once

#include <dirent.h>
#include <qorio.h>

#include <cstring>
#include <memory>

#include "service_fixture.h"

namespace qortest {

// A record of T followed by guard bytes; Intact() tells whether a call wrote past the record.
template <typename T>
class Guarded {
  public:
    Guarded() : mem_(new uint8_t[sizeof(T) + kGuard]) {
        memset(mem_.get(), 0x5A, sizeof(T) + kGuard);
    }
    T* get() { return reinterpret_cast<T*>(mem_.get()); }
    T* operator->() { return get(); }
    bool Intact() const {
        for (size_t i = 0; i < kGuard; ++i) {
            if (mem_[sizeof(T) + i] != 0x5A) return false;
        }
        return true;
    }

  private:
    static constexpr size_t kGuard = 4096;
    std::unique_ptr<uint8_t[]> mem_;
};

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
    while (dirent* e = readdir(d)) {
        if (e->d_name[0] != '.') ++n;
    }
    closedir(d);
    return n;
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
};

}  // namespace qortest
