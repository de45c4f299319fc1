#include "ctu_firmware_file.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <new>

#include "ctu_protocol.h"
#include "qor_wire.h"

namespace {

class Fd {
  public:
    explicit Fd(int fd) : fd_(fd) {}
    ~Fd() {
        if (fd_ >= 0) close(fd_);
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    int get() const { return fd_; }

  private:
    int fd_;
};

uint32_t _Crc32(const uint8_t* p, size_t n) {
    uLong crc = crc32(0L, Z_NULL, 0);
    while (n > 0) {
        const uInt chunk = static_cast<uInt>(std::min<size_t>(n, 1u << 30));
        crc = crc32(crc, p, chunk);
        p += chunk;
        n -= chunk;
    }
    return static_cast<uint32_t>(crc);
}

}  // namespace

uint16_t CtuFirmwareFileRead(const char* pPath, std::vector<uint8_t>* pOut) {
    pOut->clear();
    // Looked at before it is opened: opening some devices has effects of its own.
    struct stat before {};
    if (stat(pPath, &before) != 0 || !S_ISREG(before.st_mode)) return CTU_STATUS_FIRMWARE_FILE_OPEN_FAIL;
    // Non-blocking and checked again on the open descriptor: the path may have been replaced
    // by a FIFO or a link to a device in between.
    Fd fd(open(pPath, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    if (fd.get() < 0) return CTU_STATUS_FIRMWARE_FILE_OPEN_FAIL;
    struct stat st {};
    if (fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) return CTU_STATUS_FIRMWARE_FILE_OPEN_FAIL;
    if (st.st_size <= 0) return CTU_STATUS_FIRMWARE_FILE_NO_CONTENT;
    if (static_cast<uint64_t>(st.st_size) > kCtuFirmwareFileMax)
        return CTU_STATUS_FIRMWARE_MEMORY_MALLOC_FAIL;
    const size_t length = static_cast<size_t>(st.st_size);
    try {
        pOut->assign(length, 0);
    } catch (const std::bad_alloc&) {
        return CTU_STATUS_FIRMWARE_MEMORY_MALLOC_FAIL;
    }
    size_t have = 0;
    while (have < length) {
        const ssize_t n = read(fd.get(), pOut->data() + have, length - have);
        if (n > 0) {
            have += static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        break;  // end of file or an error: the file shrank or cannot be read
    }
    if (have < length) {
        pOut->resize(have);
        return CTU_STATUS_FIRMWARE_FILE_READ_FAIL;
    }
    return 0;
}

uint16_t CtuFirmwareCheck(const uint8_t* pFile, size_t Length, uint8_t UnitType, const uint8_t* pModel,
                          _CTU_FIRMWARE_IMAGE* pOut, char* pWhy, size_t WhySize) {
    uint8_t hdr[kCtuFirmwareHeaderLength] = {};
    memcpy(hdr, pFile, std::min(Length, kCtuFirmwareHeaderLength));
    _CTU_FIRMWARE_IMAGE img{};
    img.ChecksumKind = qor::GetBe32(hdr + 7);
    img.UnitType = hdr[11];
    img.ImageSize = qor::GetBe32(hdr + 44);
    img.WaitTime = hdr[48];
    img.StoredCrc = qor::GetLe32(hdr + 49);
    if (img.UnitType != UnitType) {
        snprintf(pWhy, WhySize, "VN type not match");
        return CTU_STATUS_FIRMWARE_VN_TYPE_NOT_MATCH;
    }
    if (memcmp(hdr + 12, pModel, 10) != 0) {
        snprintf(pWhy, WhySize, "model not match");
        return CTU_STATUS_FIRMWARE_MODEL_NOT_MATCH;
    }
    const size_t content = Length > kCtuFirmwareHeaderLength ? Length - kCtuFirmwareHeaderLength : 0;
    // An image larger than the file holds is refused like a size that is no multiple of a
    // block: it would be read past the end of the file.
    if (img.ImageSize % kCtuFirmwareBlockLength != 0 || img.ImageSize > content) {
        snprintf(pWhy, WhySize, "size invalid x%08x", img.ImageSize);
        return CTU_STATUS_FIRMWARE_SIZE_INVALID;
    }
    const uint8_t* image = pFile + std::min(Length, kCtuFirmwareHeaderLength);
    if (img.ChecksumKind == 2)
        img.Crc = _Crc32(image, content);
    else if (img.ChecksumKind > 2)
        img.Crc = _Crc32(image, img.ImageSize);
    // Only kinds 2 and above carry a CRC to compare; 0 and 1 are taken as they are.
    if (img.ChecksumKind >= 2 && img.Crc != img.StoredCrc) {
        snprintf(pWhy, WhySize, "checksum not match");
        return CTU_STATUS_FIRMWARE_CHECKSUM_NOT_MATCH;
    }
    for (uint32_t i = 0; i < img.ImageSize; ++i) img.Sum += image[i];
    img.Image = image;
    *pOut = img;
    if (WhySize) pWhy[0] = 0;
    return 0;
}
