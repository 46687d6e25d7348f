// The RIFF/WAVE header and the rule that turns a count of capture buffers into a data length.
#pragma once

#include <cstdint>

#define WAVE_HEADER_SIZE 44
/* The RIFF size is the file length without "RIFF" and the size field itself. */
#define RIFF_SIZE_OVER_DATA (WAVE_HEADER_SIZE - 8)

/* How a recording is cut into capture buffers, at rate frames a second and per_second buffers a
   second: every buffer holds rate / per_second frames, and the first buffer of every second
   (an index that is a multiple of per_second) also the rate % per_second frames that do not
   divide evenly, so every run of per_second buffers from such an index is exactly one second.
   The frames in buffer `index` (counted from 0): */
uint32_t capture_buffer_frames(uint32_t rate, uint32_t per_second, uint64_t index);

/* The first frame of buffer `index` under the same rule. */
uint64_t capture_buffer_start(uint32_t rate, uint32_t per_second, uint64_t index);

/* Builds the 44-byte header for buffer_count capture buffers from the recording settings and
   appends it to the output with buffered_write. Returns the total file length (data size +
   44). The data size counts the whole seconds at the exact byte rate and the buffers of an
   unfinished second at the base length, without that second's extra frames. */
uint32_t emit_wave_header(int32_t buffer_count);

/* The same header for data_size bytes of audio (a part cut at a loss keeps the whole frames
   before it). Returns data_size + 44. */
uint32_t emit_wave_header_bytes(uint32_t data_size);
