// Command-line parsing into the recording settings, and the usage text.
#include "settings/settings.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "driver/fatal.h"
#include "platform/platform.h"
#include "platform/wave_subformat.h"

const RecordingSettings default_settings = {
    5,      /* seconds */
    5,      /* queue_seconds */
    10,     /* buffers_per_second */
    0,      /* device_number */
    131072, /* write_size */
    {0, 2, 44100, 0, 0, 16, 0},
    0,  /* prompt */
    0,  /* quiet */
    0,  /* float_samples */
    "", /* output_path */
    "", /* device_name */
    0,  /* part_seconds */
    1,  /* sync_seconds */
    0,  /* bext */
    0,  /* align_parts */
    0,  /* utc */
    0,  /* mark_parts */
    "", /* part_command */
    0,  /* keep_hours */
    -1, /* silence_level: SILENCE_OFF */
    10, /* silence_seconds */
};

RecordingSettings recording_settings = default_settings;

static const char illegal_switch_message[] =
    "Illegal switch '%s', or bad switch value.\n"
    "Get help by starting the program without arguments.\n";

#define NUMBER_TEXT_OF(number) #number
#define NUMBER_TEXT(number) NUMBER_TEXT_OF(number)

/* The usage text, one line of source a line of text; the ranges come from settings.h. */
// clang-format off
static const char usage_text[] =
    "\n"
    "Audio capture tool, ver " WAVTAP_VERSION ".  wavtap project, 2026\n"
    "Efficient capture (no dropped data) of raw audio to .wav file.\n"
    "\n"
    "Usage:  wavtap file{.wav} {/opts}\n"
    "\n"
    "  file.wav: Output wave file (\"-\" for stdout) - rewritten in-place\n"
    "            if already exists to avoid allocation time.\n"
    "{/opts}:\n"
    "  -?        This message.\n"
    "  -b{nn}    Bits/Sample: 8, 16, 24, 32, or 32f for float (default %d).\n"
    "  -c{n}     Number of channels: 1= mono, 2= stereo, up to "
        NUMBER_TEXT(CHANNELS_MAX) " (default %d)\n"
    "  -f{nnn}   Capture samples/sec: e.g., 22050 (default %d)\n"
    "  -s{nn}    Number of seconds to capture (default %d).\n"
    "  -t{nn}    Record in parts of nn seconds: file-0001.wav, file-0002.wav, ...\n"
    "            (a file name with %% is a strftime pattern); -s0 = until stopped.\n"
    "  -a        Align the parts to the clock: they begin at the multiples of nn\n"
    "            seconds since midnight (nn must divide a day).\n"
    "  -u        Name, align and time the parts in UTC instead of local time.\n"
    "  -i{n}     Input wave device Id +1, 0 for WAVE_MAPPER (default %d).\n"
    "  -l        List the input devices, with the number or name for -i.\n"
    "  -p        Prompt for keystroke before beginning recording.\n"
    "  -q        Quiet mode (no progress display)\n"
    "  -e        Broadcast Wave: a bext chunk with the time of each file's first frame.\n"
    "  -m        Name a part file.wav.part until it is complete, then file.wav.\n"
    "  -x{prog}  Run the program prog for each finished part, its path the one argument.\n"
    "  -k{nn}    Keep the take's parts nn hours, 1.." NUMBER_TEXT(KEEP_HOURS_MAX) ": older ones are removed,\n"
    "            and the oldest when the next part does not fit on the disk.\n"
    "  -d{l}[:s] Report silence: every channel at or below level l (0.."
        NUMBER_TEXT(SILENCE_LEVEL_MAX) ") for s\n"
    "            seconds (default 10).\n"
    "  -#q{nn}   Audio buffer queue size in seconds, "
        NUMBER_TEXT(QUEUE_SECONDS_MIN) ".." NUMBER_TEXT(QUEUE_SECONDS_MAX) " (default %d).\n"
    "  -#b{nnn}  Wave buffers/sec, "
        NUMBER_TEXT(BUFFERS_PER_SECOND_MIN) ".." NUMBER_TEXT(BUFFERS_PER_SECOND_MAX) " (default %d).\n"
    "  -#w{nnnn} Size of each disk write (minimum is "
        NUMBER_TEXT(WRITE_SIZE_UNIT) ", default is %d).\n"
    "  -#s{nnnn} Seconds between syncs to disk, 0.."
        NUMBER_TEXT(SYNC_SECONDS_MAX) " (default %d; 0 = at the end only).\n";
// clang-format on

void print_usage(void) {
    const RecordingSettings& s = recording_settings;
    printf(usage_text, s.format.wBitsPerSample, s.format.nChannels, (int)s.format.nSamplesPerSec,
           s.seconds, s.device_number, s.queue_seconds, s.buffers_per_second, s.write_size,
           s.sync_seconds);
}

void show_usage(void) {
    print_usage();
    exit(-1);
}

bool read_switch_number(const char* text, int32_t* value) {
    const unsigned char* p = (const unsigned char*)text;
    while (*p == ' ' || (*p >= '\t' && *p <= '\r'))
        p++;
    if (*p == '\0') {
        *value = 0;
        return true;
    }
    bool negative = false;
    if (*p == '+' || *p == '-') negative = (*p++ == '-');
    if (*p < '0' || *p > '9') return false;
    /* The magnitude stays within 2^31 (INT32_MIN's), so it never wraps. */
    const uint32_t limit = negative ? 0x80000000u : 0x7FFFFFFFu;
    uint32_t magnitude = 0;
    for (; *p >= '0' && *p <= '9'; p++) {
        uint32_t digit = (uint32_t)(*p - '0');
        if (magnitude > (limit - digit) / 10u) return false;
        magnitude = magnitude * 10u + digit;
    }
    if (*p != '\0') return false;
    *value = negative ? (int32_t)(0u - magnitude) : (int32_t)magnitude;
    return true;
}

static char fold_letter(char c) {
    return (c >= 'a' && c <= 'z') ? (char)(c - 'a' + 'A') : c;
}

[[noreturn]] static void illegal_switch(const char* argument) {
    fatal_error(illegal_switch_message, argument);
}

/* Applies one "-#" switch; returns false when it is illegal. */
static bool apply_extended_switch(const char* argument) {
    if (argument[2] == '\0') return false;
    int32_t value;
    if (!read_switch_number(argument + 3, &value)) return false;
    switch (fold_letter(argument[2])) {
    case 'Q':
        if (value < QUEUE_SECONDS_MIN || value > QUEUE_SECONDS_MAX) return false;
        recording_settings.queue_seconds = value;
        return true;
    case 'B':
        if (value < BUFFERS_PER_SECOND_MIN || value > BUFFERS_PER_SECOND_MAX) return false;
        recording_settings.buffers_per_second = value;
        return true;
    case 'W':
        if (value < WRITE_SIZE_UNIT) return false;
        recording_settings.write_size = value & ~(WRITE_SIZE_UNIT - 1);
        return true;
    case 'S':
        if (value < 0 || value > SYNC_SECONDS_MAX) return false;
        recording_settings.sync_seconds = value;
        return true;
    default:
        return false;
    }
}

/* Applies "-b": 8, 16, 24 or 32-bit integers, or "32f" for 32-bit float. */
static bool apply_bits_switch(const char* argument) {
    RecordingSettings& s = recording_settings;
    char digits[8];
    size_t length = strlen(argument + 2);
    bool is_float = length > 0 && fold_letter(argument[2 + length - 1]) == 'F';
    if (is_float) length--;
    if (length >= sizeof digits) return false;
    memcpy(digits, argument + 2, length);
    digits[length] = '\0';
    int32_t value;
    if (!read_switch_number(digits, &value)) return false;
    if (is_float ? value != 32 : value != 8 && value != 16 && value != 24 && value != 32)
        return false;
    s.format.wBitsPerSample = (WORD)value;
    s.float_samples = is_float;
    return true;
}

/* Takes the value of -d: a level, and after a colon the seconds that make a silence. Returns
   false for a level or seconds out of range. */
static bool take_silence(const char* text) {
    RecordingSettings& s = recording_settings;
    char level_text[16];
    const char* colon = strchr(text, ':');
    size_t length = colon ? (size_t)(colon - text) : strlen(text);
    if (length >= sizeof level_text) return false;
    memcpy(level_text, text, length);
    level_text[length] = '\0';
    int32_t level, seconds = default_settings.silence_seconds;
    if (!read_switch_number(level_text, &level) || level < 0 || level > SILENCE_LEVEL_MAX)
        return false;
    if (colon && (colon[1] == '\0' || !read_switch_number(colon + 1, &seconds))) return false;
    if (seconds < 1 || seconds > SILENCE_SECONDS_MAX) return false;
    s.silence_level = level;
    s.silence_seconds = seconds;
    return true;
}

/* Takes the value of -f: a rate from 1 to MAX_SAMPLE_RATE. Returns false for any other. */
static bool take_rate(const char* text) {
    int32_t rate;
    if (!read_switch_number(text, &rate) || rate < 1 || rate > MAX_SAMPLE_RATE) return false;
    recording_settings.format.nSamplesPerSec = (uint32_t)rate;
    return true;
}

/* Whether text is a number as -i takes it: nothing (device 0), or an optional sign and one or
   more digits, with nothing after them but white space before them. */
static bool is_number(const char* text) {
    while (*text == ' ' || (*text >= '\t' && *text <= '\r'))
        text++;
    if (*text == '\0') return true;
    if (*text == '+' || *text == '-') text++;
    if (*text == '\0') return false;
    for (; *text != '\0'; text++)
        if (*text < '0' || *text > '9') return false;
    return true;
}

/* Takes the value of -i: a number is the device number, anything else names the device.
   Returns false for a number beyond 32 bits or a name too long to keep. */
static bool take_device(const char* text) {
    RecordingSettings& s = recording_settings;
    if (is_number(text)) {
        if (!read_switch_number(text, &s.device_number)) return false;
        s.device_name[0] = '\0';
        return true;
    }
    if (strlen(text) > DEVICE_NAME_SIZE - 1) return false;
    strcpy(s.device_name, text);
    s.device_number = 0;
    return true;
}

/* The -s0 argument, kept until the parser knows whether the take is in parts (the only takes
   that may run until stopped). */
static const char* zero_seconds_argument;

/* The last -t and -a arguments, kept until the parser knows whether the parts can be aligned. */
static const char* part_seconds_argument;
static const char* align_argument;

/* The last -k argument, kept until the parser knows whether the take is in parts. */
static const char* keep_argument;
/* The last -m and -x arguments, kept until the parser knows whether the take is in parts. */
static const char* mark_argument;
static const char* command_argument;

/* Applies one switch argument (its first character is one of switch_prefixes); returns false
   when it is illegal. */
static bool apply_switch(const char* argument) {
    RecordingSettings& s = recording_settings;
    /* The value of -s, -t and -c; the other switches read their own or take none. */
    int32_t value = 0;
    bool has_number = read_switch_number(argument + 2, &value);
    switch (fold_letter(argument[1])) {
    case '?':
        show_usage();
    case 'S':
        if (!has_number || value < 0) return false;
        if (value == 0) zero_seconds_argument = argument;
        s.seconds = value;
        return true;
    case 'T':
        if (!has_number || value < 1) return false;
        s.part_seconds = value;
        part_seconds_argument = argument;
        return true;
    case 'A':
        s.align_parts = 1;
        align_argument = argument;
        return true;
    case 'U':
        s.utc = 1;
        return true;
    case 'K':
        if (!has_number || value < 1 || value > KEEP_HOURS_MAX) return false;
        s.keep_hours = value;
        keep_argument = argument;
        return true;
    case 'C':
        if (!has_number || value < 1 || value > CHANNELS_MAX) return false;
        s.format.nChannels = (WORD)value;
        return true;
    case 'B':
        return apply_bits_switch(argument);
    case 'H':
        print_usage();
        exit(0);
    case 'L':
        list_input_devices();
        exit(0);
    case 'F':
        return take_rate(argument + 2);
    case 'I':
        return take_device(argument + 2);
    case 'P':
        s.prompt = 1;
        return true;
    case 'Q':
        s.quiet = 1;
        return true;
    case 'E':
        s.bext = 1;
        return true;
    case 'D':
        return take_silence(argument + 2);
    case 'M':
        s.mark_parts = 1;
        mark_argument = argument;
        return true;
    case 'X':
        if (argument[2] == '\0' || strlen(argument + 2) > OUTPUT_PATH_SIZE - 1) return false;
        strcpy(s.part_command, argument + 2);
        command_argument = argument;
        return true;
    case '#':
        return apply_extended_switch(argument);
    default:
        return false;
    }
}

/* Takes a file-name argument. A name that does not fit is refused rather than cut short: a cut
   name would make the program write over a file the user never named. */
static void take_file_name(const char* argument) {
    RecordingSettings& s = recording_settings;
    if (s.output_path[0] != '\0')
        fatal_error("Too many file names. Get help by\nstarting the program without arguments.\n");
    if (strlen(argument) > OUTPUT_PATH_SIZE - 1) fatal_error("File name too long: %s\n", argument);
    strcpy(s.output_path, argument);
}

/* The speaker mask for 1..8 channels: mono, stereo, 3.0, quad, 5.0, 5.1, 6.1, 7.1. */
static const DWORD speaker_masks[CHANNELS_MAX + 1] = {
    0,
    SPEAKER_FRONT_CENTER,
    SPEAKER_FRONT_LEFT | SPEAKER_FRONT_RIGHT,
    SPEAKER_FRONT_LEFT | SPEAKER_FRONT_RIGHT | SPEAKER_FRONT_CENTER,
    SPEAKER_FRONT_LEFT | SPEAKER_FRONT_RIGHT | SPEAKER_BACK_LEFT | SPEAKER_BACK_RIGHT,
    SPEAKER_FRONT_LEFT | SPEAKER_FRONT_RIGHT | SPEAKER_FRONT_CENTER | SPEAKER_BACK_LEFT |
        SPEAKER_BACK_RIGHT,
    SPEAKER_FRONT_LEFT | SPEAKER_FRONT_RIGHT | SPEAKER_FRONT_CENTER | SPEAKER_LOW_FREQUENCY |
        SPEAKER_BACK_LEFT | SPEAKER_BACK_RIGHT,
    SPEAKER_FRONT_LEFT | SPEAKER_FRONT_RIGHT | SPEAKER_FRONT_CENTER | SPEAKER_LOW_FREQUENCY |
        SPEAKER_BACK_LEFT | SPEAKER_BACK_RIGHT | SPEAKER_BACK_CENTER,
    SPEAKER_FRONT_LEFT | SPEAKER_FRONT_RIGHT | SPEAKER_FRONT_CENTER | SPEAKER_LOW_FREQUENCY |
        SPEAKER_BACK_LEFT | SPEAKER_BACK_RIGHT | SPEAKER_SIDE_LEFT | SPEAKER_SIDE_RIGHT,
};

void derive_wave_format(void) {
    RecordingSettings& s = recording_settings;
    if (s.seconds > 0 && s.queue_seconds > s.seconds) s.queue_seconds = s.seconds;
    s.format.nBlockAlign = (WORD)((s.format.nChannels * s.format.wBitsPerSample) / 8);
    s.format.nAvgBytesPerSec = s.format.nBlockAlign * s.format.nSamplesPerSec;
    s.format.wFormatTag = WAVE_FORMAT_PCM;
    s.format.cbSize = 0;
    if (s.format.nChannels <= 2 && s.format.wBitsPerSample <= 16 && !s.float_samples) return;
    WAVEFORMATEXTENSIBLE& extensible = s.format_extensible;
    s.format.wFormatTag = WAVE_FORMAT_EXTENSIBLE;
    s.format.cbSize = (WORD)(sizeof(WAVEFORMATEXTENSIBLE) - sizeof(WAVEFORMATEX));
    extensible.Samples.wValidBitsPerSample = s.format.wBitsPerSample;
    extensible.dwChannelMask =
        s.format.nChannels <= CHANNELS_MAX ? speaker_masks[s.format.nChannels] : 0;
    extensible.SubFormat =
        wave_subformat(s.float_samples ? WAVE_FORMAT_IEEE_FLOAT : WAVE_FORMAT_PCM);
}

void parse_switches(int argc, char** argv) {
    for (int i = 1; i < argc; i++) {
        const char* argument = argv[i];
        if (strcmp(argument, "--help") == 0) {
            print_usage();
            exit(0);
        }
        if (strcmp(argument, "--version") == 0) {
            printf("wavtap " WAVTAP_VERSION "\n");
            exit(0);
        }
        bool is_switch = argument[0] != '\0' && strchr(switch_prefixes, argument[0]) != nullptr &&
                         argument[1] != '\0';
        if (!is_switch) {
            take_file_name(argument);
        } else if (!apply_switch(argument)) {
            illegal_switch(argument);
        }
    }
    const RecordingSettings& s = recording_settings;
    if (s.output_path[0] == '\0') show_usage();
    if (s.seconds == 0 && s.part_seconds == 0) illegal_switch(zero_seconds_argument);
    if (s.align_parts && s.part_seconds == 0) illegal_switch(align_argument);
    if (s.keep_hours && s.part_seconds == 0) illegal_switch(keep_argument);
    if (s.mark_parts && s.part_seconds == 0) illegal_switch(mark_argument);
    if (s.part_command[0] != '\0' && s.part_seconds == 0) illegal_switch(command_argument);
    if (s.align_parts && SECONDS_PER_DAY % s.part_seconds != 0)
        illegal_switch(part_seconds_argument);
    if (s.part_seconds > 0 && strcmp(s.output_path, "-") == 0)
        fatal_error("Parts need an output file, not standard output.\n");
    derive_wave_format();
}
