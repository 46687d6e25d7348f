// Output preparation: the staged full-length header, path completion, and the file opened at its
// final length with its blocks reserved, positioned at offset 0.
#include "wave/output_file.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "capture/parts.h"
#include "driver/fatal.h"
#include "platform/file_services.h"
#include "platform/path.h"
#include "settings/settings.h"
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

/* Adds ".wav" to output_path when its last component has no extension. A path that would not
   fit, or whose parts are too long to split, is refused rather than cut. */
static void complete_output_path(void) {
    char* path = recording_settings.output_path;
    if (complete_path_extension(path, OUTPUT_PATH_SIZE, ".wav") != 0)
        fatal_error("Output path too long: %s\n", path);
}

/* Opens the output file without a stream buffer of its own: the staging buffer already makes the
   writes large, and this way every write reaches the system at once and its failure is seen
   where it happens, not lost in the flush at exit. */
static FILE* open_stream(const char* path, const char* mode) {
    FILE* stream = open_file_stream(path, mode);
    if (stream) setvbuf(stream, nullptr, _IONBF, 0);
    return stream;
}

/* Set when this run created the output file: a failed preparation then removes it again. An
   existing file is the user's and stays. Main thread. */
static bool output_created;

/* Removes the output file when this run created it (the preparation failed). */
static void remove_created_output(void) {
    if (output_created) remove_file(recording_settings.output_path);
}

/* Closes stream, if open, removes a file this run created, and ends the process with the
   preparation failure. */
[[noreturn]] static void preparation_failed(FILE* stream) {
    if (stream) fclose(stream);
    remove_created_output();
    fatal_error("Error initialzing output: %s\n"
                "Could be bad drive, bad file name, or disk full.\n",
                recording_settings.output_path);
}

/* Gives the open file the length target: cut back when longer, grown by writing its last byte
   when shorter. Returns the stream to use from now on, reopened when the size changed. */
static FILE* size_output(FILE* stream, uint64_t existing, uint64_t target) {
    const char* path = recording_settings.output_path;
    if (target == existing) return stream;
    if (target < existing) {
        if (resize_stream_file(stream, (int64_t)target) != 0) preparation_failed(stream);
    } else {
        if (seek_stream(stream, (int64_t)target - 1) != 0) preparation_failed(stream);
        if (fputc(44, stream) == EOF) preparation_failed(stream);
        if (tell_stream(stream) != (int64_t)target) preparation_failed(stream);
    }
    fclose(stream);
    stream = open_stream(path, "r+b");
    if (!stream) preparation_failed(nullptr);
    return stream;
}

void open_output(void) {
    RecordingSettings& s = recording_settings;
    DiskWriteBuffer& out = disk_write_buffer;

    refuse_unrepresentable_length();
    out.pending = 0;
    out.buffer = (char*)malloc((size_t)s.write_size);
    if (!out.buffer) fatal_error("Couldn't allocate disk output buffer\n");
    uint64_t target = emit_wave_header(first_file_buffers());

    if (s.output_path[0] == '-') {
        /* Unbuffered for the same reason as open_stream. */
        set_binary_stream(stdout);
        setvbuf(stdout, nullptr, _IONBF, 0);
        out.stream = stdout;
        out.header_offset = rewritable_offset(stdout);
        return;
    }

    complete_output_path();
    if (s.part_seconds > 0) name_first_part();
    switch (lock_output_file(s.output_path, &output_created)) {
    case 0:
        break;
    case 1:
        fatal_error("Output file in use by another recording: %s\n", s.output_path);
    default:
        fatal_error("Error opening output file: %s\n", s.output_path);
    }
    uint64_t existing = 0;
    if (query_file_size(s.output_path, &existing) != 0) existing = 0;
    FILE* stream = open_stream(s.output_path, existing != 0 ? "r+b" : "wb");
    if (!stream) {
        remove_created_output();
        fatal_error("Error opening output file: %s\n", s.output_path);
    }

    stream = size_output(stream, existing, target);
    if (reserve_stream_file(stream, (int64_t)target) < 0) preparation_failed(stream);
    if (seek_stream(stream, 0) != 0) preparation_failed(stream);
    out.stream = stream;
    out.header_offset = 0;
}
