// The netlink protocol and multicast group of the TTY driver. Compiled into each daemon
// binary with its own pair (QOR_NLK_PROTOCOL, QOR_NLK_GROUP), so the test build can talk to a
// user-space stand-in while the shipped service keeps the driver's numbers.
#include "nlk_service.h"

#if !defined(QOR_NLK_PROTOCOL) || !defined(QOR_NLK_GROUP)
#error "QOR_NLK_PROTOCOL and QOR_NLK_GROUP must be defined for this file"
#endif

const int NlkProtocol = QOR_NLK_PROTOCOL;
const int NlkGroup = QOR_NLK_GROUP;
