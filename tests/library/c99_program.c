/* An application in plain C99 built against the installed header and library: the records
 * have the sizes and offsets of the interface and the library answers without a service. */
#include <qorio.h>
#include <stddef.h>
#include <stdio.h>
#include <string.h>

int main(void) {
    _VN_VERSION version;
    const int layout =
        sizeof(_VN_NIC_RECORD) == 71 && offsetof(_VN_NIC_LIST, Nic) == 4 && sizeof(_VN_CHL_RECORD) == 1272 &&
        offsetof(_VN_CHL_RECORD, UartRs232) == 652 && offsetof(_VN_CHL_RECORD, StrDeviceNameLength) == 664 &&
        offsetof(_VN_CHL_RECORD, MaiReferenceVoltage) == 752 && sizeof(_VN_UNIT_RECORD) == 81456 &&
        offsetof(_VN_UNIT_RECORD, CtuTcpPort) == 40 && offsetof(_VN_UNIT_RECORD, Chl) == 48 &&
        sizeof(_VN_UNIT_LIST) == 10426376 && sizeof(_VN_MAPPING_RECORD) == 140 &&
        offsetof(_VN_MAPPING_LIST, Mapping) == 4 && sizeof(_VN_VERSION) == 95;
    /* Not initialised: no connection to the service. */
    if (!layout || vn_get_version(&version) != 0 || strcmp(version.LibraryVersion, "20190808") != 0 ||
        vn_get_service_connection_status() != 0 || vn_get_all_nic_info(NULL) != 1) {
        puts("C99 program: a record layout or an answer without service is wrong");
        return 1;
    }
    puts("C99 program: ok");
    return 0;
}
