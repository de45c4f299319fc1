/* The library's helpers used from plain C through the public header. */
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
    if (!PemListEmpty(&head)) return 1;
    PemListInsertTail(&head, &a.Entry);
    PemListInsertHead(&head, &b.Entry);
    if (((struct item*)PemListGetNext(&head))->value != 2) return 2;
    if (((struct item*)PemListGetPrev(&head))->value != 1) return 3;
    PemListRemoveEntry(&b.Entry);
    if (PemListGetNext(&head) != &a.Entry) return 4;

    struct timeval now;
    struct timespec deadline;
    gettimeofday(&now, NULL);
    PemSetTimeout(&deadline, 2500);
    long long delta_ms = ((long long)deadline.tv_sec - now.tv_sec) * 1000 + (deadline.tv_nsec / 1000000 - now.tv_usec / 1000);
    if (delta_ms < 2499 || delta_ms > 2600) return 5;
    puts("1 passed, 0 failed");
    return 0;
}
