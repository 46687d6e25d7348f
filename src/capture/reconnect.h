// Waiting for an input device that failed in a take in parts: the tries to open it again, and
// how much of the take the time it was gone stands for.
#pragma once

#include <cstdint>

#define RECONNECT_TRY_MS 1000 /* time between two tries at opening the device again */
#define RECONNECT_STEP_MS 50  /* longest time a stop request waits to be seen */

/* How the wait for the device ended. */
enum ReconnectEnd {
    RECONNECT_BACK,    /* try_open opened the device */
    RECONNECT_STOPPED, /* a stop was requested */
    RECONNECT_TIME_UP  /* the take's planned end came first */
};

/* Prints the waiting line, then calls try_open(context) at once and every RECONNECT_TRY_MS
   until it returns true, watching the stop request (abort_requested) every RECONNECT_STEP_MS.
   With give_up_ms at 0 or more, the wait ends after that many ms (the rest of a take of fixed
   length) unless the device opened first; -1 waits for as long as it takes. Main thread. */
ReconnectEnd wait_for_device(bool (*try_open)(void* context), void* context, int64_t give_up_ms);

/* The capture buffers that the time gone_ns stands for: the nearest whole buffer, or whole second
   when the buffers do not divide the rate. */
uint32_t gap_buffers(int64_t gone_ns);

/* The frames that the time gone_ns stands for (nearest whole frame), at the recording's rate. */
uint64_t gap_frames(int64_t gone_ns);
