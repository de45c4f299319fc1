/* list_and_connect: lists the units qorservice finds and connects one of them.
 *
 *   list_and_connect                 list the units
 *   list_and_connect MAC [PASSWORD]  list them, then connect the unit with this MAC
 *
 * Build against an installed libqorio:
 *   cc -std=c99 list_and_connect.c $(pkg-config --cflags --libs qorio) -o list_and_connect
 */
#include <qorio.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

static int parse_mac(const char* text, uint8_t mac[6]) {
    unsigned int b[6];
    int i;
    if (sscanf(text, "%x:%x:%x:%x:%x:%x", &b[0], &b[1], &b[2], &b[3], &b[4], &b[5]) != 6) return 0;
    for (i = 0; i < 6; ++i) {
        if (b[i] > 0xFF) return 0;
        mac[i] = (uint8_t)b[i];
    }
    return 1;
}

static void print_mac(const uint8_t* m) {
    printf("%.2x:%.2x:%.2x:%.2x:%.2x:%.2x", m[0], m[1], m[2], m[3], m[4], m[5]);
}

int main(int argc, char** argv) {
    /* The unit list is large (128 units with 64 channels each): keep it off the stack. */
    _VN_UNIT_LIST* units = malloc(sizeof(*units));
    uint8_t mac[6];
    uint32_t i, sio_port = 0, ctu_port = 0;
    int rc, status = 0;
    if (!units) return 1;
    if (argc > 1 && !parse_mac(argv[1], mac)) {
        fprintf(stderr, "usage: %s [MAC [PASSWORD]]\n", argv[0]);
        free(units);
        return 2;
    }

    rc = vn_lib_init();
    if (rc != 0 || !vn_get_service_connection_status()) {
        fprintf(stderr, "qorservice is not reachable (%d)\n", rc);
        free(units);
        return 1;
    }

    rc = vn_search_vn(units);
    if (rc == VN_ERR_EMPTY_ANSWER) {
        printf("no units found\n");
    } else if (rc != 0) {
        fprintf(stderr, "search failed: %d\n", rc);
        status = 1;
    }
    for (i = 0; rc == 0 && i < units->Count; ++i) {
        const _VN_UNIT_RECORD* u = &units->Unit[i];
        print_mac(u->VnMac);
        printf("  %-10.10s  version %u.%u  %u channels  %s\n", u->ModelName, u->MajorVersion, u->MinorVersion,
               u->AvailableChls, u->LinkStatus ? "connected" : "free");
    }

    if (status == 0 && argc > 1) {
        const char* password = argc > 2 ? argv[2] : NULL;
        rc = vn_connect(mac, &sio_port, &ctu_port, password ? 1 : 0, (const uint8_t*)password,
                        password ? (int)strlen(password) : 0);
        if (rc == 0 || rc == 64) {
            print_mac(mac);
            printf(" %s: channel port %u, configuration port %u\n", rc == 0 ? "connected" : "was connected already",
                   sio_port, ctu_port);
        } else {
            fprintf(stderr, "connect failed: %d\n", rc);
            status = 1;
        }
    }

    vn_lib_free();
    free(units);
    return status;
}
