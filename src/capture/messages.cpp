// The capture's "***" lines and the end of the progress line, each line on a line of its own.
#include "capture/messages.h"

#include <cstdio>

#include "capture/levels.h"
#include "settings/settings.h"
#include "wave/take_files.h"

void end_progress_line(void) {
    LevelAccumulators& acc = level_accumulators;
    if (!acc.line_open) return;
    fputs("\n", stderr);
    fflush(stderr);
    acc.line_open = 0;
}

void print_capture_error_line(const char* label, const char* text) {
    end_progress_line();
    fprintf(stderr, "*** Capture error during %s: %s\n", label, text);
}

void print_keyboard_abort(void) {
    end_progress_line();
    fprintf(stderr, "*** Keyboard abort -- truncating output...\n");
}

/* Writes frames as hours:minutes:seconds.hundredths into text. */
static void format_position(uint64_t frames, char* text, size_t size) {
    uint32_t rate = recording_settings.format.nSamplesPerSec;
    uint64_t hundredths = frames * 100 / rate;
    snprintf(text, size, "%u:%02u:%02u.%02u", (unsigned)(hundredths / 360000),
             (unsigned)(hundredths / 6000 % 60), (unsigned)(hundredths / 100 % 60),
             (unsigned)(hundredths % 100));
}

void print_audio_lost(uint64_t frames, const char* path, const char* text) {
    char position[32];
    format_position(frames, position, sizeof position);
    end_progress_line();
    fprintf(stderr, "*** Audio lost after %s of the take, at the end of %s: %s\n", position, path,
            text);
}

void print_take_goes_on(const char* path) {
    end_progress_line();
    fprintf(stderr, "*** The take goes on in %s\n", path);
}

void print_loss_summary(uint32_t losses, uint32_t unmeasured, uint64_t lost_frames) {
    end_progress_line();
    fprintf(stderr, "*** %u %s in the take, %s%.1f s of audio lost in all\n", losses,
            losses == 1 ? "loss" : "losses", unmeasured > 0 ? "more than " : "",
            (double)lost_frames / recording_settings.format.nSamplesPerSec);
}

void print_part_clock(const char* path, double ppm) {
    end_progress_line();
    fprintf(stderr, "*** Sound card clock at %+.1f ppm against the system clock in %s\n", ppm,
            path);
}

void print_take_clock(double ppm) {
    end_progress_line();
    fprintf(stderr, "*** Sound card clock at %+.1f ppm against the system clock over the take\n",
            ppm);
}

/* Writes the time of day of unix_ns in the names' zone as HH:MM:SS into text, or "--:--:--"
   when it is not known. */
static void format_time_of_day(bool timed, int64_t unix_ns, char* text, size_t size) {
    if (!timed) {
        snprintf(text, size, "--:--:--");
        return;
    }
    int64_t unix_s = unix_ns / 1000000000 - (unix_ns % 1000000000 < 0 ? 1 : 0);
    int64_t day_s = zone_time(unix_s).local_s % 86400;
    if (day_s < 0) day_s += 86400;
    snprintf(text, size, "%02d:%02d:%02d", (int)(day_s / 3600), (int)(day_s / 60 % 60),
             (int)(day_s % 60));
}

void print_silence_since(uint64_t frames, bool timed, int64_t unix_ns, uint32_t level,
                         uint32_t seconds) {
    char position[32], clock[16];
    format_position(frames, position, sizeof position);
    format_time_of_day(timed, unix_ns, clock, sizeof clock);
    end_progress_line();
    fprintf(stderr,
            "*** Silence since %s (%s of the take): every channel at or below level %u for %u s\n",
            clock, position, level, seconds);
}

void print_sound_again(uint64_t frames, bool timed, int64_t unix_ns, uint64_t silent_frames) {
    char position[32], clock[16];
    format_position(frames, position, sizeof position);
    format_time_of_day(timed, unix_ns, clock, sizeof clock);
    end_progress_line();
    fprintf(stderr, "*** Sound again at %s (%s of the take) after %.1f s of silence\n", clock,
            position, (double)silent_frames / recording_settings.format.nSamplesPerSec);
}

void print_waiting_for_device(void) {
    end_progress_line();
    fprintf(stderr, "*** Waiting for the input device to come back, trying every second\n");
}

void print_device_back(int64_t gone_ns) {
    end_progress_line();
    fprintf(stderr, "*** The input device is back after %.1f s\n", (double)gone_ns / 1e9);
}
