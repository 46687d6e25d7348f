// The reserve of the wave-input service: audio read from the source while no buffer is queued,
// kept in order together with the points where audio was lost or the device failed.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/win32_compat.h"

#define RESERVE_MARKS 16      /* losses and failures the reserve can hold at once */
#define RESERVE_TEXT_SIZE 160 /* one problem description */

/* A point in the reserved audio where the source reported a problem. */
struct ReserveMark {
    uint64_t position;            /* stream byte count at which the problem lies */
    bool failure;                 /* the device failed for good (else audio was lost) */
    int64_t lost_frames;          /* frames the loss skipped, -1 when unknown */
    char text[RESERVE_TEXT_SIZE]; /* the source's description of it */
};

/* A byte ring of whole sample frames. Positions count bytes since the last clear; bytes
   [taken, written) are held. Owned by one device and guarded by that device's lock. */
struct WaveReserve {
    BYTE* data;                       /* the ring, allocated by reserve_init */
    uint32_t size;                    /* ring bytes, a whole number of frames */
    uint64_t written;                 /* bytes put in since the last clear */
    uint64_t taken;                   /* bytes taken out since the last clear */
    ReserveMark marks[RESERVE_MARKS]; /* pending marks, a ring in stream order */
    unsigned first_mark;              /* index of the oldest pending mark */
    unsigned mark_count;              /* pending marks */
    bool ended;                       /* a failure mark was put: nothing may follow it */
};

/* Allocates size bytes (a whole number of frames). False when out of memory. */
bool reserve_init(WaveReserve* reserve, uint32_t size);
void reserve_free(WaveReserve* reserve);

/* Drops every byte and mark. */
void reserve_clear(WaveReserve* reserve);

/* True when neither bytes nor marks are held. */
bool reserve_empty(const WaveReserve* reserve);

/* The contiguous free span where the next bytes from the source may go: sets *dest and returns
   its length, or 0 when the reserve is full, has ended, or has no room for one more mark. */
uint32_t reserve_free_span(WaveReserve* reserve, BYTE** dest);

/* Accounts bytes written into the span from reserve_free_span. */
void reserve_commit(WaveReserve* reserve, uint32_t bytes);

/* Records a loss of lost_frames (-1: unknown) or, with failure, the device's end at the current
   write position. */
void reserve_mark(WaveReserve* reserve, bool failure, const char* text, int64_t lost_frames);

/* The mark at the read position, when the next thing to take is a problem, else null. */
const ReserveMark* reserve_due_mark(const WaveReserve* reserve);

/* Drops the mark that reserve_due_mark returned. */
void reserve_drop_mark(WaveReserve* reserve);

/* Copies up to max bytes into dest, oldest first, stopping short of the next mark. Returns the
   bytes copied. */
uint32_t reserve_take(WaveReserve* reserve, BYTE* dest, uint32_t max);
