// The firmware file checks: which bytes each checksum kind covers, the size rules and the
// order of the refusals.
#include <gtest/gtest.h>
#include <zlib.h>

#include <cstdint>
#include <vector>

#include "ctu_firmware_file.h"
#include "qor_wire.h"

namespace {

const uint8_t kModel[10] = {'V', 'N', '-', 'C', 'F', 'G', '1', 0, 0, 0};

struct Row {
    const char* Name;
    uint32_t Kind;
    uint32_t ImageSize;    // declared in the header
    size_t Blocks;         // 256-byte blocks present in the file
    size_t Trailing;       // bytes behind them
    bool CrcWithTrailing;  // stored CRC covers image and trailing bytes, else the image only
    uint8_t Type;
    uint16_t Expected;
};

std::vector<uint8_t> File(const Row& r) {
    std::vector<uint8_t> f(128 + r.Blocks * 256 + r.Trailing);
    for (size_t i = 128; i < f.size(); ++i) f[i] = static_cast<uint8_t>(i * 13);
    qor::PutBe32(&f[7], r.Kind);
    f[11] = r.Type;
    std::copy(kModel, kModel + 10, &f[12]);
    qor::PutBe32(&f[44], r.ImageSize);
    const size_t covered = r.CrcWithTrailing ? f.size() - 128 : r.Blocks * 256;
    qor::PutLe32(&f[49], static_cast<uint32_t>(crc32(0, f.data() + 128, static_cast<uInt>(covered))));
    return f;
}

TEST(CtuFirmwareCheck, ChecksumKindsSizesAndRefusalOrder) {
    const Row rows[] = {
        {"kind 0 is not compared", 0, 512, 2, 7, true, 2, 0},
        {"kind 1 is not compared", 1, 512, 2, 7, true, 2, 0},
        {"kind 2 covers the trailing bytes", 2, 512, 2, 7, true, 2, 0},
        {"kind 2 over the image only fails", 2, 512, 2, 7, false, 2, 71},
        {"kind 3 covers the image only", 3, 512, 2, 7, false, 2, 0},
        {"kind 3 over the trailing bytes fails", 3, 512, 2, 7, true, 2, 71},
        {"kinds above 3 cover the image only", 9, 512, 2, 7, false, 2, 0},
        {"kind 9 over the trailing bytes fails", 9, 512, 2, 7, true, 2, 71},
        {"size not a multiple of 256", 3, 1000, 4, 0, false, 2, 68},
        {"image larger than the file", 1, 768, 2, 255, false, 2, 68},
        {"type before model, size and CRC", 3, 1000, 1, 0, true, 5, 70},
        {"empty image", 3, 0, 0, 0, false, 2, 0},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.Name);
        const std::vector<uint8_t> f = File(r);
        _CTU_FIRMWARE_IMAGE img{};
        char why[64];
        EXPECT_EQ(CtuFirmwareCheck(f.data(), f.size(), 2, kModel, &img, why, sizeof(why)), r.Expected);
        if (r.Expected == 0) {
            uint32_t sum = 0;
            for (uint32_t i = 0; i < r.ImageSize; ++i) sum += f[128 + i];
            EXPECT_EQ(img.ImageSize, r.ImageSize);
            EXPECT_EQ(img.Sum, sum);
            EXPECT_EQ(img.Image, f.data() + 128);
        }
    }
    // Another model; a file cut inside the model name reads as zero-padded, so it differs too.
    std::vector<uint8_t> f = File(rows[1]);
    f[13] = 'X';
    _CTU_FIRMWARE_IMAGE img{};
    char why[64];
    EXPECT_EQ(CtuFirmwareCheck(f.data(), f.size(), 2, kModel, &img, why, sizeof(why)), 69);
    const std::vector<uint8_t> whole = File(rows[1]);
    EXPECT_EQ(CtuFirmwareCheck(whole.data(), 16, 2, kModel, &img, why, sizeof(why)), 69);
}

}  // namespace
