// The input level meter and the one-line countdown on standard error (ended by
// end_progress_line in messages.h).
#pragma once

#include <cstdint>

#include "capture/messages.h"
#include "settings/settings.h"

struct LevelAccumulators {
    uint32_t left_sum;                    /* sample levels of channel 1 (the only one, for mono) */
    uint32_t right_sum;                   /* sample levels of channel 2 (stereo only) */
    uint32_t frames;                      /* sample frames measured since the last line */
    uint32_t last_progress_count;         /* buffer count of the last printed line */
    uint32_t more_sums[CHANNELS_MAX - 2]; /* sample levels of channels 3 to 8 */
    uint32_t line_open; /* 1 while a progress line is on the screen without its end */
};

/* Sums since the last progress line; main thread only. */
extern LevelAccumulators level_accumulators;

/* Adds the levels (0..128: the magnitude relative to full scale, times 128, truncated) of one
   buffer of samples in the recording format, each channel to its own sum. */
void measure_levels(const void* data, uint32_t byte_count);

/* Sets sums[c] to the sum of the levels (as measure_levels takes them) of channel c over the
   whole frames of byte_count bytes of samples in the recording format, for every channel of the
   format (the rest are 0), and returns the count of those frames. Touches nothing else: the
   silence check measures with it whether the meter runs or not. */
uint32_t channel_level_sums(const void* data, uint32_t byte_count, uint32_t sums[CHANNELS_MAX]);

/* Redraws the countdown line for count of total capture buffers, at count 1 and at every whole
   second of audio; nothing in quiet mode. */
void show_progress(uint32_t count, uint32_t total);
