/* mai_read: reads one calibrated value from a port of a multi-function analog input channel
 * (volts, or the unit of the port's input type) and prints it.
 *
 *   mai_read MAC CHANNEL PORT [SECONDS]   (default: wait up to 5 seconds for a sample)
 *
 * The library converts the unit's raw samples with the port's calibration pair, which it reads
 * from the unit's calibration table the first time; a sample outside every calibration interval
 * has no value (NaN).
 *
 * Build against an installed libqorio:
 *   cc -std=c99 mai_read.c $(pkg-config --cflags --libs qorio) -o mai_read
 */
#define _POSIX_C_SOURCE 200809L
#include <qorio.h>
#include <stdio.h>
#include <stdlib.h>
#include <time.h>

static int g_port;
static volatile int g_have;
static double g_value;

/* Runs on the library's receive thread: keep the first value of our port. */
static void on_data(uint8_t* mac, int channel, int port, double value) {
    (void)mac;
    (void)channel;
    if (port == g_port && !g_have) {
        g_value = value;
        g_have = 1;
    }
}

int main(int argc, char** argv) {
    unsigned int b[6], rc;
    uint8_t mac[6];
    uint32_t sio_port = 0, ctu_port = 0;
    int i, channel, tenths, seconds = argc > 4 ? atoi(argv[4]) : 5;
    const struct timespec tenth = {0, 100000000};
    if (argc < 4 || sscanf(argv[1], "%x:%x:%x:%x:%x:%x", &b[0], &b[1], &b[2], &b[3], &b[4], &b[5]) != 6) {
        fprintf(stderr, "usage: %s MAC CHANNEL PORT [SECONDS]\n", argv[0]);
        return 2;
    }
    for (i = 0; i < 6; ++i) mac[i] = (uint8_t)b[i];
    channel = atoi(argv[2]);
    g_port = atoi(argv[3]);

    if (vn_lib_init() != 0 || !vn_get_service_connection_status()) {
        fprintf(stderr, "qorservice is not reachable\n");
        return 1;
    }
    rc = (unsigned int)vn_connect(mac, &sio_port, &ctu_port, 0, NULL, 0);
    if (rc == 0 || rc == 64) rc = sio_init(mac, sio_port);
    /* Registration reads the channel's settings and the unit's calibration table. */
    if (rc == 0) rc = mai_set_data_callback(mac, channel, on_data);
    if (rc == MAI_ERR_CALIBRATION) fprintf(stderr, "the unit's calibration table could not be read\n");
    if (rc == 0 && g_port >= 0 && g_port < 16) rc = mai_set_ports_enable(mac, channel, (uint16_t)(1u << g_port));
    if (rc == 0) rc = mai_set_data_enable(mac, channel, 1);
    if (rc == 0) rc = mai_set_sample_enable(mac, channel, 1);
    for (tenths = 0; rc == 0 && !g_have && tenths < 10 * seconds; ++tenths) nanosleep(&tenth, NULL);
    if (rc == 0) {
        mai_set_sample_enable(mac, channel, 0);
        mai_set_data_enable(mac, channel, 0);
    }
    sio_free(mac); /* joins the receive thread */
    vn_lib_free();
    if (rc != 0) {
        fprintf(stderr, "channel %d: %u\n", channel, rc);
        return 1;
    }
    if (!g_have) {
        fprintf(stderr, "no sample from port %d within %d s\n", g_port, seconds);
        return 1;
    }
    printf("channel %d port %d: %.6f\n", channel, g_port, g_value);
    return 0;
}
