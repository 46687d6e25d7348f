// The monotonic clock of the POSIX platform layer (see monotonic_clock.h).
#include "platform/posix/monotonic_clock.h"

#include "platform/monotonic_ms.h"

timespec monotonic_now(void) {
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return now;
}

double monotonic_seconds(void) {
    timespec now = monotonic_now();
    return (double)now.tv_sec + (double)now.tv_nsec / 1e9;
}

int64_t monotonic_milliseconds(void) {
    timespec now = monotonic_now();
    return (int64_t)now.tv_sec * 1000 + now.tv_nsec / 1000000;
}
