// Takes in parts: naming, preparation one part ahead, the switch at a part's first buffer, and
// the cut at a loss.
#include "capture/parts.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "capture/messages.h"
#include "driver/fatal.h"
#include "platform/file_services.h"
#include "platform/path.h"
#include "settings/settings.h"
#include "wave/bext_chunk.h"
#include "wave/durable_header.h"
#include "wave/output_file.h"
#include "wave/wave_header.h"
#include "wave/write_buffer.h"

#define PART_DIGITS 4       /* digits of a part's number, more when the take has more parts */
#define FIRST_NAME_SLOTS 64 /* slots of the used names' table when the first name comes */

/* One name a pattern's part got, by the hash of the name. */
struct UsedName {
    uint64_t hash; /* FNV-1a of the name, never 0; 0 marks a free slot */
    uint32_t next; /* the counter the next part with this name tries first */
};

/* Every name the take's parts got from its pattern, counters included, kept as 64-bit hashes
   only: an open-addressing table that doubles when half full, at most 64 bytes a name (a year
   of quarter-hour parts: 2 MB). Two names with the same hash count as one (the later one then
   gets a counter it did not need). Main thread only. */
struct UsedNames {
    UsedName* slots;   /* capacity slots, or null before the first name */
    uint32_t capacity; /* a power of two */
    uint32_t count;    /* names held */
};

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
    uint64_t lost_frames;               /* audio lost so far, as the device measured it */
    uint32_t losses;                    /* losses so far */
    uint32_t unmeasured;                /* losses whose length the device did not say */
    PartFile next;                      /* the part prepared ahead */
    bool failed;                        /* the next part could not be prepared */
    char failed_path[OUTPUT_PATH_SIZE]; /* the part that could not be prepared */
    int failed_reason;                  /* errno of the failed preparation */
};

static TakeParts take_parts;
static UsedNames used_names;

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

/* Writes name with "-suffix" put before its extension into path. False when it does not fit. */
static bool add_suffix(char* path, const char* name, const char* suffix) {
    size_t stem = path_extension_offset(name);
    int n = snprintf(path, OUTPUT_PATH_SIZE, "%.*s-%s%s", (int)stem, name, suffix, name + stem);
    return n > 0 && n < OUTPUT_PATH_SIZE;
}

static uint64_t name_hash(const char* name) {
    uint64_t hash = 14695981039346656037u;
    for (const char* p = name; *p; p++)
        hash = (hash ^ (unsigned char)*p) * 1099511628211u;
    return hash != 0 ? hash : 1;
}

/* The slot of hash in the used names: the one that holds it, or the free one where it goes. */
static UsedName* name_slot(uint64_t hash) {
    UsedNames& u = used_names;
    uint32_t i = (uint32_t)hash & (u.capacity - 1);
    while (u.slots[i].hash != 0 && u.slots[i].hash != hash)
        i = (i + 1) & (u.capacity - 1);
    return &u.slots[i];
}

/* The used name with hash, or null. */
static UsedName* find_name(uint64_t hash) {
    if (!used_names.slots) return nullptr;
    UsedName* slot = name_slot(hash);
    return slot->hash != 0 ? slot : nullptr;
}

/* Adds hash to the used names, doubling the table when it is half full. A table that cannot
   grow takes names until one slot is left: later names then go unremembered. */
static void add_name(uint64_t hash) {
    UsedNames& u = used_names;
    if ((u.count + 1) * 2 > u.capacity) {
        uint32_t capacity = u.capacity ? u.capacity * 2 : FIRST_NAME_SLOTS;
        UsedName* slots = (UsedName*)calloc(capacity, sizeof(UsedName));
        if (slots) {
            UsedName* old = u.slots;
            uint32_t old_capacity = u.capacity;
            u.slots = slots;
            u.capacity = capacity;
            for (uint32_t i = 0; i < old_capacity; i++)
                if (old[i].hash != 0) *name_slot(old[i].hash) = old[i];
            free(old);
        } else if (u.count + 2 > u.capacity) {
            return;
        }
    }
    UsedName* slot = name_slot(hash);
    if (slot->hash != 0) return;
    slot->hash = hash;
    slot->next = 2;
    u.count++;
}

/* Writes into path the name of a part whose pattern gave name: name itself the first time, else
   name with the first counter from 2 on that no earlier part got. False when it does not fit. */
static bool unused_name(const char* name, char* path) {
    uint64_t hash = name_hash(name);
    const UsedName* used = find_name(hash);
    if (!used) {
        add_name(hash);
        snprintf(path, OUTPUT_PATH_SIZE, "%s", name);
        return true;
    }
    uint32_t counter = used->next;
    char suffix[16];
    for (;; counter++) {
        snprintf(suffix, sizeof suffix, "%u", counter);
        if (!add_suffix(path, name, suffix)) return false;
        if (!find_name(name_hash(path))) break;
    }
    find_name(hash)->next = counter + 1;
    add_name(name_hash(path));
    return true;
}

/* Names part `number`, which begins at start: the take's name with the number, or its strftime
   pattern filled in local time, with a counter when an earlier part of the take got the same
   name. False when the name does not fit. */
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
    return unused_name(name, path);
}

void name_first_part(char* path) {
    TakeParts& t = take_parts;
    const RecordingSettings& s = recording_settings;
    strcpy(t.take_path, path);
    if (lock_take_name(t.take_path) == 1)
        fatal_error("Output file in use by another recording: %s\n", t.take_path);
    refuse_special_outputs();
    t.digits = PART_DIGITS;
    if (s.seconds > 0) {
        uint32_t parts = (uint32_t)((s.seconds + s.part_seconds - 1) / s.part_seconds);
        int digits = snprintf(nullptr, 0, "%u", parts);
        if (digits > t.digits) t.digits = digits;
    }
    t.start = time(nullptr);
    t.number = 1;
    t.buffers = buffers_after(0);
    if (!name_part(1, t.start, path)) fatal_error("Output path too long: %s\n", t.take_path);
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
        t.failed_reason = ENAMETOOLONG;
        return;
    }
    next.stream = nullptr;
    if (prepare_output_file(next.path, file_length(next.buffers), &next.stream, &next.created) !=
        PREPARED) {
        strcpy(t.failed_path, next.path);
        t.failed = true;
        t.failed_reason = errno;
    }
}

/* The local time at which a part that begins after `done` buffers of the take begins. */
static time_t start_after(uint32_t done) {
    const TakeParts& t = take_parts;
    uint32_t per_second = (uint32_t)recording_settings.buffers_per_second;
    return t.start + (time_t)(done / per_second) +
           (time_t)(t.lost_frames / recording_settings.format.nSamplesPerSec);
}

void prepare_second_part(void) {
    if (in_parts()) prepare_part(take_parts.buffers, start_after(take_parts.buffers));
}

uint32_t part_buffers_done(uint32_t completed) {
    return completed - take_parts.first_buffer;
}

uint32_t current_part_number(void) {
    return in_parts() ? take_parts.number : 0;
}

uint32_t part_buffer_count(void) {
    return in_parts() ? take_parts.buffers : take_buffers();
}

/* Makes the prepared part, which begins after `completed` buffers, the output: the current
   file, which holds data_size bytes of audio, is closed, the new one's header staged. */
static void switch_part(uint32_t completed, uint64_t data_size) {
    TakeParts& t = take_parts;
    t.recorded += data_size / recording_settings.format.nBlockAlign;
    settle_output();
    switch_output(t.next.stream, t.next.path);
    t.next.stream = nullptr;
    t.created = t.next.created;
    t.number++;
    t.first_buffer = completed;
    t.buffers = t.next.buffers;
    stamp_file_start_now();
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

PartStep part_after_loss(uint32_t completed, const char* text, int64_t lost_frames) {
    TakeParts& t = take_parts;
    const RecordingSettings& s = recording_settings;
    uint64_t data_size = cut_back_part();
    t.losses++;
    if (lost_frames >= 0)
        t.lost_frames += (uint64_t)lost_frames;
    else
        t.unmeasured++;
    print_audio_lost(t.recorded + data_size / s.format.nBlockAlign, disk_write_buffer.path, text);
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
            t.failed_reason = errno;
            return PART_TAKE_ENDS;
        }
        t.next.buffers = buffers;
    }
    switch_part(completed, data_size);
    print_take_goes_on(disk_write_buffer.path);
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
    if (!t.next.stream) return;
    if (!t.next.created) write_header_only(t.next.stream);
    fclose(t.next.stream);
    t.next.stream = nullptr;
    if (t.next.created) remove_file(t.next.path);
}

void end_parts(uint32_t completed) {
    TakeParts& t = take_parts;
    if (!in_parts()) return;
    drop_prepared_part();
    if (t.number > 1 && t.created && completed == t.first_buffer) {
        close_output();
        remove_file(disk_write_buffer.path);
    }
    free(used_names.slots);
    used_names = UsedNames();
    if (t.losses > 0) print_loss_summary(t.losses, t.unmeasured, t.lost_frames);
    if (t.failed) {
        flush_output();
        preparation_failed(t.failed_path, t.failed_reason);
    }
}
