/* dio_watch: sets one output line of a DIO channel and prints every change of an input bank,
 * line by line and then for the whole bank.
 *
 *   dio_watch MAC CHANNEL OUT_BANK OUT_LINE IN_BANK [SECONDS]   (default: 10 seconds)
 *
 * Build against an installed libqorio:
 *   cc -std=c99 dio_watch.c $(pkg-config --cflags --libs qorio) -o dio_watch
 */
#define _POSIX_C_SOURCE 200809L
#include <qorio.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

/* Both run on the library's receive thread: print, never call dio_* from here. */
static void on_line(uint8_t* mac, int channel, int bank, int line, uint8_t changed, uint8_t state) {
    (void)mac;
    if (changed) printf("channel %d bank %d line %d: %s\n", channel, bank, line, state ? "high" : "low");
}

static void on_bank(uint8_t* mac, int channel, int bank, uint32_t changed, uint32_t states) {
    (void)mac;
    printf("channel %d bank %d: changed 0x%08x, state 0x%08x\n", channel, bank, (unsigned)changed, (unsigned)states);
    fflush(stdout);
}

int main(int argc, char** argv) {
    unsigned int b[6], rc;
    uint8_t mac[6], info[DIO_INFO_SIZE];
    uint32_t sio_port = 0, ctu_port = 0, state = 0;
    int i, channel, out_bank, out_line, in_bank, lines, seconds = argc > 6 ? atoi(argv[6]) : 10;
    if (argc < 6 || sscanf(argv[1], "%x:%x:%x:%x:%x:%x", &b[0], &b[1], &b[2], &b[3], &b[4], &b[5]) != 6) {
        fprintf(stderr, "usage: %s MAC CHANNEL OUT_BANK OUT_LINE IN_BANK [SECONDS]\n", argv[0]);
        return 2;
    }
    for (i = 0; i < 6; ++i) mac[i] = (uint8_t)b[i];
    channel = atoi(argv[2]);
    out_bank = atoi(argv[3]);
    out_line = atoi(argv[4]);
    in_bank = atoi(argv[5]);

    if (vn_lib_init() != 0 || !vn_get_service_connection_status()) {
        fprintf(stderr, "qorservice is not reachable\n");
        return 1;
    }
    rc = (unsigned int)vn_connect(mac, &sio_port, &ctu_port, 0, NULL, 0);
    if (rc == 0 || rc == 64) rc = sio_init(mac, sio_port);
    if (rc == 0) rc = dio_get_info(mac, channel, info);
    if (rc != 0 || in_bank < 0 || in_bank >= info[1]) {
        fprintf(stderr, "DIO channel %d not usable: %u\n", channel, rc);
        sio_free(mac);
        vn_lib_free();
        return 1;
    }

    /* The output: its line set to 1, the rest of the bank as it was. */
    rc = dio_set_io_state(mac, channel, out_bank, out_line, 1);
    if (rc == 0) rc = dio_get_bank_state(mac, channel, out_bank, &state);
    printf("bank %d line %d set: %u, bank state 0x%08x\n", out_bank, out_line, rc, (unsigned)state);

    /* The input bank: a callback per line (they run first), then one for the bank. */
    lines = info[8 + 20 * in_bank + 1];
    for (i = 0, rc = 0; i < lines && rc == 0; ++i) rc = dio_set_io_event_callback(mac, channel, in_bank, i, on_line);
    if (rc == 0) rc = dio_set_bank_event_callback(mac, channel, in_bank, on_bank);
    if (rc != 0) fprintf(stderr, "bank %d takes no callbacks (%u: callbacks need a bank of inputs)\n", in_bank, rc);
    else printf("watching bank %d (%d lines) for %d s\n", in_bank, lines, seconds);
    fflush(stdout);
    if (rc == 0) sleep((unsigned int)seconds);

    sio_free(mac); /* joins the receive thread: no callback runs after this */
    vn_lib_free();
    return rc == 0 ? 0 : 1;
}
