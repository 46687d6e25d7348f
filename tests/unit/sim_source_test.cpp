// The simulated device that the tests and wavtap-sim record from: its signal, its buffer
// arithmetic and the WAVTAP_SIM syntax that the end-to-end scripts rely on.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <unistd.h>
#include <vector>

#include "pcm_format.h"
#include "platform/posix/wave_source.h"
#include "platform/sim/sim_config.h"

/* Opens the simulated device for format, unpaced (or as sim says), and fills data from the first
   frame on. */
static void read_from_start(const WAVEFORMATEX* format, std::vector<BYTE>* data,
                            const char* sim = "speed=0") {
    setenv("WAVTAP_SIM", sim, 1);
    WaveSource* source = nullptr;
    ASSERT_EQ(MMSYSERR_NOERROR, wave_source_open(0, format, &source));
    ASSERT_EQ(MMSYSERR_NOERROR, wave_source_start(source));
    uint32_t got = 0;
    while (got < data->size()) {
        int32_t n = wave_source_read(source, &(*data)[got], (uint32_t)(data->size() - got), 50);
        if (n <= 0) break;
        got += (uint32_t)n;
    }
    wave_source_stop(source);
    wave_source_close(source);
    ASSERT_EQ(data->size(), got);
}

/* The 32-bit mix of frame number f whose low byte the 8-bit signal carries, as the end-to-end
   checker (tests/tools/check_sim_signal.py) computes it. */
static uint32_t frame_hash(uint32_t x) {
    x ^= x >> 16;
    x *= 0x7feb352dU;
    x ^= x >> 15;
    x *= 0x846ca68bU;
    x ^= x >> 16;
    return x;
}

TEST(SimSource, EachChannelCarriesItsFrameNumberFromItsOwnOffset) {
    struct Case {
        WORD bits;
        bool hashed;             /* the frame number's hash rather than the number */
        uint32_t channel_offset; /* channel 1 runs this far ahead of channel 0 */
        uint32_t wrap;           /* the value wraps here */
    };
    const Case cases[] = {{16, false, 16384, 65536}, {8, true, 64, 256}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.bits);
        WAVEFORMATEX format = pcm_format(44100, 2, c.bits);
        const uint32_t frames = 70000; /* past the 16-bit wrap */
        std::vector<BYTE> data(frames * format.nBlockAlign);
        ASSERT_NO_FATAL_FAILURE(read_from_start(&format, &data));
        for (uint32_t f = 0; f < frames; f++) {
            for (uint32_t channel = 0; channel < 2; channel++) {
                uint32_t at = f * format.nBlockAlign + channel * (c.bits / 8);
                uint32_t value = c.bits == 8 ? data[at] : (uint32_t)(data[at] | data[at + 1] << 8);
                uint32_t number = c.hashed ? frame_hash(f) : f;
                ASSERT_EQ((number + channel * c.channel_offset) % c.wrap, value)
                    << "frame " << f << " channel " << channel;
            }
        }
    }
}

/* A recording shifted by a multiple of 256 frames must not look like the one from frame 0:
   every run of 8 mono 8-bit frames differs from the run 256, 512, ... frames later. */
TEST(SimSource, EightBitFramesTellFramesAMultipleOf256Apart) {
    WAVEFORMATEX format = pcm_format(8000, 1, 8);
    const uint32_t frames = 8192;
    std::vector<BYTE> data(frames);
    ASSERT_NO_FATAL_FAILURE(read_from_start(&format, &data));
    for (uint32_t shift = 256; shift < frames; shift += 256) {
        for (uint32_t f = 0; f + shift + 8 <= frames; f += 8) {
            ASSERT_NE(0, memcmp(&data[f], &data[f + shift], 8))
                << "frame " << f << " shift " << shift;
        }
    }
}

TEST(SimSource, CountsIn24And32BitIntegersAndFloatOnUpTo8Channels) {
    struct Case {
        WORD bits;
        bool is_float;
        uint32_t channel_offset; /* each channel runs this far ahead of the one before */
        uint64_t wrap;           /* the count wraps here */
    };
    const Case cases[] = {{24, false, 1u << 21, 1u << 24},
                          {32, false, 1u << 29, 1ull << 32},
                          {32, true, 1u << 21, 1u << 24}};
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.bits << (c.is_float ? " float" : " bits"));
        WAVEFORMATEXTENSIBLE format = extensible_format(8000, 8, c.bits, c.is_float);
        const uint32_t frames = 3000;
        const uint32_t size = c.bits / 8;
        std::vector<BYTE> data(frames * format.Format.nBlockAlign);
        ASSERT_NO_FATAL_FAILURE(read_from_start(&format.Format, &data));
        for (uint32_t f = 0; f < frames; f++) {
            for (uint32_t channel = 0; channel < 8; channel++) {
                const BYTE* p = &data[f * format.Format.nBlockAlign + channel * size];
                uint32_t bits = 0;
                for (uint32_t b = 0; b < size; b++)
                    bits |= (uint32_t)p[b] << (8 * b);
                uint64_t expected = (f + channel * (uint64_t)c.channel_offset) % c.wrap;
                uint64_t value = bits;
                if (c.is_float) {
                    float sample;
                    memcpy(&sample, &bits, sizeof sample);
                    value = (uint64_t)((int64_t)(sample * 8388608.0f) + (1 << 24)) % c.wrap;
                }
                ASSERT_EQ(expected, value) << "frame " << f << " channel " << channel;
            }
        }
    }
}

TEST(SimSource, HoldsEverySampleAtRestInAScriptedSilenceAndOnlyThere) {
    struct Case {
        WORD channels, bits;
        uint32_t rate;
        const char* sim;
        uint32_t from, to; /* the frames at rest */
        BYTE rest;         /* every byte of a frame at rest */
    } cases[] = {
        {2, 16, 1000, "speed=0,silence=100:50", 100, 150, 0},
        {1, 8, 1000, "speed=0,silence=7:3", 7, 10, 128},
        {2, 16, 44100, "speed=0,silence=10:1,silence=0:0", 441, 485, 0},
    };
    for (const Case& c : cases) {
        WAVEFORMATEX format = pcm_format(c.rate, c.channels, c.bits);
        std::vector<BYTE> data((size_t)format.nBlockAlign * (c.to + 20));
        read_from_start(&format, &data, c.sim);
        for (uint32_t f = 0; f < c.to + 20; f++) {
            const BYTE* frame = &data[(size_t)f * format.nBlockAlign];
            bool at_rest = true;
            for (unsigned b = 0; b < format.nBlockAlign; b++)
                at_rest = at_rest && frame[b] == c.rest;
            EXPECT_EQ(f >= c.from && f < c.to, at_rest) << c.sim << " frame " << f;
        }
    }
}

TEST(SimConfig, RefusesWhatItDoesNotKnowAndIgnoresAPath) {
    SimConfig config;
    char error[160];
    for (const char* good :
         {"",
          "speed=20,open=2,stall_after=37,short=12,fail=prepare:3,"
          "fail=add:51:11,lose_after=20,gap=100,die_after=9,overrun=250,"
          "devices=3,bps=20",
          "lose_after=20:4410,short=3:0,interrupt_after=7", "clock=1767225600,ppm=-100",
          "ppm=999999", "silence=2000:3000,silence=0:1", "back_after=0"}) {
        EXPECT_TRUE(sim_config_parse(good, &config, error, sizeof error)) << error;
    }
    for (const char* bad : {"speed",
                            "speed=",
                            "speed=-1",
                            "speed=2x",
                            "sped=2",
                            "speed=1,",
                            "fail=add",
                            "fail=add:0",
                            "fail=add:1:0",
                            "fail=open:1",
                            "fail=add:1:2:3",
                            "bps=0",
                            "open=0",
                            "stall_after=99999999999",
                            "lose_after=3:",
                            "short=:5",
                            "lose_after=3:4:5",
                            "short=2:x",
                            "ppm=1000000",
                            "ppm=--5",
                            "ppm=+5",
                            "clock=-1",
                            "speed=-0",
                            "silence=5",
                            "silence=5:",
                            "silence=:5",
                            "silence=1:1,silence=1:1,silence=1:1,silence=1:1,silence=1:1,"
                            "silence=1:1,silence=1:1,silence=1:1,silence=1:1"}) {
        EXPECT_FALSE(sim_config_parse(bad, &config, error, sizeof error)) << bad;
    }
    /* A loss's own length, or none (the gap= length). */
    ASSERT_TRUE(sim_config_parse("short=3,lose_after=20:4410", &config, error, sizeof error));
    ASSERT_EQ(2u, config.loss_count);
    EXPECT_EQ(SIM_NEVER, config.losses[0].gap);
    EXPECT_EQ(4410, config.losses[1].gap);
    EXPECT_EQ(20u, config.losses[1].buffer);
    ASSERT_TRUE(sim_config_parse("ppm=-100,clock=1767225600", &config, error, sizeof error));
    EXPECT_EQ(-100, config.ppm);
    EXPECT_EQ(1767225600, config.clock_start);
    EXPECT_FALSE(sim_config_parse("speed=1,speed", &config, error, sizeof error));
    EXPECT_STREQ("WAVTAP_SIM: cannot use 'speed'", error);

    /* The harness exports the program's path under the same name. */
    ASSERT_TRUE(sim_config_parse("/build/wavtap-sim", &config, error, sizeof error));
    EXPECT_EQ(1u, config.speed);
}

/* A device that failed (die_after) or stalled (stall_after) with back_after given is gone: it
   does not open, by id or as WAVE_MAPPER, until back_after ms have passed; then it opens, goes
   on from the frame its clock reached back_after ms after the failure, on the same clock, and
   neither fails nor stalls again. */
TEST(SimSource, ADeviceThatWentComesBackAfterBackAfterWithTheFramesOfTheGapSkipped) {
    struct Case {
        const char* config;
        UINT device_id;
        MMRESULT while_gone; /* what an open returns meanwhile */
        int32_t at_end;      /* what the read at buffer 2 returns */
    };
    const Case cases[] = {
        {"speed=0,die_after=2,back_after=400", 0, MMSYSERR_BADDEVICEID, WAVE_SOURCE_FAILED},
        {"speed=0,stall_after=2,back_after=400", WAVE_MAPPER, MMSYSERR_NODRIVER, 0}};
    WAVEFORMATEX format = pcm_format(44100, 1, 16);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.config);
        setenv("WAVTAP_SIM", c.config, 1);
        WaveSource* source = nullptr;
        ASSERT_EQ(MMSYSERR_NOERROR, wave_source_open(c.device_id, &format, &source));
        ASSERT_EQ(MMSYSERR_NOERROR, wave_source_start(source));
        std::vector<BYTE> data(2 * 4410 * 2);
        uint32_t got = 0;
        while (got < data.size()) {
            int32_t n = wave_source_read(source, &data[got], (uint32_t)(data.size() - got), 50);
            ASSERT_GT(n, 0);
            got += (uint32_t)n;
        }
        int64_t first_ns = 0;
        ASSERT_TRUE(wave_source_frame_time(source, 0, &first_ns));
        EXPECT_EQ(c.at_end, wave_source_read(source, &data[0], 2, 10));
        wave_source_close(source);

        EXPECT_EQ(c.while_gone, wave_source_open(c.device_id, &format, &source));
        usleep(450 * 1000);
        ASSERT_EQ(MMSYSERR_NOERROR, wave_source_open(c.device_id, &format, &source));
        ASSERT_EQ(MMSYSERR_NOERROR, wave_source_start(source));
        /* 2 buffers of 4410 frames, then the 0.4 s gap (17640 frames): frame 26460. */
        got = 0;
        while (got < data.size()) {
            int32_t n = wave_source_read(source, &data[got], (uint32_t)(data.size() - got), 50);
            ASSERT_GT(n, 0) << "the device failed or stalled again";
            got += (uint32_t)n;
        }
        EXPECT_EQ(26460, data[0] | data[1] << 8);
        EXPECT_EQ(26461, data[2] | data[3] << 8);
        int64_t back_ns = 0;
        ASSERT_TRUE(wave_source_frame_time(source, 0, &back_ns));
        EXPECT_EQ(first_ns + 600000000, back_ns);
        wave_source_stop(source);
        wave_source_close(source);
    }
    setenv("WAVTAP_SIM", "speed=0", 1);
}
