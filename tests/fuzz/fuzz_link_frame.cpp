// Frames from units: arbitrary link bytes from a known unit (or a stranger) through the NIC
// receive dispatch, the TLP stream and the reply slot. The NIC's socket is closed, so the
// acknowledgements the stream sends fail quietly and nothing leaves the process.
#include <string.h>

#include <cstddef>
#include <cstdint>
#include <vector>

#include "../unit/registry_support.h"
#include "pem_dbg.h"
#include "vn_main.h"

namespace {

const uint8_t kNicMac[6] = {0x02, 0, 0, 0, 0, 0x01};
const uint8_t kUnitMac[6] = {0x02, 0, 0, 0, 0, 0x22};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static PNIC_DEVICE nic = [] {
        PemDbgBuffAlloc();
        PNIC_DEVICE n = NewClosedNic("fuzz0");
        memcpy(n->Mac, kNicMac, 6);
        VnMainAdd(n, kUnitMac);
        return n;
    }();
    if (size < 1) return 0;
    // First byte: bit 0 picks a stranger as sender, bit 1 maps the unit, the rest is the link.
    std::vector<uint8_t> frame(14);
    memcpy(frame.data(), kNicMac, 6);
    memcpy(frame.data() + 6, kUnitMac, 6);
    if (data[0] & 1) frame[11] ^= 0xFF;
    frame[12] = 0xD4;
    frame[13] = 0x1F;
    frame.insert(frame.end(), data + 1, data + size);
    if (frame.size() > kNicBuffSize) frame.resize(kNicBuffSize);
    if (VnRef unit = VnMainGetByMac(kUnitMac)) unit->IsMappingByHost = (data[0] >> 1) & 1;
    NicRxHandleFrame(nic, frame.data(), frame.size());
    return 0;
}
