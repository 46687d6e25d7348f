// Waiting for an input device that failed in a take in parts: tries at opening it every second,
// a stop request seen within a fraction of a second, and the length of the gap it left.
#include "capture/reconnect.h"

#include <cmath>

#include "capture/messages.h"
#include "driver/interrupt.h"
#include "platform/monotonic_ms.h"
#include "platform/platform.h"
#include "settings/settings.h"
#include "wave/part_handoff.h"

/* Sleeps until the monotonic time until_ms, in steps that see a stop request, on pause (an event
   nothing signals); the programs run for finished parts are reaped meanwhile. False when a stop
   came. */
static bool sleep_watching_stop(HANDLE pause, int64_t until_ms) {
    for (;;) {
        poll_part_commands();
        if (abort_requested.load()) return false;
        int64_t left = until_ms - monotonic_milliseconds();
        if (left <= 0) return true;
        WaitForSingleObject(pause, (DWORD)(left < RECONNECT_STEP_MS ? left : RECONNECT_STEP_MS));
    }
}

ReconnectEnd wait_for_device(bool (*try_open)(void* context), void* context, int64_t give_up_ms) {
    print_waiting_for_device();
    HANDLE pause = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    const int64_t start_ms = monotonic_milliseconds();
    ReconnectEnd end = RECONNECT_STOPPED;
    for (int64_t next_ms = start_ms; pause; next_ms += RECONNECT_TRY_MS) {
        int64_t until_ms = next_ms;
        if (give_up_ms >= 0 && start_ms + give_up_ms < until_ms) until_ms = start_ms + give_up_ms;
        if (!sleep_watching_stop(pause, until_ms)) break;
        if (until_ms < next_ms) {
            end = RECONNECT_TIME_UP;
            break;
        }
        if (try_open(context)) {
            end = RECONNECT_BACK;
            break;
        }
        if (abort_requested.load()) break;
    }
    if (pause) CloseHandle(pause);
    return end;
}

uint32_t gap_buffers(int64_t gone_ns) {
    const RecordingSettings& s = recording_settings;
    const uint32_t per_second = (uint32_t)s.buffers_per_second;
    if (gone_ns <= 0) return 0;
    /* At a rate that buffers do not divide, the first buffer of each second is a frame longer:
       whole seconds keep the take's buffers in their places. */
    if (s.format.nSamplesPerSec % per_second != 0)
        return (uint32_t)llroundl((long double)gone_ns / 1e9L) * per_second;
    return (uint32_t)llroundl((long double)gone_ns * per_second / 1e9L);
}

uint64_t gap_frames(int64_t gone_ns) {
    if (gone_ns <= 0) return 0;
    return (uint64_t)llroundl((long double)gone_ns * recording_settings.format.nSamplesPerSec /
                              1e9L);
}
