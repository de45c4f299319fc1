// Deadline and single-key helpers shared by all deliverables.
#pragma once

#include <time.h>

#ifdef __cplusplus
extern "C" {
#endif

// Fills pTimeSpec with the wall-clock time TimeOut milliseconds from now, the deadline form
// that timed condition waits on a default condition variable expect.
void PemSetTimeout(struct timespec* pTimeSpec, unsigned int TimeOut);

// Next byte typed on standard input, without echo and without waiting for a line end;
// 0 when no byte could be read.
int PemGetche(void);

#ifdef __cplusplus
}
#endif
