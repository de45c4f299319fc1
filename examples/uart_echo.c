/* uart_echo: opens a UART channel of a unit, sets 115200 8N1 and sends back what arrives.
 *
 *   uart_echo MAC CHANNEL [SECONDS]   (default: 10 seconds)
 *
 * Build against an installed libqorio:
 *   cc -std=c99 uart_echo.c $(pkg-config --cflags --libs qorio) -o uart_echo
 */
#define _POSIX_C_SOURCE 200809L
#include <qorio.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

static uint8_t g_version; /* the channel's controller version, from ser_open */
static unsigned long g_bytes;

/* Runs on the library's receive thread: print and echo, never wait there. */
static void on_data(uint8_t* mac, int channel, uint8_t* data, int length) {
    uint8_t echo[2048];
    int i, n = 0;
    /* Versions 4 and 5 deliver (byte, status) pairs; the others the bytes alone. */
    const int step = g_version >= 4 ? 2 : 1;
    for (i = 0; i < length && n < (int)sizeof(echo); ++i) echo[n++] = data[i * step];
    printf("channel %d: %d bytes:", channel, n);
    for (i = 0; i < n && i < 16; ++i) printf(" %02x", echo[i]);
    printf("%s\n", n > 16 ? " ..." : "");
    fflush(stdout);
    for (i = 0; i < n; i += 1024) ser_write(mac, channel, echo + i, n - i > 1024 ? 1024 : n - i);
    g_bytes += (unsigned long)n;
}

static void on_line_status(uint8_t* mac, int channel, uint8_t flags, uint8_t high, uint8_t low) {
    (void)mac;
    printf("channel %d: line status 0x%02x, count %d\n", channel, flags, high * 256 + low);
}

int main(int argc, char** argv) {
    unsigned int b[6], rc;
    uint8_t mac[6], info[SER_INFO_SIZE];
    uint32_t sio_port = 0, ctu_port = 0;
    int i, channel, seconds = argc > 3 ? atoi(argv[3]) : 10;
    if (argc < 3 || sscanf(argv[1], "%x:%x:%x:%x:%x:%x", &b[0], &b[1], &b[2], &b[3], &b[4], &b[5]) != 6) {
        fprintf(stderr, "usage: %s MAC CHANNEL [SECONDS]\n", argv[0]);
        return 2;
    }
    for (i = 0; i < 6; ++i) mac[i] = (uint8_t)b[i];
    channel = atoi(argv[2]);

    if (vn_lib_init() != 0 || !vn_get_service_connection_status()) {
        fprintf(stderr, "qorservice is not reachable\n");
        return 1;
    }
    rc = (unsigned int)vn_connect(mac, &sio_port, &ctu_port, 0, NULL, 0);
    if (rc != 0 && rc != 64) {
        fprintf(stderr, "connect failed: %u\n", rc);
        vn_lib_free();
        return 1;
    }
    rc = sio_init(mac, sio_port);
    if (rc == 0) rc = ser_open(mac, channel, info);
    if (rc == 0) {
        g_version = info[0];
        /* Baud index 14 (115200), 8 data bits (3), no parity, 1 stop bit, no flow control. */
        rc = ser_setting(mac, channel, 14, 3, 0, 0, 0);
    }
    if (rc == 0) rc = ser_set_data_event_callback(mac, channel, on_data);
    if (rc == 0) rc = ser_set_lsr_event_callback(mac, channel, on_line_status);
    if (rc != 0) {
        fprintf(stderr, "opening channel %d failed: %u\n", channel, rc);
        sio_free(mac);
        vn_lib_free();
        return 1;
    }
    printf("channel %d (controller version %u) open at 115200 8N1, echoing for %d s\n", channel, g_version, seconds);
    fflush(stdout);
    sleep((unsigned int)seconds);

    ser_close(mac, channel);
    sio_free(mac); /* joins the receive thread: no callback runs after this */
    printf("echoed %lu bytes\n", g_bytes);
    vn_lib_free();
    return 0;
}
