// The staging buffer through which every byte of the output passes, in writes of write_size,
// and the file it goes to.
#pragma once

#include <cstdint>
#include <cstdio>

#include "settings/settings.h"

struct DiskWriteBuffer {
    char* buffer;                /* write_size bytes; allocated by open_output, released by the
                                    driver */
    int32_t pending;             /* bytes held in buffer and not yet written, 0..write_size */
    FILE* stream;                /* the file being written, standard output for "-", or null
                                    once close_output has closed it */
    int64_t header_offset;       /* where the header lies in stream, -1 when it cannot be
                                    rewritten */
    char path[OUTPUT_PATH_SIZE]; /* the name of the file being written: output_path completed,
                                    or in parts the current part's; "-" for standard output */
};

/* The one output of the process. Set up by open_output, then changed only by buffered_write,
   flush_output, switch_output and close_output (main thread only). */
extern DiskWriteBuffer disk_write_buffer;

/* Appends length bytes from source to the output. A full buffer goes to the stream as one
   write of write_size bytes when further bytes arrive. Returns only on success; a short write
   ends the process with "Error writing to file: PATH" and the system's reason on a second line,
   status -1. */
void buffered_write(const void* source, int32_t length);

/* Writes the pending bytes, if any, as one write. Same failure rule as buffered_write. */
void flush_output(void);

/* Writes the pending bytes, closes the file being written and makes stream (a file opened at
   offset 0, its header to be written there) the output, named path: the switch to a take's
   next part. */
void switch_output(FILE* stream, const char* path);

/* Writes the pending bytes and closes the file being written; stream is null afterwards. For a
   take's last part that is removed unused. */
void close_output(void);

/* Releases the staging buffer (the driver, after the final flush). */
void release_output_buffer(void);
