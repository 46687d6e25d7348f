// The system clock and the time of a buffer's first frame on Windows: the device's position in
// samples against the precise system time.
#include "platform/capture_clock.h"

#define UNIX_EPOCH_FILETIME 116444736000000000LL /* 1970-01-01 in 100-ns units since 1601 */

/* The frames of the device's buffers asked for so far. Main thread only. */
static struct {
    HWAVEIN device;  /* the device they came from */
    uint64_t frames; /* frames of the buffers asked for so far */
} buffers_seen;

int64_t system_clock_ns(void) {
    FILETIME now;
    GetSystemTimePreciseAsFileTime(&now);
    int64_t ticks = (int64_t)(((uint64_t)now.dwHighDateTime << 32) | now.dwLowDateTime);
    return (ticks - UNIX_EPOCH_FILETIME) * 100;
}

/* The device's position in frames now, its 32-bit count widened to the value nearest `expected`.
   False when the device does not say. */
static bool device_position(HWAVEIN device, const WAVEFORMATEX* format, uint64_t expected,
                            uint64_t* frames) {
    MMTIME time;
    time.wType = TIME_SAMPLES;
    if (waveInGetPosition(device, &time, sizeof time) != MMSYSERR_NOERROR) return false;
    uint32_t low;
    if (time.wType == TIME_SAMPLES)
        low = time.u.sample;
    else if (time.wType == TIME_BYTES && format->nBlockAlign > 0)
        low = time.u.cb / format->nBlockAlign;
    else
        return false;
    uint64_t position = (expected & ~0xFFFFFFFFull) | low;
    if (position + 0x80000000ull < expected) position += 0x100000000ull;
    if (position > expected + 0x80000000ull && position >= 0x100000000ull)
        position -= 0x100000000ull;
    *frames = position;
    return true;
}

bool wave_in_buffer_time(HWAVEIN device, const WAVEFORMATEX* format, const WAVEHDR* header,
                         int64_t* unix_ns) {
    if (format->nBlockAlign == 0 || format->nSamplesPerSec == 0) return false;
    int64_t now = system_clock_ns();
    if (buffers_seen.device != device) {
        buffers_seen.device = device;
        buffers_seen.frames = 0;
    }
    uint64_t first = buffers_seen.frames;
    buffers_seen.frames += header->dwBytesRecorded / format->nBlockAlign;
    /* Without the position, the buffer is taken to have just completed. */
    uint64_t position = buffers_seen.frames;
    if (!device_position(device, format, buffers_seen.frames, &position) || position < first)
        position = buffers_seen.frames;
    *unix_ns = now - (int64_t)((position - first) * 1000000000ull / format->nSamplesPerSec);
    return true;
}
