// The RIFF/WAVE header and the rule that turns a count of capture buffers into a data length.
#pragma once

#include <cstdint>

#define WAVE_HEADER_SIZE 44

/* Builds the 44-byte header for buffer_count capture buffers from the recording settings and
   appends it to the output with buffered_write. Returns the total file length (data size +
   44). */
uint32_t emit_wave_header(int32_t buffer_count);
