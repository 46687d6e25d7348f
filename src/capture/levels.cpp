// The input level meter and the one-line countdown on standard error.
#include "capture/levels.h"

#include <cstddef>
#include <cstdio>
#include <cstring>

#include "settings/settings.h"

LevelAccumulators level_accumulators;

/* Samples summed side by side in one pass of the metering loops. An even number, so that the
   even lanes hold the first sample of each stereo pair and the odd lanes the second; sized so
   that the compiler turns each pass into a few vector operations. */
#define LEVEL_LANES 16

/* Passes summed into 16-bit lanes before they are widened: 256 levels of at most 128 each stay
   below 2^16. */
#define LEVEL_PASSES 256

/* Level 0..128 of an unsigned 8-bit sample. */
static inline uint32_t level_8(const unsigned char* p) {
    int32_t d = (int32_t)p[0] - 128;
    return (uint32_t)(d < 0 ? -d : d);
}

/* Level 0..128 of a signed little-endian 16-bit sample: its magnitude over 256, truncated. */
static inline uint32_t level_16(const unsigned char* p) {
    int32_t s = (int16_t)(uint16_t)(p[0] | p[1] << 8);
    return (uint32_t)(s < 0 ? -s : s) >> 8;
}

/* Level 0..128 of a packed signed little-endian 24-bit sample: its magnitude over 2^16. */
static inline uint32_t level_24(const unsigned char* p) {
    int32_t s = (int32_t)((uint32_t)p[0] | (uint32_t)p[1] << 8 | (uint32_t)p[2] << 16);
    if (s >= 0x800000) s -= 0x1000000;
    return (uint32_t)(s < 0 ? -s : s) >> 16;
}

/* Level 0..128 of a signed little-endian 32-bit sample: its magnitude over 2^24. */
static inline uint32_t level_32(const unsigned char* p) {
    uint32_t bits =
        (uint32_t)p[0] | (uint32_t)p[1] << 8 | (uint32_t)p[2] << 16 | (uint32_t)p[3] << 24;
    int64_t s = bits >= 0x80000000u ? (int64_t)bits - 0x100000000 : (int64_t)bits;
    return (uint32_t)((s < 0 ? -s : s) >> 24);
}

/* Level 0..128 of a little-endian 32-bit float sample (full scale 1.0): its magnitude times
   128, truncated; 128 at and beyond full scale, 0 for a NaN. */
static inline uint32_t level_float(const unsigned char* p) {
    uint32_t bits =
        (uint32_t)p[0] | (uint32_t)p[1] << 8 | (uint32_t)p[2] << 16 | (uint32_t)p[3] << 24;
    float x;
    memcpy(&x, &bits, sizeof x);
    if (x < 0) x = -x;
    if (!(x < 1.0f)) return x >= 1.0f ? 128 : 0;
    return (uint32_t)(x * 128.0f);
}

/* The sum of channel c (from 0) in the accumulators. */
static uint32_t* channel_sum(LevelAccumulators& acc, unsigned c) {
    return c == 0 ? &acc.left_sum : c == 1 ? &acc.right_sum : &acc.more_sums[c - 2];
}

/* Adds the levels of frames frames of channels samples of size bytes each, channel c into
   sums[c]. */
template <uint32_t (*level)(const unsigned char*), size_t size>
static void sum_frame_levels(const unsigned char* p, size_t frames, size_t channels,
                             uint32_t* sums) {
    for (size_t f = 0; f < frames; f++)
        for (size_t c = 0; c < channels; c++, p += size)
            sums[c] += level(p);
}

/* channel_level_sums for more than 2 channels or more than 16 bits. */
static uint32_t wide_level_sums(const unsigned char* p, uint32_t byte_count, uint32_t* sums) {
    const RecordingSettings& s = recording_settings;
    size_t channels = s.format.nChannels < CHANNELS_MAX ? s.format.nChannels : CHANNELS_MAX;
    size_t sample_bytes = s.format.wBitsPerSample / 8;
    size_t frames = byte_count / s.format.nBlockAlign;
    if (s.float_samples)
        sum_frame_levels<level_float, 4>(p, frames, channels, sums);
    else if (sample_bytes == 4)
        sum_frame_levels<level_32, 4>(p, frames, channels, sums);
    else if (sample_bytes == 3)
        sum_frame_levels<level_24, 3>(p, frames, channels, sums);
    else if (sample_bytes == 2)
        sum_frame_levels<level_16, 2>(p, frames, channels, sums);
    else
        sum_frame_levels<level_8, 1>(p, frames, channels, sums);
    return (uint32_t)frames;
}

/* Adds the levels of count samples of size bytes each into sums[0] (samples 0, 2, 4, ...) and
   sums[1] (samples 1, 3, 5, ...). The sums wrap modulo 2^32 exactly as one running sum would. */
template <uint32_t (*level)(const unsigned char*), size_t size>
static void sum_levels(const unsigned char* p, size_t count, uint32_t sums[2]) {
    uint32_t lanes[LEVEL_LANES] = {0};
    size_t i = 0;
    while (i + LEVEL_LANES <= count) {
        uint16_t block[LEVEL_LANES] = {0};
        size_t passes = (count - i) / LEVEL_LANES;
        if (passes > LEVEL_PASSES) passes = LEVEL_PASSES;
        for (; passes > 0; passes--, i += LEVEL_LANES)
            for (size_t j = 0; j < LEVEL_LANES; j++)
                block[j] = (uint16_t)(block[j] + level(p + (i + j) * size));
        for (size_t j = 0; j < LEVEL_LANES; j++)
            lanes[j] += block[j];
    }
    for (size_t j = 0; j < LEVEL_LANES; j++)
        sums[j & 1] += lanes[j];
    for (; i < count; i++)
        sums[i & 1] += level(p + i * size);
}

uint32_t channel_level_sums(const void* data, uint32_t byte_count, uint32_t sums[CHANNELS_MAX]) {
    const WAVEFORMATEX& format = recording_settings.format;
    memset(sums, 0, CHANNELS_MAX * sizeof sums[0]);
    if (format.nChannels > 2 || format.wBitsPerSample > 16)
        return wide_level_sums((const unsigned char*)data, byte_count, sums);
    size_t sample_bytes = format.wBitsPerSample == 8 ? 1 : 2;
    size_t channels = format.nChannels == 1 ? 1 : 2;
    /* Only whole frames are read: a buffer that ends inside a frame is not read past its end. */
    size_t samples = byte_count / (sample_bytes * channels) * channels;

    uint32_t pair[2] = {0, 0};
    if (sample_bytes == 1)
        sum_levels<level_8, 1>((const unsigned char*)data, samples, pair);
    else
        sum_levels<level_16, 2>((const unsigned char*)data, samples, pair);
    if (channels == 1) {
        sums[0] = pair[0] + pair[1];
    } else {
        sums[0] = pair[0];
        sums[1] = pair[1];
    }
    uint32_t frame_bytes = (uint32_t)(format.wBitsPerSample / 8) * format.nChannels;
    return frame_bytes != 0 ? byte_count / frame_bytes : 0;
}

void measure_levels(const void* data, uint32_t byte_count) {
    uint32_t sums[CHANNELS_MAX];
    uint32_t frames = channel_level_sums(data, byte_count, sums);
    LevelAccumulators& acc = level_accumulators;
    unsigned channels = recording_settings.format.nChannels;
    for (unsigned c = 0; c < channels && c < CHANNELS_MAX; c++)
        *channel_sum(acc, c) += sums[c];
    acc.frames += frames;
}

void show_progress(uint32_t count, uint32_t total) {
    const RecordingSettings& s = recording_settings;
    LevelAccumulators& acc = level_accumulators;
    if (s.quiet || count == acc.last_progress_count) return;
    uint32_t per_second = (uint32_t)s.buffers_per_second;
    uint32_t r = count % per_second;
    if (count != 1 && r != 0) return;
    acc.last_progress_count = count;

    uint32_t remaining = (r + total - count) / per_second;
    uint32_t divisor = acc.frames > 1 ? acc.frames : 1;
    char line[96];
    int length =
        snprintf(line, sizeof line, "\r%3d:%02d:%02d  Avg Level:%4u", (int)(remaining / 3600),
                 (int)(remaining / 60 % 60), (int)(remaining % 60), acc.left_sum / divisor);
    for (unsigned c = 1; c < s.format.nChannels && c < CHANNELS_MAX; c++)
        length += snprintf(line + length, sizeof line - (size_t)length, "%4u",
                           *channel_sum(acc, c) / divisor);
    /* One write per line, pushed out at once whatever buffering standard error was given. */
    fputs(line, stderr);
    fflush(stderr);
    acc.line_open = 1;

    acc.left_sum = 0;
    acc.right_sum = 0;
    memset(acc.more_sums, 0, sizeof acc.more_sums);
    acc.frames = 0;
}
