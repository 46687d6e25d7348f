// The output's header kept true on disk: written before the file is sized, then after every
// write of the staging buffer brought up to the audio that is there (and, with a sync interval,
// made durable first), so that however the process ends it counts a prefix of this take's audio.
#include "wave/durable_header.h"

#include <cerrno>
#include <cstring>

#include "driver/fatal.h"
#include "platform/file_services.h"
#include "platform/monotonic_ms.h"
#include "settings/settings.h"
#include "wave/wave_header.h"
#include "wave/write_buffer.h"

DurableHeader durable_header;

uint64_t countable_audio(uint64_t stream_bytes) {
    const uint64_t header = wave_header_size();
    const uint64_t align = recording_settings.format.nBlockAlign;
    if (stream_bytes <= header || align == 0) return 0;
    uint64_t audio = stream_bytes - header;
    return audio - audio % align;
}

bool sync_is_due(int64_t now_ms, int64_t last_sync_ms, int32_t interval_seconds) {
    return interval_seconds > 0 && now_ms - last_sync_ms >= (int64_t)interval_seconds * 1000;
}

/* Writes the header for data_size bytes of audio at offset of stream. Returns 0 or -1. */
static int write_header_at(FILE* stream, int64_t offset, uint64_t data_size) {
    unsigned char image[WAVE_HEADER_SIZE_MAX];
    uint32_t length = wave_header_image(data_size, image);
    return write_stream_at(stream, offset, image, length);
}

int place_empty_header(FILE* stream) {
    if (write_header_at(stream, 0, 0) != 0) return -1;
    return sync_stream(stream);
}

[[noreturn]] static void write_failed(void) {
    int reason = errno ? errno : EIO;
    fatal_error("Error writing to file: %s\n%s\n", disk_write_buffer.path, strerror(reason));
}

/* The header on disk for data_size bytes of audio; a failure ends the process. */
static void rewrite_header(uint64_t data_size) {
    const DiskWriteBuffer& out = disk_write_buffer;
    if (write_header_at(out.stream, out.header_offset, data_size) != 0) write_failed();
}

/* Makes everything written durable; a failure ends the process. */
static void sync_output(void) {
    DurableHeader& d = durable_header;
    if (sync_stream(disk_write_buffer.stream) != 0) write_failed();
    d.synced = d.written;
    d.last_sync_ms = monotonic_milliseconds();
}

void begin_durable_output(int32_t buffer_count) {
    DurableHeader& d = durable_header;
    const DiskWriteBuffer& out = disk_write_buffer;
    d.active = out.header_offset >= 0 && stream_is_regular_file(out.stream);
    d.written = 0;
    d.synced = 0;
    /* The first write is synced and counted at once: a header for no audio on a file of its final
       length is one that some readers (ffmpeg's) take to run to the end of the file. */
    d.last_sync_ms = monotonic_milliseconds() - (int64_t)recording_settings.sync_seconds * 1000;
    if (!d.active) {
        emit_wave_header(buffer_count);
        return;
    }
    rewrite_header(0);
    emit_wave_header_bytes(0);
}

void note_output_written(uint64_t bytes) {
    DurableHeader& d = durable_header;
    if (!d.active) return;
    d.written += bytes;
    const int32_t interval = recording_settings.sync_seconds;
    if (interval == 0) {
        rewrite_header(countable_audio(d.written));
    } else if (sync_is_due(monotonic_milliseconds(), d.last_sync_ms, interval)) {
        /* The audio reaches the disk before the header that counts it. */
        sync_output();
        rewrite_header(countable_audio(d.synced));
    }
}

void settle_after_failed_write(uint64_t bytes) {
    DurableHeader& d = durable_header;
    const DiskWriteBuffer& out = disk_write_buffer;
    if (!d.active) return;
    d.written += bytes;
    d.active = false;
    if (sync_stream(out.stream) == 0 &&
        write_header_at(out.stream, out.header_offset, countable_audio(d.written)) == 0)
        sync_stream(out.stream);
}

void settle_output(void) {
    DurableHeader& d = durable_header;
    if (!d.active || !disk_write_buffer.stream) return;
    flush_output();
    sync_output();
    rewrite_header(countable_audio(d.written));
    sync_output();
    d.active = false;
}

bool cut_back_durable(uint64_t data_size) {
    DurableHeader& d = durable_header;
    const DiskWriteBuffer& out = disk_write_buffer;
    if (!d.active) return false;
    flush_output();
    sync_output();
    rewrite_header(data_size);
    /* An old header on disk counts no more than the new length: every order of these is true. */
    resize_stream_file(out.stream, out.header_offset + (int64_t)(wave_header_size() + data_size));
    sync_output();
    d.active = false;
    return true;
}
