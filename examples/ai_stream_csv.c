/* ai_stream_csv: streams the samples of an analog input channel to stdout as CSV, one line
 * per data packet (the first sample of each, as the library passes it on).
 *
 *   ai_stream_csv MAC CHANNEL [PORT_MASK] [SECONDS]   (default: port 0, 10 seconds)
 *
 * Build against an installed libqorio:
 *   cc -std=c99 ai_stream_csv.c $(pkg-config --cflags --libs qorio) -o ai_stream_csv
 */
#define _POSIX_C_SOURCE 200809L
#include <qorio.h>
#include <stdio.h>
#include <stdlib.h>
#include <time.h>
#include <unistd.h>

static struct timespec g_start;

/* Runs on the library's receive thread: one line, no waiting. */
static void on_data(uint8_t* mac, int channel, uint8_t flag, uint16_t sample) {
    struct timespec now;
    (void)mac;
    clock_gettime(CLOCK_MONOTONIC, &now);
    printf("%.6f,%d,%u,%u\n", (double)(now.tv_sec - g_start.tv_sec) + (now.tv_nsec - g_start.tv_nsec) / 1e9, channel,
           flag, sample);
}

int main(int argc, char** argv) {
    unsigned int b[6], rc;
    uint8_t mac[6];
    uint32_t sio_port = 0, ctu_port = 0;
    int i, channel, mask = argc > 3 ? (int)strtol(argv[3], NULL, 0) : 1, seconds = argc > 4 ? atoi(argv[4]) : 10;
    if (argc < 3 || sscanf(argv[1], "%x:%x:%x:%x:%x:%x", &b[0], &b[1], &b[2], &b[3], &b[4], &b[5]) != 6) {
        fprintf(stderr, "usage: %s MAC CHANNEL [PORT_MASK] [SECONDS]\n", argv[0]);
        return 2;
    }
    for (i = 0; i < 6; ++i) mac[i] = (uint8_t)b[i];
    channel = atoi(argv[2]);

    if (vn_lib_init() != 0 || !vn_get_service_connection_status()) {
        fprintf(stderr, "qorservice is not reachable\n");
        return 1;
    }
    rc = (unsigned int)vn_connect(mac, &sio_port, &ctu_port, 0, NULL, 0);
    if (rc == 0 || rc == 64) rc = sio_init(mac, sio_port);
    if (rc == 0) rc = ai_set_data_callback(mac, channel, on_data);
    if (rc == 0) rc = ai_set_ports_enable(mac, channel, (uint16_t)mask);
    clock_gettime(CLOCK_MONOTONIC, &g_start);
    printf("seconds,channel,flag,sample\n");
    if (rc == 0) rc = ai_set_data_enable(mac, channel, 1);
    if (rc == 0) rc = ai_set_sample_enable(mac, channel, 1);
    if (rc != 0) {
        fprintf(stderr, "starting channel %d failed: %u\n", channel, rc);
        sio_free(mac);
        vn_lib_free();
        return 1;
    }
    sleep((unsigned int)seconds);
    ai_set_sample_enable(mac, channel, 0);
    ai_set_data_enable(mac, channel, 0);
    sio_free(mac);
    vn_lib_free();
    return 0;
}
