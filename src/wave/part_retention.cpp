// Which files are a take's parts, by their names against the take's name or pattern, and the
// removal of the old ones with -k: the listing of the directories the take writes (links never
// followed), the oldest first, and the lines that say what went and why.
#include "wave/part_retention.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "capture/messages.h"
#include "platform/capture_clock.h"
#include "platform/directory_services.h"
#include "platform/file_services.h"
#include "platform/path.h"
#include "settings/settings.h"

#define PART_DIGITS_MIN 4       /* digits of a numbered part's number, at least */
#define LEVELS_MAX 64           /* directory levels (and the name) a pattern may have */
#define LEVEL_PATTERN_SIZE 1024 /* bytes of a level's pattern, its conversions spelt out */
#define PART_MARKER ".part"     /* what a part being recorded has after its name with -m */
#define FIRST_PART_SLOTS 64     /* parts the list has room for when the first comes */
/* The room a part needs beyond its length, for the blocks that map it: bytes, and 1/1000 of its
   length. */
#define ROOM_ALLOWANCE_BYTES 65536
#define ROOM_ALLOWANCE_PER_MILLE 1
#define NS_PER_HOUR 3600000000000LL

/* One level of a take's pattern: a directory, or the parts' names at the last level. */
struct LevelPattern {
    char text[LEVEL_PATTERN_SIZE]; /* the component with %F, %T, %R, %n and %t spelt out */
    int extension;                 /* where the counter goes in text (its extension), -1 for a
                                      directory */
    bool numbered;                 /* the part's number goes there first (no conversions) */
    char separator;                /* the separator after it in the take's name ('\0': last) */
};

/* A take's name or pattern cut into the directory it starts in and the levels below it. */
struct TakeLayout {
    char base[OUTPUT_PATH_SIZE];    /* up to the first directory with a conversion, separator
                                       included, or "" */
    int levels;                     /* levels below base, the parts' names last */
    LevelPattern level[LEVELS_MAX]; /* each level's pattern */
    bool matchable;                 /* every conversion is one whose output can be told */
};

/* A file of the take found by the listing. */
struct PartFound {
    char path[OUTPUT_PATH_SIZE]; /* its name as the take gives it */
    uint64_t size;               /* its length in bytes */
    int64_t modified_ns;         /* its last write, ns since 1970 UTC */
};

/* The take's files as one listing found them, oldest first once sorted. Owned by the function
   that listed them. */
struct PartList {
    PartFound* parts; /* count of them, or null */
    size_t count;     /* parts found */
    size_t capacity;  /* parts there is room for */
};

/* The removals' state over the take. Main thread only. */
struct Retention {
    TakeLayout layout;   /* the take's layout, made again at each listing */
    TakeLayout matched;  /* the layout match_part_path cuts its pattern into */
    bool unmatched_told; /* the pattern that cannot be matched was reported */
};

static Retention retention;

static bool is_digit(char c) {
    return c >= '0' && c <= '9';
}

static bool is_letter(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

/* The shortest and longest output of conversion letter, false for a conversion whose output
   cannot be told (locale forms, flags, widths, a separator in it). */
static bool conversion_lengths(char letter, size_t* shortest, size_t* longest) {
    static const char* const fixed2 = "CyVgmdeHkIlMSUW";
    size_t low = 0, high = 0;
    if (letter == '\0') {
        return false;
    } else if (letter == 'Y' || letter == 'G') {
        low = high = 4;
    } else if (letter == 'j') {
        low = high = 3;
    } else if (letter == 'u' || letter == 'w') {
        low = high = 1;
    } else if (letter == 'z') {
        low = high = 5;
    } else if (letter == 's') {
        low = 1, high = 20;
    } else if (strchr("aAbBhpPZ", letter)) {
        low = 1, high = 32;
    } else if (strchr(fixed2, letter)) {
        low = high = 2;
    } else {
        return false;
    }
    *shortest = low;
    *longest = high;
    return true;
}

/* The range of a number-valued conversion's value, false for one without. */
static bool conversion_range(char letter, int* low, int* high) {
    static const struct {
        char letter;
        int low, high;
    } ranges[] = {
        {'m', 1, 12}, {'d', 1, 31}, {'e', 1, 31}, {'H', 0, 23}, {'k', 0, 23},
        {'I', 1, 12}, {'l', 1, 12}, {'M', 0, 59}, {'S', 0, 60}, {'j', 1, 366},
        {'U', 0, 53}, {'W', 0, 53}, {'V', 1, 53}, {'u', 1, 7},  {'w', 0, 6},
    };
    for (const auto& range : ranges)
        if (range.letter == letter) {
            *low = range.low;
            *high = range.high;
            return true;
        }
    return false;
}

/* Whether text (length characters) is an output conversion letter can give. */
static bool conversion_gives(char letter, const char* text, size_t length) {
    if (strchr("aAbBhpP", letter)) {
        for (size_t i = 0; i < length; i++)
            if (!is_letter(text[i])) return false;
        return true;
    }
    if (letter == 'Z') {
        for (size_t i = 0; i < length; i++)
            if (!is_letter(text[i]) && !is_digit(text[i]) && text[i] != '+' && text[i] != '-')
                return false;
        return true;
    }
    if (letter == 'z') {
        if (text[0] != '+' && text[0] != '-') return false;
        text++;
        length--;
    }
    /* Space-padded numbers: %e, %k, %l. */
    bool padded = letter == 'e' || letter == 'k' || letter == 'l';
    size_t first = padded && text[0] == ' ' ? 1 : 0;
    if (padded && first == 0 && text[0] == '0') return false;
    int value = 0;
    for (size_t i = first; i < length; i++) {
        if (!is_digit(text[i])) return false;
        value = value * 10 + (text[i] - '0');
        if (value > 100000) value = 100000;
    }
    if (first == length) return false;
    int low, high;
    return !conversion_range(letter, &low, &high) || (value >= low && value <= high);
}

/* Whether name (from its position n) is what the level pattern gives from p on. stage: 0 before
   the number and counter at the pattern's extension, 1 after the number, 2 after the counter. */
static bool match_from(const LevelPattern& level, const char* p, const char* n, int stage) {
    if (level.extension >= 0 && p == level.text + level.extension && stage < 2) {
        if (level.numbered && stage == 0) {
            if (*n != '-') return false;
            size_t digits = 0;
            while (is_digit(n[1 + digits]))
                digits++;
            for (size_t length = digits; length >= PART_DIGITS_MIN; length--)
                if (match_from(level, p, n + 1 + length, 1)) return true;
            return false;
        }
        if (n[0] == '-' && n[1] >= '1' && n[1] <= '9') {
            size_t digits = 0;
            while (is_digit(n[1 + digits]))
                digits++;
            for (size_t length = 1; length <= digits && length <= 10; length++)
                if ((length > 1 || n[1] >= '2') && match_from(level, p, n + 1 + length, 2))
                    return true;
        }
        return match_from(level, p, n, 2);
    }
    if (*p == '\0') return *n == '\0' || (level.extension >= 0 && strcmp(n, PART_MARKER) == 0);
    if (*p == '%' && p[1] != '%') {
        size_t shortest, longest;
        conversion_lengths(p[1], &shortest, &longest);
        size_t available = strnlen(n, longest);
        for (size_t length = available; length >= shortest && length > 0; length--)
            if (conversion_gives(p[1], n, length) && match_from(level, p + 2, n + length, stage))
                return true;
        return false;
    }
    if (*p == '%') p++;
    return *p == *n && match_from(level, p + 1, n + 1, stage);
}

/* Spells out the component (length characters) into level.text: the conversions made of others
   as those, %n and %t as their characters. False when a conversion's output cannot be told or
   the text does not fit. */
static bool spell_out_level(const char* component, size_t length, LevelPattern* level) {
    size_t at = 0;
    for (size_t i = 0; i < length; i++) {
        char piece[16] = {component[i], '\0'};
        if (component[i] == '%') {
            if (i + 1 >= length) return false;
            char letter = component[++i];
            size_t shortest, longest;
            if (letter == 'F') {
                snprintf(piece, sizeof piece, "%%Y-%%m-%%d");
            } else if (letter == 'T') {
                snprintf(piece, sizeof piece, "%%H:%%M:%%S");
            } else if (letter == 'R') {
                snprintf(piece, sizeof piece, "%%H:%%M");
            } else if (letter == 'n' || letter == 't') {
                piece[0] = letter == 'n' ? '\n' : '\t';
            } else if (letter == '%' || conversion_lengths(letter, &shortest, &longest)) {
                piece[1] = letter;
                piece[2] = '\0';
            } else {
                return false;
            }
        }
        size_t piece_length = strlen(piece);
        if (at + piece_length >= sizeof level->text) return false;
        memcpy(level->text + at, piece, piece_length);
        at += piece_length;
    }
    level->text[at] = '\0';
    return true;
}

/* Cuts take_path into layout: its base directory and its levels. */
static void lay_out_take(const char* take_path, TakeLayout* layout) {
    const char* conversion = strchr(take_path, '%');
    const char* base_end = take_path;
    for (const char* p = take_path; *p && (!conversion || p < conversion); p++)
        if (is_directory_separator(*p)) base_end = p + 1;
    size_t base_length = (size_t)(base_end - take_path);
    memcpy(layout->base, take_path, base_length);
    layout->base[base_length] = '\0';
    layout->levels = 0;
    layout->matchable = true;
    const char* p = base_end;
    while (*p) {
        const char* end = p;
        while (*end && !is_directory_separator(*end))
            end++;
        if (end > p) {
            if (layout->levels == LEVELS_MAX) {
                layout->matchable = false;
                return;
            }
            LevelPattern& level = layout->level[layout->levels++];
            if (!spell_out_level(p, (size_t)(end - p), &level)) layout->matchable = false;
            level.separator = *end;
            level.extension = -1;
            level.numbered = false;
        }
        while (is_directory_separator(*end))
            end++;
        p = end;
    }
    if (layout->levels == 0) {
        layout->matchable = false;
        return;
    }
    LevelPattern& last = layout->level[layout->levels - 1];
    last.separator = '\0';
    last.extension = (int)path_extension_offset(last.text);
    last.numbered = conversion == nullptr;
}

PartMatch match_part_path(const char* take_path, const char* path) {
    TakeLayout& layout = retention.matched;
    lay_out_take(take_path, &layout);
    if (!layout.matchable) return PART_UNMATCHABLE;
    size_t base_length = strlen(layout.base);
    if (strncmp(path, layout.base, base_length) != 0) return PART_OTHER;
    const char* p = path + base_length;
    char name[OUTPUT_PATH_SIZE];
    for (int i = 0; i < layout.levels; i++) {
        const char* end = p;
        while (*end && !is_directory_separator(*end))
            end++;
        size_t length = (size_t)(end - p);
        if (length == 0) return PART_OTHER;
        memcpy(name, p, length);
        name[length] = '\0';
        if (!match_from(layout.level[i], layout.level[i].text, name, 0)) return PART_OTHER;
        bool last = i == layout.levels - 1;
        if (last != (*end == '\0')) return PART_OTHER;
        while (is_directory_separator(*end))
            end++;
        p = end;
    }
    return PART_OF_TAKE;
}

/* The listing of one directory of the take, at one level, into the list. */
struct Walk {
    const TakeLayout* layout; /* the take's layout */
    PartList* list;           /* where the take's files go */
    char* path;               /* the directory listed, OUTPUT_PATH_SIZE bytes */
    int level;                /* the level its entries are at */
    bool failed;              /* a listing below failed, or the list could not grow */
};

static bool add_part(PartList* list, const char* path, const DirectoryEntry* entry) {
    if (list->count == list->capacity) {
        size_t capacity = list->capacity ? list->capacity * 2 : FIRST_PART_SLOTS;
        PartFound* parts = (PartFound*)realloc(list->parts, capacity * sizeof(PartFound));
        if (!parts) return false;
        list->parts = parts;
        list->capacity = capacity;
    }
    PartFound& part = list->parts[list->count++];
    snprintf(part.path, sizeof part.path, "%s", path);
    part.size = entry->size;
    part.modified_ns = entry->modified_ns;
    return true;
}

static void report_listing_failure(const char* directory, int reason) {
    end_progress_line();
    fprintf(stderr, "*** Could not list %s: %s\n", directory[0] ? directory : ".",
            strerror(reason));
}

static bool list_level(Walk* walk);

/* Takes an entry of the directory being walked: a regular file of the take's at the last level,
   a directory of the take's above it, which is walked in turn. */
static bool visit_entry(const DirectoryEntry* entry, void* context) {
    Walk* walk = (Walk*)context;
    const LevelPattern& level = walk->layout->level[walk->level];
    bool last = walk->level == walk->layout->levels - 1;
    if (entry->type != (last ? ENTRY_REGULAR : ENTRY_DIRECTORY)) return true;
    if (!match_from(level, level.text, entry->name, 0)) return true;
    size_t length = strlen(walk->path);
    size_t name_length = strlen(entry->name);
    if (length + name_length + 2 > OUTPUT_PATH_SIZE) return true;
    memcpy(walk->path + length, entry->name, name_length);
    walk->path[length + name_length] = level.separator;
    walk->path[length + name_length + 1] = '\0';
    bool going_on;
    if (last) {
        going_on = add_part(walk->list, walk->path, entry);
        if (!going_on) report_listing_failure(walk->path, ENOMEM);
    } else {
        Walk below = {walk->layout, walk->list, walk->path, walk->level + 1, false};
        going_on = list_level(&below);
    }
    walk->path[length] = '\0';
    if (!going_on) walk->failed = true;
    return going_on;
}

/* Lists walk's directory and, through visit_entry, those below it. False when a listing failed
   (reported). */
static bool list_level(Walk* walk) {
    if (list_directory(walk->path, visit_entry, walk) != 0) {
        if (!walk->failed) report_listing_failure(walk->path, errno);
        return false;
    }
    return !walk->failed;
}

static int older_first(const void* a, const void* b) {
    const PartFound* x = (const PartFound*)a;
    const PartFound* y = (const PartFound*)b;
    if (x->modified_ns != y->modified_ns) return x->modified_ns < y->modified_ns ? -1 : 1;
    return strcmp(x->path, y->path);
}

/* Lists the take's files, oldest first. False, with nothing listed, when the pattern cannot be
   matched or a listing failed (either reported). */
static bool list_take_parts(const char* take_path, PartList* list) {
    Retention& r = retention;
    lay_out_take(take_path, &r.layout);
    *list = PartList();
    if (!r.layout.matchable) {
        if (!r.unmatched_told) {
            end_progress_line();
            fprintf(stderr,
                    "*** Parts of %s are never removed: a conversion in it cannot be matched\n",
                    take_path);
        }
        r.unmatched_told = true;
        return false;
    }
    char path[OUTPUT_PATH_SIZE];
    memcpy(path, r.layout.base, sizeof path);
    Walk walk = {&r.layout, list, path, 0, false};
    if (!list_level(&walk)) {
        free(list->parts);
        *list = PartList();
        return false;
    }
    if (list->count > 1) qsort(list->parts, list->count, sizeof(PartFound), older_first);
    return true;
}

/* The length of path without a ".part" marker at its end. */
static size_t unmarked_length(const char* path) {
    size_t length = strlen(path);
    size_t marker = sizeof PART_MARKER - 1;
    if (length > marker && strcmp(path + length - marker, PART_MARKER) == 0) length -= marker;
    return length;
}

/* Whether a and b name the same part, ".part" markers and repeated separators aside. */
static bool same_part(const char* a, const char* b) {
    if (!a || !b) return false;
    const char* a_end = a + unmarked_length(a);
    const char* b_end = b + unmarked_length(b);
    while (a < a_end && b < b_end) {
        if (is_directory_separator(*a) && is_directory_separator(*b)) {
            while (a < a_end && is_directory_separator(*a))
                a++;
            while (b < b_end && is_directory_separator(*b))
                b++;
            continue;
        }
        if (*a++ != *b++) return false;
    }
    return a == a_end && b == b_end;
}

/* Removes part, saying why (the rest of the line after "PATH: "). False when it could not be
   removed (reported). */
static bool remove_part(const PartFound* part, const char* why) {
    end_progress_line();
    if (remove_listed_file(part->path) != 0) {
        fprintf(stderr, "*** Could not remove %s: %s\n", part->path, strerror(errno));
        return false;
    }
    fprintf(stderr, "*** Removed %s: %s\n", part->path, why);
    return true;
}

void remove_expired_parts(const char* take_path, const char* current, const char* next) {
    const int32_t hours = recording_settings.keep_hours;
    if (hours <= 0) return;
    PartList list;
    if (!list_take_parts(take_path, &list)) return;
    const int64_t now_ns = system_clock_ns();
    char why[48];
    snprintf(why, sizeof why, "older than %d hour%s", (int)hours, hours == 1 ? "" : "s");
    for (size_t i = 0; i < list.count; i++) {
        const PartFound* part = &list.parts[i];
        if (now_ns - part->modified_ns <= (int64_t)hours * NS_PER_HOUR) break;
        if (same_part(part->path, current) || same_part(part->path, next)) continue;
        if (!remove_part(part, why)) break;
    }
    free(list.parts);
}

/* The directory that holds path, into directory (OUTPUT_PATH_SIZE bytes): "" for the working
   one. */
static void directory_of(const char* path, char* directory) {
    size_t length = 0;
    for (size_t i = 0; path[i]; i++)
        if (is_directory_separator(path[i])) length = i + 1;
    memcpy(directory, path, length);
    directory[length] = '\0';
}

/* The free space of directory into *bytes; false when it cannot be had (reported). */
static bool free_space(const char* directory, uint64_t* bytes) {
    if (query_free_space(directory, bytes) == 0) return true;
    end_progress_line();
    fprintf(stderr, "*** Could not measure the free space of %s: %s\n",
            directory[0] ? directory : ".", strerror(errno));
    return false;
}

void make_room_for_part(const char* take_path, const char* path, uint64_t length,
                        const char* current) {
    if (recording_settings.keep_hours <= 0) return;
    uint64_t existing = 0;
    if (query_file_size(path, &existing) != 0) existing = 0;
    uint64_t need = length > existing ? length - existing : 0;
    need += need / 1000 * ROOM_ALLOWANCE_PER_MILLE + ROOM_ALLOWANCE_BYTES;
    char directory[OUTPUT_PATH_SIZE];
    directory_of(path, directory);
    uint64_t available;
    if (!free_space(directory, &available) || available >= need) return;
    PartList list;
    if (!list_take_parts(take_path, &list)) return;
    char why[OUTPUT_PATH_SIZE + 16];
    snprintf(why, sizeof why, "room for %s", path);
    for (size_t i = 0; i < list.count && available < need; i++) {
        const PartFound* part = &list.parts[i];
        if (same_part(part->path, current) || same_part(part->path, path)) continue;
        if (!remove_part(part, why) || !free_space(directory, &available)) break;
    }
    free(list.parts);
}
