// The dead-air check: levels of each stretch of audio written, runs of quiet stretches, and the
// lines that report a silence and its end.
#include "capture/silence.h"

#include "capture/levels.h"
#include "capture/messages.h"
#include "settings/settings.h"
#include "wave/file_start.h"

#define NS_PER_S 1000000000LL

/* The check over the take, with where the current file begins. Main thread only. */
struct SilenceCheck {
    SilenceRun run;            /* the run of quiet stretches */
    bool file_seen;            /* a file's start has been taken in below */
    int64_t file_ns;           /* the current file's start, as current_file_start said it */
    uint32_t file_part;        /* its part number */
    uint64_t file_first_frame; /* its first frame, counted in the take */
    bool since_known;          /* the time of the run's first frame is known */
    int64_t since_ns;          /* that time, ns since 1970 UTC */
};

static SilenceCheck silence_check;

bool stretch_is_quiet(const uint32_t* sums, unsigned channels, uint32_t frames, uint32_t level) {
    if (frames == 0) return false;
    for (unsigned c = 0; c < channels; c++)
        if (sums[c] / frames > level) return false;
    return true;
}

SilenceChange silence_step(SilenceRun* run, bool quiet, uint32_t frames, uint64_t needed,
                           uint64_t* silent_frames) {
    SilenceChange change = SILENCE_SAME;
    if (quiet) {
        if (!run->quiet) {
            run->quiet = true;
            run->reported = false;
            run->first_frame = run->frames;
            run->length = 0;
        }
        run->length += frames;
        if (!run->reported && run->length >= needed) {
            run->reported = true;
            change = SILENCE_BEGAN;
        }
    } else if (frames > 0 && run->quiet) {
        if (run->reported) {
            *silent_frames = run->length;
            change = SILENCE_ENDED;
        }
        run->quiet = false;
        run->reported = false;
    }
    run->frames += frames;
    return change;
}

/* When the frame `frame` of the take, in the current file, was captured: false when the file's
   start is not known. */
static bool frame_time(uint64_t frame, int64_t* unix_ns) {
    const SilenceCheck& k = silence_check;
    if (!k.file_seen) return false;
    uint64_t into = frame - k.file_first_frame;
    uint32_t rate = recording_settings.format.nSamplesPerSec;
    *unix_ns =
        k.file_ns + (int64_t)(into / rate) * NS_PER_S + (int64_t)(into % rate * NS_PER_S / rate);
    return true;
}

/* Takes in a file start that differs from the last one seen: the stretch about to be checked is
   its first. */
static void follow_file_start(void) {
    SilenceCheck& k = silence_check;
    const FileStart* start = current_file_start();
    if (!start->known) return;
    if (k.file_seen && start->unix_ns == k.file_ns && start->part == k.file_part) return;
    k.file_seen = true;
    k.file_ns = start->unix_ns;
    k.file_part = start->part;
    k.file_first_frame = k.run.frames;
}

void check_silence(const void* data, uint32_t byte_count) {
    const RecordingSettings& s = recording_settings;
    if (s.silence_level == SILENCE_OFF) return;
    SilenceCheck& k = silence_check;
    uint32_t sums[CHANNELS_MAX];
    uint32_t frames = channel_level_sums(data, byte_count, sums);
    if (frames == 0) return;
    unsigned channels = s.format.nChannels < CHANNELS_MAX ? s.format.nChannels : CHANNELS_MAX;
    bool quiet = stretch_is_quiet(sums, channels, frames, (uint32_t)s.silence_level);
    follow_file_start();
    uint64_t first = k.run.frames;
    int64_t first_ns = 0;
    bool timed = frame_time(first, &first_ns);
    bool was_quiet = k.run.quiet;
    uint64_t needed = (uint64_t)s.silence_seconds * s.format.nSamplesPerSec;
    uint64_t silent_frames = 0;
    SilenceChange change = silence_step(&k.run, quiet, frames, needed, &silent_frames);
    if (quiet && !was_quiet) {
        k.since_known = timed;
        k.since_ns = first_ns;
    }
    if (change == SILENCE_BEGAN)
        print_silence_since(k.run.first_frame, k.since_known, k.since_ns, (uint32_t)s.silence_level,
                            (uint32_t)s.silence_seconds);
    else if (change == SILENCE_ENDED)
        print_sound_again(first, timed, first_ns, silent_frames);
}
