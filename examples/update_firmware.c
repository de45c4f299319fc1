/* update_firmware: loads a firmware file into a unit, with a progress line per step.
 *
 *   update_firmware MAC FILE [PASSWORD]
 *
 * The unit is connected (if it is not yet), its configuration connection opened, the file
 * sent; the library prints "ZEPLIB : Programming N% OK" as the unit programs its flash. The
 * unit reboots afterwards and is reported lost.
 */
#include <qorio.h>
#include <stdio.h>
#include <string.h>

int main(int argc, char** argv) {
    unsigned int b[6];
    uint8_t mac[6];
    uint32_t sio_port = 0, ctu_port = 0;
    const char* password = argc > 3 ? argv[3] : NULL;
    int i, rc;
    if (argc < 3 || sscanf(argv[1], "%x:%x:%x:%x:%x:%x", &b[0], &b[1], &b[2], &b[3], &b[4], &b[5]) != 6) {
        fprintf(stderr, "usage: %s MAC FILE [PASSWORD]\n", argv[0]);
        return 2;
    }
    for (i = 0; i < 6; ++i) mac[i] = (uint8_t)b[i];

    if (vn_lib_init() != 0 || !vn_get_service_connection_status()) {
        fprintf(stderr, "qorservice is not reachable\n");
        return 1;
    }
    rc = vn_connect(mac, &sio_port, &ctu_port, password ? 1 : 0, (const uint8_t*)password,
                    password ? (int)strlen(password) : 0);
    if (rc == 0 || rc == 64) rc = ctu_connect(mac);
    if (rc == 0) {
        rc = ctu_update_firmware(mac, argv[2]);
        ctu_disconnect(mac);
    }
    if (rc == 0) {
        printf("firmware of %s updated\n", argv[1]);
    } else if (rc == VN_ERR_CTU_PROGRAMMING_FAIL) {
        fprintf(stderr, "the unit could not program the firmware\n");
    } else {
        fprintf(stderr, "update failed: %d\n", rc);
    }
    vn_lib_free();
    return rc == 0 ? 0 : 1;
}
