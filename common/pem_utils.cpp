#include "pem_utils.h"

#include <string.h>
#include <sys/time.h>
#include <termios.h>
#include <unistd.h>

#include "pem_export.h"

extern "C" {

QOR_EXPORT void PemSetTimeout(struct timespec* pTimeSpec, unsigned int TimeOut) {
    memset(pTimeSpec, 0, sizeof(*pTimeSpec));
    struct timeval now {};
    gettimeofday(&now, nullptr);
    const unsigned int wholeSeconds = TimeOut / 1000;
    const unsigned int remainingMs = TimeOut % 1000;
    long long sec = static_cast<long long>(now.tv_sec) + wholeSeconds;
    long long nsec = static_cast<long long>(now.tv_usec) * 1000LL + static_cast<long long>(remainingMs) * 1000000LL;
    sec += nsec / 1000000000LL;
    nsec %= 1000000000LL;
    pTimeSpec->tv_sec = static_cast<time_t>(sec);
    pTimeSpec->tv_nsec = static_cast<long>(nsec);
}

int PemGetche(void) {
    struct termios saved {};
    const bool haveTerminal = tcgetattr(STDIN_FILENO, &saved) == 0;
    if (haveTerminal) {
        struct termios raw = saved;
        raw.c_lflag &= static_cast<tcflag_t>(~(ICANON | ECHO));
        raw.c_cc[VMIN] = 1;
        raw.c_cc[VTIME] = 0;
        tcsetattr(STDIN_FILENO, TCSANOW, &raw);
    }
    unsigned char byte = 0;
    const ssize_t n = read(STDIN_FILENO, &byte, 1);
    if (haveTerminal) tcsetattr(STDIN_FILENO, TCSANOW, &saved);
    return n == 1 ? byte : 0;
}

}  // extern "C"
