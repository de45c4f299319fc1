/* The library's helpers used from plain C through the public header (behaviour: unit tests). */
#include <qorio.h>
#include <stdio.h>
#include <sys/time.h>

struct item {
    _DLIST Entry;
    int value;
};

int main(void) {
    _DLIST head;
    struct item a = {{0, 0}, 1}, b = {{0, 0}, 2};
    PemListInit(&head);
    PemListInsertTail(&head, &a.Entry);
    PemListInsertHead(&head, &b.Entry);
    if (((struct item*)PemListGetNext(&head))->value != 2) return 1;
    PemListRemoveEntry(&b.Entry);
    if (PemListGetPrev(&head) != &a.Entry) return 2;

    struct timeval now;
    struct timespec deadline;
    gettimeofday(&now, NULL);
    PemSetTimeout(&deadline, 2500);
    long long delta_ms =
        ((long long)deadline.tv_sec - now.tv_sec) * 1000 + (deadline.tv_nsec / 1000000 - now.tv_usec / 1000);
    if (delta_ms < 2499 || delta_ms > 2600) return 3;
    puts("1 passed, 0 failed");
    return 0;
}
