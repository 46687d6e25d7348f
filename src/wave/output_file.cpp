// Output preparation: the staged full-length header, path completion, and the file opened at its
// final length with its blocks reserved, positioned at offset 0.
#include "wave/output_file.h"

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "driver/fatal.h"
#include "platform/file_services.h"
#include "platform/path.h"
#include "settings/settings.h"
#include "wave/bext_chunk.h"
#include "wave/durable_header.h"
#include "wave/take_files.h"
#include "wave/wave_header.h"
#include "wave/write_buffer.h"

/* Ends the process when the full recording cannot be described by a wave header: its buffer
   count must fit the signed 32-bit count. Its sizes always fit RF64's 64-bit fields: at most
   2^31 buffers of at most a second of audio at a 32-bit byte rate stay below 2^63 bytes. */
static void refuse_unrepresentable_length(void) {
    const RecordingSettings& s = recording_settings;
    int64_t buffer_count = (int64_t)s.seconds * s.buffers_per_second;
    /* In parts, a part's count as well as the take's. */
    if (buffer_count > INT32_MAX || (int64_t)s.part_seconds * s.buffers_per_second > INT32_MAX)
        fatal_error(
            "Recording too long for a wave file: %d seconds (at most %d at %d buffers/sec)\n",
            buffer_count > INT32_MAX ? s.seconds : s.part_seconds, INT32_MAX / s.buffers_per_second,
            s.buffers_per_second);
}

/* The system's text for reason, an errno value; a failure that set none reads as an I/O error. */
static const char* reason_text(int reason) {
    return strerror(reason != 0 ? reason : EIO);
}

/* Writes output_path into path (OUTPUT_PATH_SIZE bytes) with ".wav" added when its last
   component has no extension. A path that would not fit, or whose parts are too long to split, is
   refused rather than cut; a path without a name (a directory) is refused as a file that cannot be
   opened. */
static void complete_output_path(char* path) {
    snprintf(path, OUTPUT_PATH_SIZE, "%s", recording_settings.output_path);
    int completed = complete_path_extension(path, OUTPUT_PATH_SIZE, ".wav");
    if (completed > 0)
        fatal_error("Error opening output file: %s\n%s\n", recording_settings.output_path,
                    reason_text(EISDIR));
    if (completed < 0) fatal_error("Output path too long: %s\n", recording_settings.output_path);
}

/* Opens the output file without a stream buffer of its own: the staging buffer already makes the
   writes large, and this way every write reaches the system at once and its failure is seen
   where it happens, not lost in the flush at exit. */
static FILE* open_stream(const char* path, const char* mode) {
    FILE* stream = open_file_stream(path, mode);
    if (stream) setvbuf(stream, nullptr, _IONBF, 0);
    return stream;
}

/* Removes path when this preparation created it; an existing file is the user's and stays.
   errno stays as the failure that led here left it. */
static void remove_if_created(const char* path, bool created) {
    int reason = errno;
    if (created) remove_file(path);
    errno = reason;
}

/* Closes stream, keeping errno as the failure that led here left it. */
static void close_after_failure(FILE* stream) {
    int reason = errno;
    fclose(stream);
    errno = reason;
}

/* Gives the open file at path the length target: cut back when longer, grown by writing its
   last byte when shorter, then reopened. Returns the stream to use from now on, or null after
   closing it when a step fails (errno says why). */
static FILE* size_output(FILE* stream, const char* path, uint64_t existing, uint64_t target) {
    if (target == existing) return stream;
    bool sized;
    errno = 0;
    if (target < existing) {
        sized = resize_stream_file(stream, (int64_t)target) == 0;
    } else {
        sized = seek_stream(stream, (int64_t)target - 1) == 0 && fputc(44, stream) != EOF &&
                tell_stream(stream) == (int64_t)target;
    }
    close_after_failure(stream);
    return sized ? open_stream(path, "r+b") : nullptr;
}

/* Makes the bytes of an earlier take in a reused file (between the header and the shorter of its
   old and new lengths) read as zeros where the file system can. Returns -1 when it failed for
   another reason than that. */
static int zero_reused_audio(FILE* stream, uint64_t existing, uint64_t target) {
    uint64_t end = existing < target ? existing : target;
    uint64_t header = wave_header_size();
    if (end <= header) return 0;
    return zero_stream_range(stream, (int64_t)header, (int64_t)(end - header)) < 0 ? -1 : 0;
}

PrepareResult prepare_output_file(const char* path, uint64_t target, FILE** stream_out,
                                  bool* created) {
    *created = false;
    switch (lock_output_file(path, created)) {
    case 0:
        break;
    case 1:
        return PREPARE_IN_USE;
    default:
        return PREPARE_OPEN_FAILED;
    }
    uint64_t existing = 0;
    if (query_file_size(path, &existing) != 0) existing = 0;
    FILE* stream = open_stream(path, existing != 0 ? "r+b" : "wb");
    if (!stream) {
        remove_if_created(path, *created);
        return PREPARE_OPEN_FAILED;
    }
    if (place_empty_header(stream) != 0) {
        close_after_failure(stream);
        stream = nullptr;
    }
    if (stream) stream = size_output(stream, path, existing, target);
    if (stream &&
        (reserve_stream_file(stream, (int64_t)target) < 0 ||
         zero_reused_audio(stream, existing, target) < 0 || seek_stream(stream, 0) != 0)) {
        close_after_failure(stream);
        stream = nullptr;
    }
    if (!stream) {
        remove_if_created(path, *created);
        return PREPARE_SIZE_FAILED;
    }
    *stream_out = stream;
    return PREPARED;
}

void rewrite_output_header(uint64_t data_size) {
    DiskWriteBuffer& out = disk_write_buffer;
    if (cut_back_durable(data_size)) return;
    flush_output();
    if (out.header_offset < 0 || seek_stream(out.stream, out.header_offset) != 0) return;
    uint64_t length = emit_wave_header_bytes(data_size);
    flush_output();
    resize_stream_file(out.stream, out.header_offset + (int64_t)length);
}

void preparation_failed(const char* path, int reason) {
    fatal_error("Error initialzing output: %s\n"
                "Could be bad drive, bad file name, or disk full.\n%s\n",
                path, reason_text(reason));
}

bool write_header_only(FILE* stream) {
    unsigned char header[WAVE_HEADER_SIZE_MAX];
    uint32_t length = wave_header_image(0, header);
    return seek_stream(stream, 0) == 0 && fwrite(header, 1, length, stream) == length &&
           resize_stream_file(stream, length) == 0;
}

void open_output(void) {
    RecordingSettings& s = recording_settings;
    DiskWriteBuffer& out = disk_write_buffer;

    refuse_unrepresentable_length();
    out.pending = 0;
    out.buffer = (char*)malloc((size_t)s.write_size);
    if (!out.buffer) fatal_error("Couldn't allocate disk output buffer\n");
    uint64_t target = part_file_length((uint32_t)first_file_buffers());

    if (s.output_path[0] == '-') {
        snprintf(out.path, sizeof out.path, "-");
        /* What stands at a closed standard output is the guard's null device, not an output. */
        if (standard_descriptor_closed(1))
            fatal_error("Error opening output file: %s\n%s\n", out.path, reason_text(EBADF));
        /* Unbuffered for the same reason as open_stream. */
        set_binary_stream(stdout);
        setvbuf(stdout, nullptr, _IONBF, 0);
        out.stream = stdout;
        out.header_offset = rewritable_offset(stdout);
        begin_durable_output(first_file_buffers());
        return;
    }

    complete_output_path(out.path);
    if (s.part_seconds > 0) name_first_part(out.path);
    FILE* stream = nullptr;
    bool created;
    switch (prepare_output_file(out.path, target, &stream, &created)) {
    case PREPARED:
        break;
    case PREPARE_IN_USE:
        fatal_error("Output file in use by another recording: %s\n", out.path);
    case PREPARE_OPEN_FAILED:
        fatal_error("Error opening output file: %s\n%s\n", out.path, reason_text(errno));
    case PREPARE_SIZE_FAILED:
        preparation_failed(out.path, errno);
    }
    out.stream = stream;
    out.header_offset = 0;
    begin_durable_output(first_file_buffers());
}
