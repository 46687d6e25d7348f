// The staging buffer through which every byte of the output passes: the stream sees only writes
// of write_size bytes, apart from the flushes.
#include "wave/write_buffer.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "driver/fatal.h"
#include "settings/settings.h"
#include "wave/durable_header.h"

DiskWriteBuffer disk_write_buffer;

/* Hands every pending byte to the stream as one write; a short write ends the process with the
   system's reason (a write that gives none reads as an I/O error). */
static void write_pending(void) {
    DiskWriteBuffer& out = disk_write_buffer;
    errno = 0;
    size_t written = fwrite(out.buffer, 1, (size_t)out.pending, out.stream);
    if (written != (size_t)out.pending) {
        int reason = errno ? errno : EIO;
        settle_after_failed_write(written);
        fatal_error("Error writing to file: %s\n%s\n", out.path, strerror(reason));
    }
    out.pending = 0;
    note_output_written(written);
}

void buffered_write(const void* source, int32_t length) {
    DiskWriteBuffer& out = disk_write_buffer;
    const char* from = (const char*)source;
    if (length < 0) return;
    for (;;) {
        int32_t room = recording_settings.write_size - out.pending;
        int32_t chunk = room < length ? room : length;
        if (chunk > 0) memcpy(out.buffer + out.pending, from, (size_t)chunk);
        out.pending += chunk;
        /* A buffer filled exactly stays pending: it goes out with the next byte or the flush. */
        if (chunk == length) return;
        from += chunk;
        length -= chunk;
        write_pending();
    }
}

void flush_output(void) {
    if (disk_write_buffer.pending != 0) write_pending();
}

void switch_output(FILE* stream, const char* path) {
    close_output();
    DiskWriteBuffer& out = disk_write_buffer;
    out.stream = stream;
    out.header_offset = 0;
    snprintf(out.path, sizeof out.path, "%s", path);
}

void close_output(void) {
    DiskWriteBuffer& out = disk_write_buffer;
    flush_output();
    fclose(out.stream);
    out.stream = nullptr;
}

void release_output_buffer(void) {
    free(disk_write_buffer.buffer);
    disk_write_buffer.buffer = nullptr;
    disk_write_buffer.pending = 0;
}
