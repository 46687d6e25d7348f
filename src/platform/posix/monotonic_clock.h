// The monotonic clock that every timed piece of the POSIX platform layer reads.
#pragma once

#include <ctime>

/* Now on CLOCK_MONOTONIC. Any thread. */
timespec monotonic_now(void);

/* Now on CLOCK_MONOTONIC, in seconds. Any thread. */
double monotonic_seconds(void);
