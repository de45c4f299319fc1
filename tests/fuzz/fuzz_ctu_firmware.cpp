// The firmware file checks: any file contents and sizes, read back through the same reader
// the service uses (from a memory file, so every size takes the regular-file path), checked
// for a unit whose type and model the first 11 input bytes choose.
//
// Checked: an accepted image is a whole number of 256-byte blocks inside the file, its byte
// sum is the one sent behind the last block, and for checksum kinds 2 and above the file's
// CRC matches; a refused file gets one of the statuses the checks may give.
#include <stdio.h>
#include <sys/mman.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "ctu_firmware_file.h"
#include "qor_wire.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 11) return 0;
    const uint8_t unitType = data[0];
    const uint8_t* model = data + 1;
    const uint8_t* file = data + 11;
    const size_t length = size - 11;

    const int fd = memfd_create("fw", MFD_CLOEXEC);
    if (fd < 0) __builtin_trap();
    size_t put = 0;
    while (put < length) {
        const ssize_t n = write(fd, file + put, length - put);
        if (n <= 0) __builtin_trap();
        put += static_cast<size_t>(n);
    }
    char path[64];
    snprintf(path, sizeof(path), "/proc/self/fd/%d", fd);
    std::vector<uint8_t> bytes;
    const uint16_t read = CtuFirmwareFileRead(path, &bytes);
    close(fd);
    if (length == 0) {
        if (read != 66) __builtin_trap();
        return 0;
    }
    if (read != 0 || bytes.size() != length) __builtin_trap();

    _CTU_FIRMWARE_IMAGE img{};
    char why[64];
    const uint16_t st = CtuFirmwareCheck(bytes.data(), bytes.size(), unitType, model, &img, why, sizeof(why));
    if (st != 0) {
        if (st != 68 && st != 69 && st != 70 && st != 71) __builtin_trap();
        return 0;
    }
    // A file shorter than its header reads as zero-padded: only an empty image passes then.
    const size_t content = length > 128 ? length - 128 : 0;
    if (img.ImageSize % 256 != 0 || img.ImageSize > content) __builtin_trap();
    if (img.Image != bytes.data() + (length > 128 ? 128 : length)) __builtin_trap();
    uint32_t sum = 0;
    for (uint32_t i = 0; i < img.ImageSize; ++i) sum += img.Image[i];
    if (sum != img.Sum) __builtin_trap();
    // The header, reading past a short file as zero bytes.
    std::vector<uint8_t> head = bytes;
    head.resize(std::max<size_t>(length, 128));
    const uint32_t kind = qor::GetBe32(&head[7]);
    if (kind >= 2) {
        const size_t covered = kind == 2 ? content : img.ImageSize;
        const uint32_t crc =
            static_cast<uint32_t>(crc32(crc32(0L, Z_NULL, 0), img.Image, static_cast<uInt>(covered)));
        if (crc != qor::GetLe32(&head[49])) __builtin_trap();
    }
    return 0;
}
