// The recording settings every subsystem reads, and the command-line parser that fills them.
#pragma once

#include <cstdint>

#include "platform/platform.h"

#define OUTPUT_PATH_SIZE 260   /* bytes in output_path: 259 characters and a NUL */
#define DEVICE_NAME_SIZE 128   /* bytes in device_name: 127 characters and a NUL */
#define MAX_SAMPLE_RATE 768000 /* the highest rate -f takes */

/* The ranges the switches accept; the usage text shows them from here. */
#define QUEUE_SECONDS_MIN 1       /* -#q */
#define QUEUE_SECONDS_MAX 60      /* -#q */
#define BUFFERS_PER_SECOND_MIN 1  /* -#b */
#define BUFFERS_PER_SECOND_MAX 20 /* -#b */
#define WRITE_SIZE_UNIT 512       /* -#w: at least this, and rounded down to a multiple of it */
#define CHANNELS_MAX 8            /* -c */
#define SYNC_SECONDS_MAX 3600     /* -#s: 0..this */
#define SECONDS_PER_DAY 86400     /* -t with -a divides this */
#define KEEP_HOURS_MAX 87600      /* -k: 1..this */
#define SILENCE_LEVEL_MAX 128     /* -d: levels 0..this */
#define SILENCE_SECONDS_MAX 86400 /* -d: seconds 1..this */
#define SILENCE_OFF (-1)          /* silence_level without -d */

struct RecordingSettings {
    int32_t seconds;            /* length of the take in seconds, 0 = until stopped (-s) */
    int32_t queue_seconds;      /* seconds of audio queued at the device (-#q) */
    int32_t buffers_per_second; /* capture buffers per second of audio (-#b) */
    int32_t device_number;      /* input device id plus one; 0 is WAVE_MAPPER (-i) */
    int32_t write_size;         /* bytes in each disk write, a multiple of 512 (-#w) */
    union {
        WAVEFORMATEX format;                    /* capture format, handed to the device unchanged */
        WAVEFORMATEXTENSIBLE format_extensible; /* the same, when format.cbSize is 22 */
    };
    int32_t prompt;                     /* wait for a key before recording starts (-p) */
    int32_t quiet;                      /* no level metering and no progress line (-q) */
    int32_t float_samples;              /* 32-bit float samples instead of integers (-b32f) */
    char output_path[OUTPUT_PATH_SIZE]; /* output path as given, or "-" for standard output */
    char device_name[DEVICE_NAME_SIZE]; /* input device named by -i, or "" for device_number */
    int32_t part_seconds;               /* length of each part in seconds, 0 = one file (-t) */
    int32_t sync_seconds; /* longest time between syncs of the output, 0 = at the end only (-#s) */
    int32_t bext;         /* every file gets a Broadcast Wave "bext" chunk (-e) */
    int32_t align_parts;  /* parts begin at the multiples of part_seconds since midnight (-a) */
    int32_t utc;          /* names, alignment and file start times in UTC, not local time (-u) */
    int32_t mark_parts;   /* a part is named NAME.part until it is complete (-m) */
    char part_command[OUTPUT_PATH_SIZE]; /* program run for each finished part, "" for none (-x) */
    int32_t keep_hours;      /* hours the take's parts are kept, 0 = all are kept (-k) */
    int32_t silence_level;   /* the level silence stays at or below, or SILENCE_OFF (-d) */
    int32_t silence_seconds; /* seconds of audio at or below it that make a silence (-d) */
};

/* The process-wide settings. Written by parse_switches; read-only for everything else. The file
   being written (output_path completed, or a part's name) is the output's own path,
   disk_write_buffer.path. */
extern RecordingSettings recording_settings;

/* The compiled-in defaults, which are also recording_settings' initial values. */
extern const RecordingSettings default_settings;

/* Fills recording_settings from the process arguments (argv[0] is the program's name) and
   completes the wave format. Returns only with valid settings that name an output; on every
   other outcome it prints the usage text or a message and ends the process with status -1,
   except that a request for help, the version or the device list ends it with status 0. */
void parse_switches(int argc, char** argv);

/* Prints the usage text with the current settings to standard output and ends the process
   with status -1. */
[[noreturn]] void show_usage(void);

/* Prints the usage text with the current settings to standard output. */
void print_usage(void);

/* Completes the wave format from channels, bits, float_samples and rate, and caps queue_seconds
   at seconds. 8 or 16 bits on 1 or 2 channels is plain PCM with cbSize 0; more bits, float or
   more channels is WAVE_FORMAT_EXTENSIBLE with cbSize 22, every bit valid, the standard speaker
   mask for the channel count, and the PCM or IEEE-float sub-format. */
void derive_wave_format(void);

/* Reads a switch's value: leading white space, an optional sign and digits, with nothing after
   them. Returns true and sets *value for such a number within the signed 32-bit range, and for
   an empty (or white) text, which reads as 0; false for anything else, *value then unchanged. */
bool read_switch_number(const char* text, int32_t* value);
