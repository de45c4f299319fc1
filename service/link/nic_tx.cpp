#include <arpa/inet.h>
#include <errno.h>
#include <linux/if_packet.h>
#include <string.h>
#include <sys/socket.h>

#include "nic_main.h"
#include "pem_dbg.h"
#include "pem_lock.h"

int NicTx(PNIC_DEVICE pNic, const uint8_t* pDestMac, const uint8_t* TxBuff, int TxLength) {
    if (!pNic || !pDestMac || !TxBuff || TxLength < 1 || TxLength > static_cast<int>(kNicMaxPayload)) return 0;
    qor::MutexLock lock(&pNic->TxMutex);
    if (pNic->Sock < 0) return -1;  // the record left the NIC list; its socket is closed
    memset(pNic->TxBuff, 0, kNicBuffSize);
    memcpy(pNic->TxBuff, pDestMac, 6);
    memcpy(pNic->TxBuff + 6, pNic->Mac, 6);
    pNic->TxBuff[12] = static_cast<uint8_t>(kLinkEtherType >> 8);
    pNic->TxBuff[13] = static_cast<uint8_t>(kLinkEtherType & 0xFF);
    memcpy(pNic->TxBuff + kEthHeaderLength, TxBuff, static_cast<size_t>(TxLength));

    struct sockaddr_ll addr {};
    addr.sll_family = AF_PACKET;
    addr.sll_protocol = htons(kLinkEtherType);
    addr.sll_ifindex = pNic->Index;
    addr.sll_halen = 6;
    memcpy(addr.sll_addr, pDestMac, 6);
    const int frameLength = TxLength + static_cast<int>(kEthHeaderLength);
    const ssize_t nReturn = sendto(pNic->Sock, pNic->TxBuff, static_cast<size_t>(frameLength), 0,
                                   reinterpret_cast<struct sockaddr*>(&addr), sizeof(addr));
    if (nReturn < frameLength)
        PemDbg(1, 1, "NIC (%s), tx fail, nReturn:%d, TxLength:%d, errno:%d\n", pNic->InterfaceName,
               static_cast<int>(nReturn), TxLength, nReturn < 0 ? errno : 0);
    if (nReturn < 0) return -1;
    return static_cast<int>(nReturn) - static_cast<int>(kEthHeaderLength);
}
