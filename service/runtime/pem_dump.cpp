#include <stdio.h>
#include <string.h>

#include "pem_dbg.h"

void PemDumpTxLine(size_t Length, int IsRetransmission) {
    if (IsRetransmission)
        PemDbg(0, 0, "-------------------------------, Length:%d, Is Retransmission\n", static_cast<int>(Length));
    else
        PemDbg(0, 0, "-------------------------------, Length:%d\n", static_cast<int>(Length));
}

void PemDumpRxLine(size_t Length) {
    PemDbg(0, 0, "+++++++++++++++++++++++++++++++, Length:%d\n", static_cast<int>(Length));
}

void PemDumpBytes(const uint8_t* p, size_t Length) {
    PemDbg(0, 0, "***************************\n");
    // One message per line of 16 bytes ("x%02x " is 4 characters each).
    char line[16 * 5 + 2];
    for (size_t i = 0; i < Length; i += 16) {
        size_t used = 0;
        for (size_t j = i; j < Length && j < i + 16; ++j)
            used += static_cast<size_t>(snprintf(line + used, sizeof(line) - used, "x%02x ", p[j]));
        PemDbg(0, 0, "%s\n", line);
    }
    PemDbg(0, 0, "***************************\n");
}
