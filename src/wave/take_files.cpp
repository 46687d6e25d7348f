// The files of a take in parts: names from the take's name or pattern in the take's zone, the
// counters of repeated names, the directories a name needs, and each part's file prepared one
// part ahead and switched in as the output.
#include "wave/take_files.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "driver/fatal.h"
#include "platform/capture_clock.h"
#include "platform/file_services.h"
#include "platform/path.h"
#include "settings/settings.h"
#include "wave/durable_header.h"
#include "wave/output_file.h"
#include "wave/part_retention.h"
#include "wave/part_handoff.h"
#include "wave/wave_header.h"
#include "wave/write_buffer.h"

#define PART_DIGITS 4       /* digits of a part's number, more when the take has more parts */
#define FIRST_NAME_SLOTS 64 /* slots of the used names' table when the first name comes */
#define NS_PER_S 1000000000LL
#define MARGIN_PER_MILLE 1 /* an aligned part's file is prepared this much longer, in 1/1000 */

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

/* A part's file, opened at its prepared length with its blocks reserved, positioned at 0. */
struct PartFile {
    FILE* stream;                /* the open file, or null when there is none */
    bool created;                /* this run created it */
    char path[OUTPUT_PATH_SIZE]; /* its name */
};

/* The take's files. Main thread only. */
struct TakeFiles {
    char take_path[OUTPUT_PATH_SIZE];   /* the take's name as given, with its extension */
    int digits;                         /* digits of a part's number in its name */
    bool started;                       /* start_ns is set */
    int64_t start_ns;                   /* when the take began on the system clock */
    PartFile next;                      /* the part prepared ahead */
    bool failed;                        /* a part could not be prepared */
    char failed_path[OUTPUT_PATH_SIZE]; /* the part that could not be prepared */
    int failed_reason;                  /* errno of the failed preparation */
};

static TakeFiles take_files;
static UsedNames used_names;

static int64_t floor_div(int64_t a, int64_t b) {
    int64_t q = a / b;
    return (a % b != 0 && (a < 0) != (b < 0)) ? q - 1 : q;
}

/* Days from 1970-01-01 to the civil date y-m-d (proleptic Gregorian). */
static int64_t days_from_civil(int64_t y, int64_t m, int64_t d) {
    y -= m <= 2;
    int64_t era = floor_div(y, 400);
    int64_t yoe = y - era * 400;
    int64_t doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + doe - 719468;
}

/* The broken-down time of unix_s in the take's zone into *out. False when there is none. */
static bool zone_fields(int64_t unix_s, struct tm* out) {
    time_t t = (time_t)unix_s;
    const struct tm* fields = recording_settings.utc ? gmtime(&t) : localtime(&t);
    if (!fields) return false;
    *out = *fields;
    return true;
}

ZoneTime zone_time(int64_t unix_s) {
    ZoneTime z = {unix_s, 0, unix_s};
    struct tm f;
    if (!zone_fields(unix_s, &f)) return z;
    z.local_s = days_from_civil(f.tm_year + 1900LL, f.tm_mon + 1LL, f.tm_mday) * 86400 +
                f.tm_hour * 3600LL + f.tm_min * 60LL + f.tm_sec;
    z.offset_s = (int32_t)(z.local_s - unix_s);
    return z;
}

int64_t next_aligned_boundary(int64_t unix_ns) {
    const int64_t n = recording_settings.part_seconds;
    const int64_t s = floor_div(unix_ns, NS_PER_S);
    /* A boundary is an instant whose zone time is a multiple of n: tried with the offsets in
       force now and at the next two candidates, the earliest that holds wins. */
    int32_t offsets[3] = {zone_time(s).offset_s, zone_time(s + n).offset_s,
                          zone_time(s + 2 * n).offset_s};
    int64_t best = INT64_MAX, fallback = INT64_MAX;
    for (int32_t offset : offsets) {
        int64_t local = s + offset;
        int64_t boundary = (floor_div(local, n) + 1) * n - offset;
        if (boundary * NS_PER_S <= unix_ns) boundary += n;
        if (fallback == INT64_MAX) fallback = boundary;
        if (zone_time(boundary).offset_s == offset && boundary < best) best = boundary;
    }
    return (best != INT64_MAX ? best : fallback) * NS_PER_S;
}

int64_t take_start_ns(void) {
    TakeFiles& t = take_files;
    if (!t.started) {
        t.start_ns = system_clock_ns();
        t.started = true;
    }
    return t.start_ns;
}

static bool aligned(void) {
    return recording_settings.align_parts != 0;
}

int32_t first_file_buffers(void) {
    const RecordingSettings& s = recording_settings;
    int64_t take = (int64_t)s.seconds * s.buffers_per_second;
    if (s.part_seconds <= 0) return (int32_t)take;
    int64_t part = (int64_t)s.part_seconds * s.buffers_per_second;
    if (aligned()) {
        int64_t start = take_start_ns();
        int64_t left_ns = next_aligned_boundary(start) - start;
        part = (left_ns * s.buffers_per_second + NS_PER_S - 1) / NS_PER_S;
        if (part < 1) part = 1;
    }
    return (int32_t)(take > 0 && take < part ? take : part);
}

uint64_t part_file_length(uint32_t buffers) {
    uint64_t data = wave_data_size(buffers);
    if (aligned()) {
        uint64_t block = recording_settings.format.nBlockAlign;
        uint64_t margin = data * MARGIN_PER_MILLE / 1000 + wave_data_size(1);
        data += margin - margin % block;
    }
    return data + wave_header_size();
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

/* Names part `number`, which begins at unix_s: the take's name with the number, or its strftime
   pattern filled in the take's zone, with a counter when an earlier part of the take got the
   same name. False when the name does not fit. */
static bool name_part(uint32_t number, int64_t unix_s, char* path) {
    TakeFiles& t = take_files;
    char suffix[24];
    if (!strchr(t.take_path, '%')) {
        snprintf(suffix, sizeof suffix, "%0*u", t.digits, number);
        return add_suffix(path, t.take_path, suffix);
    }
    char name[OUTPUT_PATH_SIZE];
    struct tm fields;
    if (!zone_fields(unix_s, &fields)) return false;
    size_t length = strftime(name, sizeof name, t.take_path, &fields);
    if (length == 0) return false;
    return unused_name(name, path);
}

/* Makes the directories that path, a part's name, needs below the pattern's first directory
   with a conversion (those above it are the user's). 0, or -1 with errno. */
static int make_part_directories(const char* path) {
    const char* conversion = strchr(take_files.take_path, '%');
    if (!conversion) return 0;
    size_t from = 0;
    for (size_t i = 0; take_files.take_path + i < conversion; i++)
        if (is_directory_separator(take_files.take_path[i])) from = i + 1;
    char directory[OUTPUT_PATH_SIZE];
    for (size_t i = from; path[i]; i++) {
        if (!is_directory_separator(path[i]) || i == 0 || is_directory_separator(path[i - 1]))
            continue;
        memcpy(directory, path, i);
        directory[i] = '\0';
        if (make_directory(directory) != 0) return -1;
    }
    return 0;
}

void name_first_part(char* path) {
    TakeFiles& t = take_files;
    const RecordingSettings& s = recording_settings;
    strcpy(t.take_path, path);
    if (lock_take_name(t.take_path) == 1)
        fatal_error("Output file in use by another recording: %s\n", t.take_path);
    refuse_special_outputs();
    t.digits = PART_DIGITS;
    if (s.seconds > 0) {
        uint32_t parts = (uint32_t)((s.seconds + s.part_seconds - 1) / s.part_seconds);
        if (aligned()) parts++;
        int digits = snprintf(nullptr, 0, "%u", parts);
        if (digits > t.digits) t.digits = digits;
    }
    if (!name_part(1, floor_div(take_start_ns(), NS_PER_S), path))
        fatal_error("Output path too long: %s\n", t.take_path);
    if (make_part_directories(path) != 0)
        fatal_error("Error opening output file: %s\n%s\n", path, strerror(errno));
    if (!mark_part_name(path, false)) {
        /* As the unmarked first part would have failed to open. */
        if (errno == EWOULDBLOCK)
            fatal_error("Output file in use by another recording: %s\n", path);
        if (errno == EINVAL) preparation_failed(path, EINVAL);
        fatal_error("Output path too long: %s\n", t.take_path);
    }
}

/* Keeps the failure of the part at path (errno reason) for end_take_files. */
static bool note_failure(const char* path, int reason) {
    TakeFiles& t = take_files;
    size_t length = strnlen(path, OUTPUT_PATH_SIZE - 1);
    memcpy(t.failed_path, path, length);
    t.failed_path[length] = '\0';
    t.failed = true;
    t.failed_reason = reason;
    return false;
}

bool prepare_next_file(uint32_t number, int64_t unix_s, uint64_t length) {
    TakeFiles& t = take_files;
    PartFile& next = t.next;
    next.stream = nullptr;
    if (!name_part(number, unix_s, next.path)) return note_failure(t.take_path, ENAMETOOLONG);
    if (make_part_directories(next.path) != 0) return note_failure(next.path, errno);
    if (!mark_part_name(next.path, true)) return note_failure(next.path, errno);
    make_room_for_part(t.take_path, next.path, length, disk_write_buffer.path);
    if (prepare_output_file(next.path, length, &next.stream, &next.created) != PREPARED)
        return note_failure(next.path, errno);
    return true;
}

bool parts_named_by_time(void) {
    return strchr(take_files.take_path, '%') != nullptr;
}

bool next_file_ready(void) {
    return take_files.next.stream != nullptr;
}

bool resize_next_file(uint64_t length) {
    PartFile& next = take_files.next;
    if (resize_stream_file(next.stream, (int64_t)length) != 0 ||
        reserve_stream_file(next.stream, (int64_t)length) < 0)
        return note_failure(next.path, errno);
    return true;
}

bool switch_to_next_file(int32_t buffers) {
    PartFile& next = take_files.next;
    settle_output();
    switch_output(next.stream, next.path);
    hand_on_finished_part();
    next.stream = nullptr;
    begin_durable_output(buffers);
    remove_expired_parts(take_files.take_path, next.path, nullptr);
    return next.created;
}

bool take_files_failed(void) {
    return take_files.failed;
}

void drop_next_file(void) {
    PartFile& next = take_files.next;
    if (!next.stream) return;
    if (!next.created) write_header_only(next.stream);
    fclose(next.stream);
    next.stream = nullptr;
    if (next.created)
        remove_file(next.path);
    else
        unmark_given_up_part();
}

void end_take_files(void) {
    TakeFiles& t = take_files;
    free(used_names.slots);
    used_names = UsedNames();
    remove_expired_parts(t.take_path, disk_write_buffer.path, nullptr);
    finish_part_handoff();
    if (t.failed) {
        flush_output();
        preparation_failed(t.failed_path, t.failed_reason);
    }
}
