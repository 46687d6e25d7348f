// Unit tests of the level meter and the countdown line on standard error.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include <unistd.h>

#include "capture/levels.h"
#include "settings/settings.h"

namespace {

/* Sets the recording format and length from the defaults and clears the meter. */
void use_format(int channels, int bits, int seconds = 5, int per_second = 10, int quiet = 0) {
    recording_settings = default_settings;
    recording_settings.format.nChannels = (WORD)channels;
    recording_settings.format.wBitsPerSample = (WORD)bits;
    recording_settings.seconds = seconds;
    recording_settings.buffers_per_second = per_second;
    recording_settings.quiet = quiet;
    derive_wave_format();
    level_accumulators = LevelAccumulators{};
}

/* The bytes that reach file descriptor 2 while action runs. Nothing flushes standard error
   before they are read, so bytes the program left in a buffer would be missing. */
std::string stderr_of(const std::function<void()>& action) {
    FILE* file = tmpfile();
    EXPECT_NE(file, nullptr);
    int saved = dup(2);
    EXPECT_EQ(dup2(fileno(file), 2), 2);
    action();
    dup2(saved, 2);
    close(saved);
    std::string bytes;
    char chunk[512];
    lseek(fileno(file), 0, SEEK_SET);
    for (ssize_t n; (n = read(fileno(file), chunk, sizeof chunk)) > 0;)
        bytes.append(chunk, n);
    fclose(file);
    return bytes;
}

/* frames of 16-bit little-endian stereo with the given left and right samples. */
std::vector<unsigned char> stereo_16(int left, int right, size_t frames) {
    std::vector<unsigned char> bytes;
    for (size_t i = 0; i < frames; i++)
        for (int s : {left, right})
            bytes.insert(bytes.end(), {(unsigned char)s, (unsigned char)(s >> 8)});
    return bytes;
}

TEST(MeasureLevels, TakesTheLevelOfEachSampleFormat) {
    struct Case {
        int bits;
        int sample;
        uint32_t level;
    } cases[] = {
        {8, 128, 0},   {8, 0, 128},        {8, 255, 127},    {8, 127, 1},       {8, 129, 1},
        {16, 0, 0},    {16, -1, 0},        {16, 255, 0},     {16, 256, 1},      {16, -255, 0},
        {16, -256, 1}, {16, 0x1234, 0x12}, {16, 32767, 127}, {16, -32768, 128},
    };
    const size_t frames = 10001; /* more than one block of passes, and a tail */
    for (const Case& c : cases) {
        for (int channels : {1, 2}) {
            use_format(channels, c.bits);
            std::vector<unsigned char> bytes;
            for (size_t i = 0; i < frames * channels; i++) {
                bytes.push_back((unsigned char)c.sample);
                if (c.bits == 16) bytes.push_back((unsigned char)(c.sample >> 8));
            }
            measure_levels(bytes.data(), (uint32_t)bytes.size());
            const LevelAccumulators& acc = level_accumulators;
            SCOPED_TRACE(testing::Message() << c.bits << "-bit sample " << c.sample << ", "
                                            << channels << " channel(s)");
            EXPECT_EQ(acc.left_sum, c.level * frames);
            EXPECT_EQ(acc.right_sum, channels == 2 ? c.level * frames : 0);
            EXPECT_EQ(acc.frames, frames);
        }
    }
}

/* The sum of channel c (from 0) in the accumulators. */
uint32_t channel_sum(int c) {
    const LevelAccumulators& acc = level_accumulators;
    return c == 0 ? acc.left_sum : c == 1 ? acc.right_sum : acc.more_sums[c - 2];
}

/* The little-endian bytes of a 24- or 32-bit integer sample, or of a float. */
void append_sample(std::vector<unsigned char>& bytes, int bits, bool is_float, double sample) {
    uint32_t pattern = (uint32_t)(int64_t)sample;
    if (is_float) {
        float f = (float)sample;
        memcpy(&pattern, &f, sizeof pattern);
    }
    for (int b = 0; b < bits / 8; b++)
        bytes.push_back((unsigned char)(pattern >> (8 * b)));
}

TEST(MeasureLevels, TakesTheLevelOf24And32BitAndFloatSamples) {
    struct Case {
        int bits;
        bool is_float;
        double sample;
        uint32_t level;
    } cases[] = {
        {24, false, 0, 0},
        {24, false, 65535, 0},
        {24, false, 65536, 1},
        {24, false, -65535, 0},
        {24, false, -65536, 1},
        {24, false, 0x123456, 0x12},
        {24, false, 8388607, 127},
        {24, false, -8388608, 128},
        {32, false, 0xFFFFFF, 0},
        {32, false, 0x1000000, 1},
        {32, false, -0x1000000, 1},
        {32, false, 0x12345678, 0x12},
        {32, false, 2147483647, 127},
        {32, false, -2147483648.0, 128},
        {32, true, 0, 0},
        {32, true, 0.5, 64},
        {32, true, -0.5, 64},
        {32, true, 1.0 / 128, 1},
        {32, true, 0.0078, 0},
        {32, true, 0.999, 127},
        {32, true, -1.0, 128},
        {32, true, 1.5, 128},
        {32, true, -INFINITY, 128},
        {32, true, NAN, 0},
    };
    const size_t frames = 1001;
    for (const Case& c : cases) {
        for (int channels : {1, 2, 6, 8}) {
            use_format(channels, c.bits);
            recording_settings.float_samples = c.is_float;
            derive_wave_format();
            std::vector<unsigned char> bytes;
            for (size_t i = 0; i < frames * channels; i++)
                append_sample(bytes, c.bits, c.is_float, c.sample);
            bytes.push_back(0); /* a partial frame is not read */
            measure_levels(bytes.data(), (uint32_t)bytes.size());
            SCOPED_TRACE(testing::Message() << c.bits << (c.is_float ? "-bit float " : "-bit ")
                                            << c.sample << ", " << channels << " channel(s)");
            for (int channel = 0; channel < 8; channel++)
                EXPECT_EQ(channel_sum(channel), channel < channels ? c.level * frames : 0)
                    << "channel " << channel;
            EXPECT_EQ(level_accumulators.frames, frames);
        }
    }
}

TEST(MeasureLevels, KeepsEachOf8ChannelsApart) {
    for (int bits : {8, 16, 24, 32}) {
        use_format(8, bits);
        std::vector<unsigned char> bytes;
        for (int i = 0; i < 100; i++) {
            for (int c = 0; c < 8; c++) {
                /* level 16 * c: a magnitude of 16 * c / 128 of full scale */
                int64_t full_scale = (int64_t)1 << (bits - 1);
                int64_t sample = full_scale * 16 * c / 128;
                if (bits == 8)
                    bytes.push_back((unsigned char)(128 + sample));
                else
                    append_sample(bytes, bits, false, (double)(c % 2 ? -sample : sample));
            }
        }
        measure_levels(bytes.data(), (uint32_t)bytes.size());
        SCOPED_TRACE(bits);
        for (int c = 0; c < 8; c++)
            EXPECT_EQ(channel_sum(c), 16u * c * 100) << "channel " << c;
    }
}

TEST(MeasureLevels, AddsToTheSumsOfEarlierBuffersAndWrapsLikeThem) {
    std::mt19937 random(7);
    for (int channels : {1, 2}) {
        for (int bits : {8, 16}) {
            const uint32_t frame_bytes = (uint32_t)(channels * bits / 8);
            for (uint32_t length : {0u, 1u, 3u, 31u, 32u, 33u, 17640u, 40000u * 4 + 3}) {
                use_format(channels, bits);
                level_accumulators = {0xFFFFFF00u, 0xFFFFFFF0u, 7, 0, {}, 0};
                std::vector<unsigned char> bytes(length);
                for (unsigned char& b : bytes)
                    b = (unsigned char)random();
                uint32_t expected[2] = {0xFFFFFF00u, 0xFFFFFFF0u};
                const uint32_t samples = length / frame_bytes * channels;
                for (uint32_t i = 0; i < samples; i++) {
                    int level = bits == 8
                                    ? abs(bytes[i] - 128)
                                    : abs((int16_t)(bytes[2 * i] | bytes[2 * i + 1] << 8)) / 256;
                    expected[channels == 2 ? i % 2 : 0] += (uint32_t)level;
                }
                measure_levels(bytes.data(), length);
                SCOPED_TRACE(testing::Message() << channels << " channel(s), " << bits << " bits, "
                                                << length << " bytes");
                EXPECT_EQ(level_accumulators.left_sum, expected[0]);
                EXPECT_EQ(level_accumulators.right_sum, expected[1]);
                EXPECT_EQ(level_accumulators.frames, 7 + length / frame_bytes);
            }
        }
    }
}

TEST(ShowProgress, CountsDownTheDefaultRecordingWithTheLevelsSinceTheLastLine) {
    use_format(2, 16);
    /* The capture loop's calls: every pass shows progress, waits pass again with the same
       count, and buffer k has levels k + 1 (left) and 2k + 2 (right). */
    std::string out = stderr_of([] {
        for (uint32_t k = 0; k < 50; k++) {
            show_progress(k, 50);
            show_progress(k, 50);
            std::vector<unsigned char> buffer = stereo_16(256 * (k + 1), -512 * (int)(k + 1), 4410);
            measure_levels(buffer.data(), (uint32_t)buffer.size());
        }
        show_progress(50, 50);
    });
    EXPECT_EQ(out, "\r  0:00:05  Avg Level:   1   2"
                   "\r  0:00:04  Avg Level:   6  12"
                   "\r  0:00:03  Avg Level:  15  31"
                   "\r  0:00:02  Avg Level:  25  51"
                   "\r  0:00:01  Avg Level:  35  71"
                   "\r  0:00:00  Avg Level:  45  91");
    EXPECT_EQ(level_accumulators.last_progress_count, 50u);
}

TEST(ShowProgress, FormatsTheRemainingTimeAndLevels) {
    struct Case {
        int channels, seconds, per_second;
        uint32_t count;
        LevelAccumulators before;
        const char* line;
    } cases[] = {
        {2, 3600, 10, 1, {0, 0, 0, 0, {}, 0}, "\r  1:00:00  Avg Level:   0   0"},
        {2, 3, 1, 1, {0, 0, 0, 0, {}, 0}, "\r  0:00:02  Avg Level:   0   0"},
        {2, 3, 1, 3, {0, 0, 0, 0, {}, 0}, "\r  0:00:00  Avg Level:   0   0"},
        {2, 3661, 20, 20, {0, 0, 0, 0, {}, 0}, "\r  1:01:00  Avg Level:   0   0"},
        {1, 3600000, 1, 1, {0, 0, 0, 0, {}, 0}, "\r999:59:59  Avg Level:   0"},
        {1, 3600001, 1, 1, {0, 0, 0, 0, {}, 0}, "\r1000:00:00  Avg Level:   0"},
        {1, 5, 10, 1, {300, 0, 0, 0, {}, 0}, "\r  0:00:05  Avg Level: 300"},
        {2, 5, 10, 1, {77, 99, 1, 0, {}, 0}, "\r  0:00:05  Avg Level:  77  99"},
        {2, 5, 10, 1, {10, 11, 3, 0, {}, 0}, "\r  0:00:05  Avg Level:   3   3"},
        {2, 5, 10, 1, {123456, 1, 1, 0, {}, 0}, "\r  0:00:05  Avg Level:123456   1"},
    };
    for (const Case& c : cases) {
        use_format(c.channels, 16, c.seconds, c.per_second);
        level_accumulators = c.before;
        uint32_t total = (uint32_t)(c.seconds * c.per_second);
        EXPECT_EQ(stderr_of([&] { show_progress(c.count, total); }), c.line);
        EXPECT_EQ(level_accumulators.left_sum + level_accumulators.right_sum, 0u) << c.line;
        EXPECT_EQ(level_accumulators.frames, 0u) << c.line;
        EXPECT_EQ(level_accumulators.last_progress_count, c.count) << c.line;
    }
}

TEST(ShowProgress, ShowsOneLevelAChannelUpTo8AndClearsThemAll) {
    use_format(8, 24);
    level_accumulators = {8, 16, 8, 0, {24, 32, 40, 48, 56, 1024}, 0};
    EXPECT_EQ(stderr_of([] { show_progress(1, 50); }),
              "\r  0:00:05  Avg Level:   1   2   3   4   5   6   7 128");
    for (int c = 0; c < 8; c++)
        EXPECT_EQ(channel_sum(c), 0u) << c;
    EXPECT_EQ(stderr_of([] { end_progress_line(); }), "\n");
    use_format(6, 16);
    level_accumulators = {8, 16, 8, 0, {24, 32, 40, 48, 56, 64}, 0};
    EXPECT_EQ(stderr_of([] { show_progress(1, 50); }),
              "\r  0:00:05  Avg Level:   1   2   3   4   5   6");
}

TEST(ShowProgress, PrintsNothingAndKeepsNoStateWhenQuiet) {
    use_format(2, 16, 5, 10, /*quiet*/ 1);
    std::string out = stderr_of([] {
        for (uint32_t count = 0; count <= 50; count++)
            show_progress(count, 50);
    });
    EXPECT_EQ(out, "");
    const LevelAccumulators& acc = level_accumulators;
    EXPECT_EQ(acc.left_sum + acc.right_sum + acc.frames + acc.last_progress_count, 0u);
}

TEST(EndProgressLine, EndsAProgressLineOnTheScreenOnceAndNothingElse) {
    struct Case {
        int quiet;
        uint32_t counts[3]; /* progress lines drawn before the line is ended, 0 for none */
        const char* out;
    } cases[] = {
        {0, {0, 0, 0}, ""},
        {0, {1, 0, 0}, "\r  0:00:05  Avg Level:   0   0\n"},
        {0, {1, 10, 0}, "\r  0:00:05  Avg Level:   0   0\r  0:00:04  Avg Level:   0   0\n"},
        {1, {1, 10, 0}, ""},
    };
    for (const Case& c : cases) {
        use_format(2, 16, 5, 10, c.quiet);
        level_accumulators = LevelAccumulators{};
        std::string out = stderr_of([&] {
            for (uint32_t count : c.counts)
                if (count != 0) show_progress(count, 50);
            end_progress_line();
            end_progress_line();
        });
        EXPECT_EQ(out, c.out) << c.quiet << ' ' << c.counts[0] << ' ' << c.counts[1];
    }
}

} // namespace
