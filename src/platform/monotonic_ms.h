// The system's monotonic clock in milliseconds, for timing that must not follow changes of the
// wall clock (the output's sync interval).
#pragma once

#include <cstdint>

/* Milliseconds on the monotonic clock since an arbitrary start. Any thread. */
int64_t monotonic_milliseconds(void);
