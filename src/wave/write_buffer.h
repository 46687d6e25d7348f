// The staging buffer through which every byte of the output passes, in writes of write_size.
#pragma once

#include <cstdint>
#include <cstdio>

struct DiskWriteBuffer {
    char* buffer;          /* write_size bytes; allocated by open_output, released by the driver */
    int32_t pending;       /* bytes held in buffer and not yet written, 0..write_size */
    FILE* stream;          /* the output: the file, or standard output for "-" */
    int64_t header_offset; /* where the header lies in stream, -1 when it cannot be rewritten */
};

/* The one output of the process. Set up by open_output, then changed only by buffered_write
   and flush_output (main thread only). */
extern DiskWriteBuffer disk_write_buffer;

/* Appends length bytes from source to the output. A full buffer goes to the stream as one
   write of write_size bytes when further bytes arrive. Returns only on success; a short write
   ends the process with "Error writing to file: %s\n" and status -1. */
void buffered_write(const void* source, int32_t length);

/* Writes the pending bytes, if any, as one write. Same failure rule as buffered_write. */
void flush_output(void);

/* Releases the staging buffer (the driver, after the final flush). */
void release_output_buffer(void);
