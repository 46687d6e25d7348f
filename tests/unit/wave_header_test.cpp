// Unit tests of the wave header: its bytes, and the data length of a count of capture buffers.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>

#include "settings/settings.h"
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
        {44100, 2, 16, 10, 243480, 19904},        /* 24348 s wraps the 32-bit length */
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

        uint32_t length = emit_wave_header(c.buffer_count);

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
