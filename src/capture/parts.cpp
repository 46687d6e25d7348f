// Takes in parts: naming, preparation one part ahead, the switch at a part's first buffer, and
// the cut at a loss.
#include "capture/parts.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "capture/levels.h"
#include "driver/fatal.h"
#include "platform/file_services.h"
#include "platform/path.h"
#include "settings/settings.h"
#include "wave/durable_header.h"
#include "wave/output_file.h"
#include "wave/wave_header.h"
#include "wave/write_buffer.h"

#define PART_DIGITS 4 /* digits of a part's number, more when the take has more parts */

/* A part's file, opened at its final length with its blocks reserved, positioned at 0. */
struct PartFile {
    FILE* stream;                /* the open file, or null when there is none */
    bool created;                /* this run created it */
    uint32_t buffers;            /* capture buffers it holds when full */
    char path[OUTPUT_PATH_SIZE]; /* its name */
};

/* The take in parts. Main thread only. */
struct TakeParts {
    char take_path[OUTPUT_PATH_SIZE];   /* the take's name as given, with its extension */
    int digits;                         /* digits of a part's number in its name */
    time_t start;                       /* when the take's first frame was asked for */
    uint32_t number;                    /* the current part, from 1 */
    uint32_t first_buffer;              /* the take's buffer count where the current part began */
    uint64_t recorded;                  /* frames of the take in the finished parts */
    uint32_t buffers;                   /* buffers in the current part when full */
    bool created;                       /* this run created the current part's file */
    double lost_seconds;                /* audio lost so far, as the device measured it */
    uint32_t losses;                    /* losses so far */
    uint32_t unmeasured;                /* losses whose length the device did not say */
    PartFile next;                      /* the part prepared ahead */
    bool failed;                        /* the next part could not be prepared */
    char failed_path[OUTPUT_PATH_SIZE]; /* the part that could not be prepared */
    char last_name[OUTPUT_PATH_SIZE];   /* a pattern's last filled name, before any counter */
    uint32_t repeats;                   /* parts before this one that got last_name */
};

static TakeParts take_parts;

static bool in_parts(void) {
    return recording_settings.part_seconds > 0;
}

static uint32_t take_buffers(void) {
    return (uint32_t)recording_settings.seconds * (uint32_t)recording_settings.buffers_per_second;
}

static uint32_t full_part_buffers(void) {
    return (uint32_t)recording_settings.part_seconds *
           (uint32_t)recording_settings.buffers_per_second;
}

/* Buffers of a part that begins after `done` buffers of the take: a full part, or what is left
   of a take of fixed length (0: there is no such part). */
static uint32_t buffers_after(uint32_t done) {
    uint32_t total = take_buffers();
    if (total == 0) return full_part_buffers();
    uint32_t left = total > done ? total - done : 0;
    return left < full_part_buffers() ? left : full_part_buffers();
}

int32_t first_file_buffers(void) {
    if (!in_parts()) return recording_settings.seconds * recording_settings.buffers_per_second;
    return (int32_t)buffers_after(0);
}

/* Where the extension of path begins (its last component's last '.'), or its end. */
static size_t extension_offset(const char* path) {
    size_t length = strlen(path);
    for (size_t i = length; i > 0; i--) {
        char c = path[i - 1];
        if (c == '/' || c == '\\' || c == ':') break;
        if (c == '.') return i - 1;
    }
    return length;
}

/* Writes name with "-suffix" put before its extension into path. False when it does not fit. */
static bool add_suffix(char* path, const char* name, const char* suffix) {
    size_t stem = extension_offset(name);
    int n = snprintf(path, OUTPUT_PATH_SIZE, "%.*s-%s%s", (int)stem, name, suffix, name + stem);
    return n > 0 && n < OUTPUT_PATH_SIZE;
}

/* Names part `number`, which begins at start: the take's name with the number, or its strftime
   pattern filled in local time, with a counter after the first part that gets the same name.
   False when the name does not fit. */
static bool name_part(uint32_t number, time_t start, char* path) {
    TakeParts& t = take_parts;
    char suffix[24];
    if (!strchr(t.take_path, '%')) {
        snprintf(suffix, sizeof suffix, "%0*u", t.digits, number);
        return add_suffix(path, t.take_path, suffix);
    }
    char name[OUTPUT_PATH_SIZE];
    struct tm local;
    const struct tm* now = localtime(&start);
    if (!now) return false;
    local = *now;
    size_t length = strftime(name, sizeof name, t.take_path, &local);
    if (length == 0) return false;
    if (strcmp(name, t.last_name) != 0) {
        strcpy(t.last_name, name);
        t.repeats = 0;
        strcpy(path, name);
        return true;
    }
    t.repeats++;
    snprintf(suffix, sizeof suffix, "%u", t.repeats + 1);
    return add_suffix(path, name, suffix);
}

void name_first_part(void) {
    TakeParts& t = take_parts;
    const RecordingSettings& s = recording_settings;
    strcpy(t.take_path, s.output_path);
    t.digits = PART_DIGITS;
    if (s.seconds > 0) {
        uint32_t parts = (uint32_t)((s.seconds + s.part_seconds - 1) / s.part_seconds);
        int digits = snprintf(nullptr, 0, "%u", parts);
        if (digits > t.digits) t.digits = digits;
    }
    t.start = time(nullptr);
    t.number = 1;
    t.buffers = buffers_after(0);
    if (!name_part(1, t.start, recording_settings.output_path))
        fatal_error("Output path too long: %s\n", t.take_path);
}

/* Bytes of a file of `buffers` capture buffers, header included, as emit_wave_header counts. */
static uint64_t file_length(uint32_t buffers) {
    return wave_data_size(buffers) + wave_header_size();
}

/* Prepares the part after the current one, which begins after `done` buffers of the take and
   at the local time `start`, unless the take ends first. */
static void prepare_part(uint32_t done, time_t start) {
    TakeParts& t = take_parts;
    PartFile& next = t.next;
    next.buffers = buffers_after(done);
    if (next.buffers == 0) return;
    if (!name_part(t.number + 1, start, next.path)) {
        strcpy(t.failed_path, t.take_path);
        t.failed = true;
        return;
    }
    next.stream = nullptr;
    if (prepare_output_file(next.path, file_length(next.buffers), &next.stream, &next.created) !=
        PREPARED) {
        strcpy(t.failed_path, next.path);
        t.failed = true;
    }
}

/* The local time at which a part that begins after `done` buffers of the take begins. */
static time_t start_after(uint32_t done) {
    const TakeParts& t = take_parts;
    uint32_t per_second = (uint32_t)recording_settings.buffers_per_second;
    return t.start + (time_t)(done / per_second) + (time_t)t.lost_seconds;
}

void prepare_second_part(void) {
    if (in_parts()) prepare_part(take_parts.buffers, start_after(take_parts.buffers));
}

uint32_t part_buffers_done(uint32_t completed) {
    return completed - take_parts.first_buffer;
}

uint32_t part_buffer_count(void) {
    return in_parts() ? take_parts.buffers : take_buffers();
}

/* Makes the prepared part, which begins after `completed` buffers, the output: the current
   file, which holds data_size bytes of audio, is closed, the new one's header staged. */
static void switch_part(uint32_t completed, uint64_t data_size) {
    TakeParts& t = take_parts;
    DiskWriteBuffer& out = disk_write_buffer;
    t.recorded += data_size / recording_settings.format.nBlockAlign;
    settle_output();
    flush_output();
    fclose(out.stream);
    out.stream = t.next.stream;
    out.header_offset = 0;
    strcpy(recording_settings.output_path, t.next.path);
    t.next.stream = nullptr;
    t.created = t.next.created;
    t.number++;
    t.first_buffer = completed;
    t.buffers = t.next.buffers;
    begin_durable_output((int32_t)t.buffers);
}

PartStep part_after_buffer(uint32_t completed) {
    TakeParts& t = take_parts;
    if (!in_parts() || completed - t.first_buffer < t.buffers) return PART_GO_ON;
    if (t.failed) return PART_TAKE_ENDS;
    if (!t.next.stream) return PART_GO_ON; /* the take's last part */
    switch_part(completed, wave_data_size(t.buffers));
    prepare_part(completed + t.buffers, start_after(completed + t.buffers));
    return PART_GO_ON;
}

/* Rewrites the current file's header for every byte of audio written to it and cuts the file
   to match. Returns those bytes. */
static uint64_t cut_back_part(void) {
    flush_output();
    int64_t end = tell_stream(disk_write_buffer.stream);
    uint64_t data_size = end > (int64_t)wave_header_size() ? (uint64_t)end - wave_header_size() : 0;
    rewrite_output_header(data_size);
    return data_size;
}

/* The seconds a device's loss text gives ("... 0.8 s ..."), or a negative number. */
static double seconds_in_text(const char* text) {
    for (const char* p = text; *p; p++) {
        if (*p < '0' || *p > '9' || (p > text && (p[-1] == '.' || (p[-1] >= '0' && p[-1] <= '9'))))
            continue;
        char* end;
        double seconds = strtod(p, &end);
        if (end[0] == ' ' && end[1] == 's' && (end[2] == '\0' || end[2] == ')' || end[2] == ' '))
            return seconds;
    }
    return -1;
}

/* Writes frames as hours:minutes:seconds.hundredths into text. */
static void format_position(uint64_t frames, char* text, size_t size) {
    uint32_t rate = recording_settings.format.nSamplesPerSec;
    uint64_t hundredths = frames * 100 / rate;
    snprintf(text, size, "%u:%02u:%02u.%02u", (unsigned)(hundredths / 360000),
             (unsigned)(hundredths / 6000 % 60), (unsigned)(hundredths / 100 % 60),
             (unsigned)(hundredths % 100));
}

PartStep part_after_loss(uint32_t completed, const char* text) {
    TakeParts& t = take_parts;
    const RecordingSettings& s = recording_settings;
    uint64_t data_size = cut_back_part();
    double seconds = seconds_in_text(text);
    t.losses++;
    if (seconds >= 0)
        t.lost_seconds += seconds;
    else
        t.unmeasured++;
    char position[32];
    format_position(t.recorded + data_size / s.format.nBlockAlign, position, sizeof position);
    end_progress_line();
    fprintf(stderr, "*** Audio lost after %s of the take, at the end of %s: %s\n", position,
            s.output_path, text);
    if (t.failed) return PART_TAKE_ENDS;
    /* The new part starts after the gap and is a full part again, unless the take ends first.
       When the current part was the take's last, the new one is prepared now. */
    uint32_t buffers = buffers_after(completed);
    if (!t.next.stream) {
        prepare_part(completed, start_after(completed));
        if (t.failed) return PART_TAKE_ENDS;
    } else if (buffers != t.next.buffers) {
        uint64_t target = file_length(buffers);
        if (resize_stream_file(t.next.stream, (int64_t)target) != 0 ||
            reserve_stream_file(t.next.stream, (int64_t)target) < 0) {
            strcpy(t.failed_path, t.next.path);
            t.failed = true;
            return PART_TAKE_ENDS;
        }
        t.next.buffers = buffers;
    }
    switch_part(completed, data_size);
    fprintf(stderr, "*** The take goes on in %s\n", s.output_path);
    prepare_part(completed + t.buffers, start_after(completed + t.buffers));
    return PART_GO_ON;
}

uint32_t part_losses(void) {
    return take_parts.losses;
}

/* Gives up the part prepared ahead: removed when this run created it, otherwise left as a
   wave file with a header and no audio. */
static void drop_prepared_part(void) {
    TakeParts& t = take_parts;
    DiskWriteBuffer& out = disk_write_buffer;
    if (!t.next.stream) return;
    if (!t.next.created) {
        flush_output();
        FILE* current = out.stream;
        out.stream = t.next.stream;
        rewrite_output_header(0);
        out.stream = current;
    }
    fclose(t.next.stream);
    t.next.stream = nullptr;
    if (t.next.created) remove_file(t.next.path);
}

void end_parts(uint32_t completed) {
    TakeParts& t = take_parts;
    DiskWriteBuffer& out = disk_write_buffer;
    if (!in_parts()) return;
    drop_prepared_part();
    if (t.number > 1 && t.created && completed == t.first_buffer) {
        flush_output();
        fclose(out.stream);
        out.stream = nullptr;
        remove_file(recording_settings.output_path);
    }
    if (t.losses > 0) {
        end_progress_line();
        fprintf(stderr, "*** %u %s in the take, %s%.1f s of audio lost in all\n", t.losses,
                t.losses == 1 ? "loss" : "losses", t.unmeasured > 0 ? "more than " : "",
                t.lost_seconds);
    }
    if (t.failed) {
        flush_output();
        preparation_failed(t.failed_path);
    }
}
