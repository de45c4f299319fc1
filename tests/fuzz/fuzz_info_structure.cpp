// Info structures from units: arbitrary payloads of arbitrary length into the decoder, with
// one unit record kept across inputs so record reuse is exercised too.
#include <cstddef>
#include <cstdint>
#include <memory>

#include "vn_get_info.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static std::unique_ptr<_VN_DEVICE> vn(new _VN_DEVICE{});
    VnGetInfoDecode(vn.get(), data, size);
    // Every slot the record calls valid must lie inside the table and hold sane counts.
    if (vn->AvailableChls > kVnMaxChannels) __builtin_trap();
    for (int i = 0; i < vn->AvailableChls; ++i) {
        const _DIB& dib = vn->DibArray[i];
        if (dib.DioPtr && dib.DioPtr->NumberOfBanks > kDibMaxDioBanks) __builtin_trap();
        if (dib.AiPtr && dib.AiPtr->NumberOfInputPorts > kDibMaxPorts) __builtin_trap();
        if (dib.MAiPtr && dib.MAiPtr->NumberOfInputPorts > kDibMaxPorts) __builtin_trap();
        (void)VnGetChannelType(vn.get(), dib.ChlNumber);
    }
    return 0;
}
