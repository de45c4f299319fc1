// Decoders of the service's management answers into the public records. Each reads only the
// PayloadLength bytes it is given and writes at most what the record holds.
#pragma once

#include <cstddef>

#include "mng_client.h"
#include "qorio.h"

namespace qorlib {

// Fixed-size unit records (28 bytes, or 36 with ports) back to back; 0, or 32 for none.
int MngDecodeUnitList(const _MNG_RESPONSE& r, size_t RecordLength, _VN_UNIT_LIST* pList);
// The detail record: the unit with ports, then its channel entries; 0, or 84 when short.
int MngDecodeDetail(const _MNG_RESPONSE& r, _VN_UNIT_RECORD* pUnit);
// NIC records (index, MAC, name length, name); 0, or 32 for none.
int MngDecodeNicList(const _MNG_RESPONSE& r, _VN_NIC_LIST* pList);
// Mapping records (MAC, k, k channel/minor pairs); 0, or 32 for none.
int MngDecodeMappingList(const _MNG_RESPONSE& r, _VN_MAPPING_LIST* pList);

}  // namespace qorlib
