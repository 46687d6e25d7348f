// What a capture buffer that came back short says about the loss or failure that ended it, one
// call for every system the capture runs on.
#pragma once

#include <cstdint>

#include "platform/platform.h"

#define BUFFER_PROBLEM_TEXT_SIZE 256 /* bytes in BufferProblem.text */
#define LOST_FRAMES_UNKNOWN (-1)     /* BufferProblem.lost_frames when the device cannot tell */

/* The problem that ended one buffer short, as the device saw it. */
struct BufferProblem {
    char text[BUFFER_PROBLEM_TEXT_SIZE]; /* one line: what happened and how much audio */
    int64_t lost_frames; /* frames the gap after the buffer's audio skipped, or unknown */
    bool device_failed;  /* the device failed for good: nothing more comes from it */
};

/* Fills *problem for header, which device handed back short (dwBytesRecorded less than
   dwBufferLength) through its callback. Each short buffer keeps its own problem until it is
   asked for or added again, however many losses come after it. Linux: the loss or failure the
   source reported, with the frames it measured. Windows: a buffer comes back short only at a
   reset, and its length is unknown. Main thread, after the buffer came back and before it is
   added again. */
void describe_short_buffer(HWAVEIN device, const WAVEHDR* header, BufferProblem* problem);
