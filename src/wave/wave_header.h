// The RIFF/WAVE header, plain or RF64, and the rule that turns a count of capture buffers into a
// data length.
#pragma once

#include <cstdint>

#define WAVE_HEADER_SIZE 44     /* the plain header: a 16-byte "fmt " chunk, no "ds64" */
#define FMT_EXTENSIBLE_EXTRA 24 /* cbSize, valid bits, channel mask and sub-format GUID */
#define DS64_CHUNK_SIZE 36      /* "ds64", its size, three 64-bit sizes and a table length */
#define BEXT_DATA_SIZE 602      /* a version 1 "bext" chunk's fields, no coding history */
#define BEXT_CHUNK_SIZE (8 + BEXT_DATA_SIZE) /* "bext", its size and its fields (-e) */
#define WAVE_HEADER_SIZE_MAX                                                                       \
    (WAVE_HEADER_SIZE + FMT_EXTENSIBLE_EXTRA + DS64_CHUNK_SIZE + BEXT_CHUNK_SIZE)

/* How a recording is cut into capture buffers, at rate frames a second and per_second buffers a
   second: every buffer holds rate / per_second frames, and the first buffer of every second
   (an index that is a multiple of per_second) also the rate % per_second frames that do not
   divide evenly, so every run of per_second buffers from such an index is exactly one second.
   The frames in buffer `index` (counted from 0): */
uint32_t capture_buffer_frames(uint32_t rate, uint32_t per_second, uint64_t index);

/* The first frame of buffer `index` under the same rule. */
uint64_t capture_buffer_start(uint32_t rate, uint32_t per_second, uint64_t index);

/* Bytes of audio in buffer_count capture buffers of the recording format: the whole seconds at
   the exact byte rate and the buffers of an unfinished second at the base length, without that
   second's extra frames. */
uint64_t wave_data_size(int64_t buffer_count);

/* Whether the header is RF64: when the full recording's file (in parts: a full part's) would
   need a RIFF size of 0xFFFFFFFF or more. The choice depends on the settings only, so the header
   staged before recording and the one the cut-back writes have the same kind and size. */
bool wave_header_is_rf64(void);

/* Bytes in the header of the recording settings: 44 plain, 68 with a WAVE_FORMAT_EXTENSIBLE
   format chunk, 80 as RF64, 104 as both; with -e each BEXT_CHUNK_SIZE more. */
uint32_t wave_header_size(void);

/* Builds the header for buffer_count capture buffers from the recording settings and appends it
   to the output with buffered_write. Returns the total file length (data size + header size).
   RF64 headers hold "RF64" and 0xFFFFFFFF for the RIFF and data sizes and the true 64-bit sizes
   and sample count in their "ds64" chunk. With -e a "bext" chunk follows the "fmt " chunk: the
   current file's start (current_file_start()) and the take's settings, see bext_chunk.h. */
uint64_t emit_wave_header(int32_t buffer_count);

/* The same header for data_size bytes of audio (a part cut at a loss keeps the whole frames
   before it). Returns data_size + the header size. */
uint64_t emit_wave_header_bytes(uint64_t data_size);

/* The same header for data_size bytes of audio, built into bytes (WAVE_HEADER_SIZE_MAX bytes)
   instead of the output. Returns its length, wave_header_size(). */
uint32_t wave_header_image(uint64_t data_size, unsigned char* bytes);
