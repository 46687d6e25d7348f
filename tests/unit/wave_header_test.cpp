// Unit tests of the wave header: its bytes, and the data length of a count of capture buffers.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "settings/settings.h"
#include "wave/bext_chunk.h"
#include "wave/file_start.h"
#include "wave/wave_header.h"
#include "wave/write_buffer.h"

namespace {

uint32_t le32(const unsigned char* p) {
    return (uint32_t)p[0] | (uint32_t)p[1] << 8 | (uint32_t)p[2] << 16 | (uint32_t)p[3] << 24;
}
uint16_t le16(const unsigned char* p) {
    return (uint16_t)(p[0] | p[1] << 8);
}

TEST(EmitWaveHeader, DescribesTheDataOfABufferCount) {
    struct Case {
        uint32_t rate;
        uint16_t channels;
        uint16_t bits;
        int32_t per_second;
        int32_t buffer_count;
        uint32_t data_size;
    } cases[] = {
        {44100, 2, 16, 10, 50, 882000},           /* the defaults' full recording */
        {44100, 2, 16, 10, 23, 405720},           /* 2 s and 3 base buffers of 17640 */
        {44100, 2, 16, 10, 0, 0},                 /* the header alone */
        {22050, 1, 8, 20, 21, 23152},             /* 1 s and one base buffer of 1102 */
        {22050, 1, 8, 20, 40, 44100},             /* whole seconds carry the extra frames */
        {8000, 2, 8, 3, 5, 16000 + 2666 * 2 * 2}, /* 8000 is not a multiple of 3 */
    };
    for (const Case& c : cases) {
        recording_settings = default_settings;
        recording_settings.format.nChannels = c.channels;
        recording_settings.format.wBitsPerSample = c.bits;
        recording_settings.format.nSamplesPerSec = c.rate;
        recording_settings.buffers_per_second = c.per_second;
        derive_wave_format();
        disk_write_buffer.buffer = (char*)malloc(512);
        disk_write_buffer.pending = 0;
        disk_write_buffer.stream = nullptr; /* 44 bytes stay pending: nothing is written */

        uint64_t length = emit_wave_header(c.buffer_count);

        const unsigned char* h = (const unsigned char*)disk_write_buffer.buffer;
        SCOPED_TRACE(testing::Message() << c.rate << " Hz, " << c.channels << " ch, " << c.bits
                                        << " bits, " << c.per_second << "/s, n=" << c.buffer_count);
        ASSERT_EQ(disk_write_buffer.pending, 44);
        EXPECT_EQ(length, c.data_size + 44);
        EXPECT_EQ(memcmp(h, "RIFF", 4), 0);
        EXPECT_EQ(le32(h + 4), c.data_size + 36);
        EXPECT_EQ(memcmp(h + 8, "WAVEfmt ", 8), 0);
        EXPECT_EQ(le32(h + 16), 16u);
        EXPECT_EQ(le16(h + 20), 1);
        EXPECT_EQ(le16(h + 22), c.channels);
        EXPECT_EQ(le32(h + 24), c.rate);
        EXPECT_EQ(le32(h + 28), c.rate * c.channels * c.bits / 8);
        EXPECT_EQ(le16(h + 32), c.channels * c.bits / 8);
        EXPECT_EQ(le16(h + 34), c.bits);
        EXPECT_EQ(memcmp(h + 36, "data", 4), 0);
        EXPECT_EQ(le32(h + 40), c.data_size);
        release_output_buffer();
    }
}

/* The bytes written as hex pairs separated by spaces. */
std::string hex_of(const char* bytes, int32_t length) {
    std::string text;
    char pair[4];
    for (int32_t i = 0; i < length; i++) {
        snprintf(pair, sizeof pair, i == 0 ? "%02x" : " %02x", (unsigned char)bytes[i]);
        text += pair;
    }
    return text;
}

TEST(EmitWaveHeader, WritesPlainExtensibleAndRf64HeadersByteForByte) {
    struct Case {
        uint16_t channels, bits;
        bool is_float;
        uint32_t rate;
        int32_t per_second, seconds, buffer_count;
        uint64_t file_length;
        const char* bytes;
    } cases[] = {
        /* 44 bytes: 8 and 16 bits on 1 or 2 channels */
        {1, 8, false, 8000, 10, 5, 50, 40044,
         "52 49 46 46 64 9c 00 00 57 41 56 45 66 6d 74 20 10 00 00 00 01 00 01 00 40 1f 00 00 "
         "40 1f 00 00 01 00 08 00 64 61 74 61 40 9c 00 00"},
        {2, 16, false, 44100, 10, 5, 23, 405764,
         "52 49 46 46 fc 30 06 00 57 41 56 45 66 6d 74 20 10 00 00 00 01 00 02 00 44 ac 00 00 "
         "10 b1 02 00 04 00 10 00 64 61 74 61 d8 30 06 00"},
        /* the longest plain 16-bit stereo take: RIFF size 4294810836 */
        {2, 16, false, 44100, 10, 24347, 243470, 4294810844,
         "52 49 46 46 d4 9c fd ff 57 41 56 45 66 6d 74 20 10 00 00 00 01 00 02 00 44 ac 00 00 "
         "10 b1 02 00 04 00 10 00 64 61 74 61 b0 9c fd ff"},
        /* 68 bytes: WAVE_FORMAT_EXTENSIBLE for 24 and 32 bits, float, and 6 or 8 channels */
        {2, 24, false, 48000, 10, 5, 20, 576068,
         "52 49 46 46 3c ca 08 00 57 41 56 45 66 6d 74 20 28 00 00 00 fe ff 02 00 80 bb 00 00 "
         "00 65 04 00 06 00 18 00 16 00 18 00 03 00 00 00 01 00 00 00 00 00 10 00 80 00 00 aa "
         "00 38 9b 71 64 61 74 61 00 ca 08 00"},
        {1, 32, false, 96000, 10, 5, 10, 384068,
         "52 49 46 46 3c dc 05 00 57 41 56 45 66 6d 74 20 28 00 00 00 fe ff 01 00 00 77 01 00 "
         "00 dc 05 00 04 00 20 00 16 00 20 00 04 00 00 00 01 00 00 00 00 00 10 00 80 00 00 aa "
         "00 38 9b 71 64 61 74 61 00 dc 05 00"},
        {6, 32, true, 48000, 10, 5, 10, 1152068,
         "52 49 46 46 3c 94 11 00 57 41 56 45 66 6d 74 20 28 00 00 00 fe ff 06 00 80 bb 00 00 "
         "00 94 11 00 18 00 20 00 16 00 20 00 3f 00 00 00 03 00 00 00 00 00 10 00 80 00 00 aa "
         "00 38 9b 71 64 61 74 61 00 94 11 00"},
        {8, 16, false, 44100, 10, 5, 10, 705668,
         "52 49 46 46 7c c4 0a 00 57 41 56 45 66 6d 74 20 28 00 00 00 fe ff 08 00 44 ac 00 00 "
         "40 c4 0a 00 10 00 10 00 16 00 10 00 3f 06 00 00 01 00 00 00 00 00 10 00 80 00 00 aa "
         "00 38 9b 71 64 61 74 61 40 c4 0a 00"},
        /* 80 bytes: RF64 once the full take does not fit, for the take and for a cut-back */
        {2, 16, false, 44100, 10, 24348, 243480, 4294987280,
         "52 46 36 34 ff ff ff ff 57 41 56 45 64 73 36 34 1c 00 00 00 08 4e 00 00 01 00 00 00 "
         "c0 4d 00 00 01 00 00 00 70 13 00 40 00 00 00 00 00 00 00 00 66 6d 74 20 10 00 00 00 "
         "01 00 02 00 44 ac 00 00 10 b1 02 00 04 00 10 00 64 61 74 61 ff ff ff ff"},
        {2, 16, false, 44100, 10, 24348, 20, 352880,
         "52 46 36 34 ff ff ff ff 57 41 56 45 64 73 36 34 1c 00 00 00 68 62 05 00 00 00 00 00 "
         "20 62 05 00 00 00 00 00 88 58 01 00 00 00 00 00 00 00 00 00 66 6d 74 20 10 00 00 00 "
         "01 00 02 00 44 ac 00 00 10 b1 02 00 04 00 10 00 64 61 74 61 ff ff ff ff"},
        /* 104 bytes: RF64 and extensible */
        {2, 24, false, 48000, 10, 36000, 50, 1440104,
         "52 46 36 34 ff ff ff ff 57 41 56 45 64 73 36 34 1c 00 00 00 60 f9 15 00 00 00 00 00 "
         "00 f9 15 00 00 00 00 00 80 a9 03 00 00 00 00 00 00 00 00 00 66 6d 74 20 28 00 00 00 "
         "fe ff 02 00 80 bb 00 00 00 65 04 00 06 00 18 00 16 00 18 00 03 00 00 00 01 00 00 00 "
         "00 00 10 00 80 00 00 aa 00 38 9b 71 64 61 74 61 ff ff ff ff"},
        {8, 32, false, 48000, 10, 2797, 5, 768104,
         "52 46 36 34 ff ff ff ff 57 41 56 45 64 73 36 34 1c 00 00 00 60 b8 0b 00 00 00 00 00 "
         "00 b8 0b 00 00 00 00 00 c0 5d 00 00 00 00 00 00 00 00 00 00 66 6d 74 20 28 00 00 00 "
         "fe ff 08 00 80 bb 00 00 00 70 17 00 20 00 20 00 16 00 20 00 3f 06 00 00 01 00 00 00 "
         "00 00 10 00 80 00 00 aa 00 38 9b 71 64 61 74 61 ff ff ff ff"},
        {6, 32, true, 48000, 1, 3729, 3729, 4295808104,
         "52 46 36 34 ff ff ff ff 57 41 56 45 64 73 36 34 1c 00 00 00 60 d4 0c 00 01 00 00 00 "
         "00 d4 0c 00 01 00 00 00 80 33 ab 0a 00 00 00 00 00 00 00 00 66 6d 74 20 28 00 00 00 "
         "fe ff 06 00 80 bb 00 00 00 94 11 00 18 00 20 00 16 00 20 00 3f 00 00 00 03 00 00 00 "
         "00 00 10 00 80 00 00 aa 00 38 9b 71 64 61 74 61 ff ff ff ff"},
    };
    for (const Case& c : cases) {
        recording_settings = default_settings;
        recording_settings.format.nChannels = c.channels;
        recording_settings.format.wBitsPerSample = c.bits;
        recording_settings.float_samples = c.is_float;
        recording_settings.format.nSamplesPerSec = c.rate;
        recording_settings.buffers_per_second = c.per_second;
        recording_settings.seconds = c.seconds;
        derive_wave_format();
        disk_write_buffer.buffer = (char*)malloc(512);
        disk_write_buffer.pending = 0;
        disk_write_buffer.stream = nullptr;

        uint64_t length = emit_wave_header(c.buffer_count);

        SCOPED_TRACE(testing::Message()
                     << c.channels << " ch, " << c.bits << (c.is_float ? " float" : " bits") << ", "
                     << c.seconds << " s, n=" << c.buffer_count);
        EXPECT_EQ(hex_of(disk_write_buffer.buffer, disk_write_buffer.pending), c.bytes);
        EXPECT_EQ(length, c.file_length);
        EXPECT_EQ(wave_header_size(), (uint32_t)disk_write_buffer.pending);
        release_output_buffer();
    }
}

TEST(EmitWaveHeader, ChoosesRf64ByThePartsLengthInATakeInParts) {
    struct Case {
        int32_t seconds, part_seconds;
        bool rf64;
    } cases[] = {
        {24347, 0, false},     /* the longest plain 16-bit stereo take */
        {24348, 0, true},      /* one second more */
        {100000, 3600, false}, /* a long take in hourly parts */
        {0, 24347, false},     /* until stopped, in parts of the longest plain length */
        {0, 24348, true},      /* ... and of one second more */
        {10, 24348, true},     /* parts too long for plain headers, even when the take is short */
    };
    for (const Case& c : cases) {
        recording_settings = default_settings;
        recording_settings.seconds = c.seconds;
        recording_settings.part_seconds = c.part_seconds;
        derive_wave_format();
        EXPECT_EQ(wave_header_is_rf64(), c.rf64)
            << c.seconds << " s in parts of " << c.part_seconds;
    }
    recording_settings = default_settings;
}

/* A part cut at a loss keeps whole frames past its last whole buffer: the header counts them. */
TEST(EmitWaveHeader, DescribesAnExactDataLength) {
    recording_settings = default_settings;
    derive_wave_format();
    disk_write_buffer.buffer = (char*)malloc(512);
    disk_write_buffer.pending = 0;
    disk_write_buffer.stream = nullptr;
    EXPECT_EQ(emit_wave_header_bytes(24255 * 4), 24255u * 4 + 44);
    const unsigned char* bytes = (const unsigned char*)disk_write_buffer.buffer;
    EXPECT_EQ(le32(bytes + 4), 24255u * 4 + 36);
    EXPECT_EQ(le32(bytes + 40), 24255u * 4);
    release_output_buffer();
}

TEST(WaveHeaderSize, GrowsByTheBextChunkWithE) {
    struct Case {
        uint16_t channels, bits;
        uint32_t rate;
        int32_t per_second, seconds;
        uint32_t plain_size, bext_size;
    } cases[] = {
        {2, 16, 44100, 10, 5, 44, 654},      /* plain */
        {3, 24, 48000, 10, 5, 68, 678},      /* extensible */
        {2, 16, 44100, 10, 24348, 80, 690},  /* RF64 */
        {2, 24, 48000, 10, 36000, 104, 714}, /* RF64 and extensible */
        /* 4294966832 bytes of audio: a RIFF size that fits, unless the bext chunk is added */
        {1, 8, 767, 1, 5599696, 44, 690},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.channels << " ch, " << c.bits << " bits, " << c.rate
                                        << " Hz, " << c.seconds << " s");
        recording_settings = default_settings;
        recording_settings.format.nChannels = c.channels;
        recording_settings.format.wBitsPerSample = c.bits;
        recording_settings.format.nSamplesPerSec = c.rate;
        recording_settings.buffers_per_second = c.per_second;
        recording_settings.seconds = c.seconds;
        derive_wave_format();
        EXPECT_EQ(wave_header_size(), c.plain_size);
        recording_settings.bext = 1;
        EXPECT_EQ(wave_header_size(), c.bext_size);
    }
    recording_settings = default_settings;
}

TEST(BextChunk, HoldsTheFileStartAndTheTakeBetweenTheFormatAndTheData) {
    struct Case {
        uint16_t channels, bits;
        uint32_t rate;
        int32_t seconds;
        const char* device_name; /* -i's name, or "" for device 3 */
        uint32_t bext_at;        /* where "bext" is */
        const char* riff;
        const char* description;
    } cases[] = {
        {2, 16, 48000, 5, "", 36, "RIFF",
         "wavtap " WAVTAP_VERSION ": device 3, 48000 Hz, 2 ch, 16 bit"},
        {3, 24, 96000, 5, "hw:1,0", 60, "RIFF",
         "wavtap " WAVTAP_VERSION ": device hw:1,0, 96000 Hz, 3 ch, 24 bit"},
        {2, 16, 44100, 24348, "caf\xc3\xa9", 72, "RF64",
         "wavtap " WAVTAP_VERSION ": device caf??, 44100 Hz, 2 ch, 16 bit"},
    };
    /* 2026-11-30 23:59:59.9 UTC, 00:59:59 at UTC+1; a reference past 32 bits. */
    const FileStart start = {true, 1796083199900000000LL, 3600, 0x123456789ull, 0};
    set_file_start(&start);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.description);
        recording_settings = default_settings;
        recording_settings.format.nChannels = c.channels;
        recording_settings.format.wBitsPerSample = c.bits;
        recording_settings.format.nSamplesPerSec = c.rate;
        recording_settings.seconds = c.seconds;
        recording_settings.device_number = 3;
        strcpy(recording_settings.device_name, c.device_name);
        recording_settings.bext = 1;
        derive_wave_format();
        const uint64_t data_size = 4800;
        unsigned char h[WAVE_HEADER_SIZE_MAX];
        uint32_t size = wave_header_image(data_size, h);
        ASSERT_EQ(size, c.bext_at + 610 + 8);
        EXPECT_EQ(memcmp(h, c.riff, 4), 0);
        if (strcmp(c.riff, "RF64") == 0)
            EXPECT_EQ(le32(h + 20), data_size + size - 8); /* ds64's RIFF size, low word */
        else
            EXPECT_EQ(le32(h + 4), data_size + size - 8);
        const unsigned char* b = h + c.bext_at;
        /* right after the "fmt " chunk, which follows "WAVE" or the "ds64" chunk */
        const uint32_t fmt_at = strcmp(c.riff, "RF64") == 0 ? 48 : 12;
        EXPECT_EQ(memcmp(h + fmt_at, "fmt ", 4), 0);
        EXPECT_EQ(fmt_at + 8 + le32(h + fmt_at + 4), c.bext_at);
        EXPECT_EQ(memcmp(b, "bext", 4), 0);
        EXPECT_EQ(le32(b + 4), 602u);
        const unsigned char* f = b + 8;
        const std::string description = c.description;
        EXPECT_EQ(std::string((const char*)f), description);
        EXPECT_EQ(std::string(256 - description.size(), '\0'),
                  std::string((const char*)f + description.size(), 256 - description.size()));
        EXPECT_EQ(std::string((const char*)f + 256, 32),
                  std::string("wavtap") + std::string(26, '\0'));
        EXPECT_EQ(std::string((const char*)f + 288, 32), std::string(32, '\0'));
        EXPECT_EQ(std::string((const char*)f + 320, 18), "2026-12-0100:59:59");
        EXPECT_EQ(le32(f + 338), 0x23456789u);
        EXPECT_EQ(le32(f + 342), 0x1u);
        EXPECT_EQ(le16(f + 346), 1);
        EXPECT_EQ(std::string((const char*)f + 348, 254), std::string(254, '\0'));
        EXPECT_EQ(memcmp(b + 610, "data", 4), 0);
        EXPECT_EQ(le32(b + 614), strcmp(c.riff, "RF64") == 0 ? 0xFFFFFFFFu : data_size);
    }
    const FileStart unknown = {};
    set_file_start(&unknown);
    recording_settings = default_settings;
}

TEST(BextOrigination, GivesTheFirstFramesDateAndTimeInItsZone) {
    struct Case {
        int64_t unix_ns;
        int32_t utc_offset_s;
        const char* date_time;
    } cases[] = {
        {0, 0, "1970-01-0100:00:00"},
        {1796083199900000000LL, 0, "2026-11-3023:59:59"},     /* rounded down, not up */
        {1796083199900000000LL, 3600, "2026-12-0100:59:59"},  /* ahead of UTC past midnight */
        {1796085000000000000LL, -3600, "2026-11-3023:30:00"}, /* behind UTC, the day before */
        {1830297599500000000LL, 19800, "2028-01-0105:29:59"}, /* into a new year */
        {1861919999000000000LL, -43200, "2028-12-3111:59:59"},
        {1835481599000000000LL, 0, "2028-02-2923:59:59"},    /* a leap day */
        {4107538800000000000LL, 3600, "2100-03-0100:00:00"}, /* 2100 has no February 29 */
        {-500000000LL, 0, "1969-12-3123:59:59"},             /* before 1970 */
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.unix_ns << " ns, " << c.utc_offset_s << " s");
        const FileStart start = {true, c.unix_ns, c.utc_offset_s, 0, 0};
        char fields[18];
        bext_origination(&start, fields, fields + 10);
        EXPECT_EQ(std::string(fields, 18), c.date_time);
    }
    const FileStart unknown = {false, 1796083199900000000LL, 0, 0, 0};
    char fields[18];
    memset(fields, 'x', sizeof fields);
    bext_origination(&unknown, fields, fields + 10);
    EXPECT_EQ(std::string(fields, 18), std::string(18, '\0'));
}

TEST(CaptureBuffers, CarryTheUnevenFramesInTheFirstBufferOfEverySecond) {
    struct Case {
        uint32_t rate;
        uint32_t per_second;
        uint64_t index;
        uint32_t frames; /* in buffer index */
        uint64_t start;  /* its first frame */
    } cases[] = {
        {22050, 20, 0, 1112, 0},
        {22050, 20, 1, 1102, 1112},
        {22050, 20, 2, 1102, 1112 + 1102},
        {22050, 20, 20, 1112, 22050},
        {22050, 20, 61, 1102, 22050 * 3 + 1112},
        {44100, 10, 7, 4410, 7 * 4410},
        {8000, 3, 3, 2668, 8000},
        {8000, 3, 5, 2666, 8000 + 2668 + 2666},
        {48000, 1, 5, 48000, 5 * 48000},
        {44100, 10, 36000000, 4410, 3600000ull * 44100}, /* past 32 bits of frames */
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message()
                     << c.rate << " Hz, " << c.per_second << "/s, i=" << c.index);
        EXPECT_EQ(c.frames, capture_buffer_frames(c.rate, c.per_second, c.index));
        EXPECT_EQ(c.start, capture_buffer_start(c.rate, c.per_second, c.index));
        EXPECT_EQ(c.start + c.frames, capture_buffer_start(c.rate, c.per_second, c.index + 1));
    }
}

} // namespace
