// The dead-air check (-d): a silence when every channel stays at or below a level for seconds of
// audio, reported once when it has lasted that long and again when the sound returns.
#pragma once

#include <cstdint>

/* A run of quiet stretches of the take's audio. */
struct SilenceRun {
    uint64_t frames;      /* frames of the take checked so far */
    bool quiet;           /* the last stretch was quiet: the run below is going on */
    bool reported;        /* the run has been reported as a silence */
    uint64_t first_frame; /* the run's first frame, counted in the take */
    uint64_t length;      /* frames in the run */
};

/* What a stretch of audio changes. */
enum SilenceChange {
    SILENCE_SAME,  /* nothing to report */
    SILENCE_BEGAN, /* the run has lasted long enough: a silence since run.first_frame */
    SILENCE_ENDED  /* the stretch ends a reported silence: sound again at its first frame */
};

/* Whether a stretch of `frames` frames is quiet: the average level of every one of `channels`
   channels, the sum of its levels (sums[c]) over frames, truncated as the meter shows it, is at
   or below level. A stretch without frames is not. */
bool stretch_is_quiet(const uint32_t* sums, unsigned channels, uint32_t frames, uint32_t level);

/* Takes the next stretch of `frames` frames of the take into run, quiet or not; `needed` frames
   of quiet audio make a silence. A silence is reported once: SILENCE_BEGAN when the run reaches
   needed frames with this stretch; SILENCE_ENDED when a loud stretch follows a reported
   silence, *silent_frames then being the silence's length (the run is over). Pure. */
SilenceChange silence_step(SilenceRun* run, bool quiet, uint32_t frames, uint64_t needed,
                           uint64_t* silent_frames);

/* Checks byte_count bytes of audio in the recording format, the next to be written to the
   current file, with -d's level and seconds, and prints "*** Silence since ..." or "*** Sound
   again at ..." when they begin or end a silence. Nothing without -d. The time of a frame is
   its file's start (current_file_start) plus its frames in the file. Main thread, every stretch
   of the take's audio in order. */
void check_silence(const void* data, uint32_t byte_count);
