// The RIFF/WAVE header: its 44-byte image and the rule that gives the data length of a count of
// capture buffers.
#include "wave/wave_header.h"

#include "settings/settings.h"
#include "wave/write_buffer.h"

/* The header as it lies in the file. Every number is stored little-endian byte by byte, so the
   image is the same on every host and has no padding. */
struct WaveHeaderTemplate {
    char riff_id[4];                  /* "RIFF" */
    unsigned char riff_size[4];       /* data size + 36 */
    char wave_fmt_ids[8];             /* "WAVE" and the format chunk id "fmt " */
    unsigned char format_size[4];     /* 16: the format chunk has no cbSize */
    unsigned char format_tag[2];      /* wFormatTag (1, PCM) */
    unsigned char channels[2];        /* nChannels */
    unsigned char samples_per_sec[4]; /* nSamplesPerSec */
    unsigned char bytes_per_sec[4];   /* nAvgBytesPerSec */
    unsigned char block_align[2];     /* nBlockAlign */
    unsigned char bits_per_sample[2]; /* wBitsPerSample */
    char data_id[4];                  /* "data" */
    unsigned char data_size[4];       /* bytes of audio that follow */
};

static_assert(sizeof(WaveHeaderTemplate) == WAVE_HEADER_SIZE, "the header image is 44 bytes");

static WaveHeaderTemplate wave_header_template = {
    {'R', 'I', 'F', 'F'},
    {0},
    {'W', 'A', 'V', 'E', 'f', 'm', 't', ' '},
    {0},
    {0},
    {0},
    {0},
    {0},
    {0},
    {0},
    {'d', 'a', 't', 'a'},
    {0},
};

static void put_le16(unsigned char* to, uint16_t value) {
    to[0] = (unsigned char)(value & 0xFF);
    to[1] = (unsigned char)(value >> 8);
}

static void put_le32(unsigned char* to, uint32_t value) {
    for (int i = 0; i < 4; i++)
        to[i] = (unsigned char)((value >> (8 * i)) & 0xFF);
}

/* Every buffer holds the base; the first of every second also holds the extra. */
static uint32_t base_frames(uint32_t rate, uint32_t per_second) {
    return rate / per_second;
}
static uint32_t extra_frames(uint32_t rate, uint32_t per_second) {
    return rate % per_second;
}

uint32_t capture_buffer_frames(uint32_t rate, uint32_t per_second, uint64_t index) {
    return base_frames(rate, per_second) +
           (index % per_second == 0 ? extra_frames(rate, per_second) : 0);
}

uint64_t capture_buffer_start(uint32_t rate, uint32_t per_second, uint64_t index) {
    uint64_t seconds_begun = (index + per_second - 1) / per_second;
    return index * base_frames(rate, per_second) + seconds_begun * extra_frames(rate, per_second);
}

uint32_t emit_wave_header(int32_t buffer_count) {
    const WAVEFORMATEX& format = recording_settings.format;
    const int32_t per_second = recording_settings.buffers_per_second;

    /* Whole seconds at the exact byte rate, then the buffers of an unfinished second at the base
       buffer length. The count is divided as a signed number; the products wrap at 32 bits. */
    uint32_t whole_seconds = (uint32_t)(buffer_count / per_second);
    uint32_t extra_buffers = (uint32_t)(buffer_count % per_second);
    uint32_t base_buffer =
        base_frames(format.nSamplesPerSec, (uint32_t)per_second) * format.nBlockAlign;
    return emit_wave_header_bytes(whole_seconds * format.nAvgBytesPerSec +
                                  base_buffer * extra_buffers);
}

uint32_t emit_wave_header_bytes(uint32_t data_size) {
    const WAVEFORMATEX& format = recording_settings.format;
    WaveHeaderTemplate& header = wave_header_template;

    put_le32(header.format_size, 16);
    put_le16(header.format_tag, format.wFormatTag);
    put_le16(header.channels, format.nChannels);
    put_le32(header.samples_per_sec, format.nSamplesPerSec);
    put_le32(header.bytes_per_sec, format.nAvgBytesPerSec);
    put_le16(header.block_align, format.nBlockAlign);
    put_le16(header.bits_per_sample, format.wBitsPerSample);
    put_le32(header.riff_size, data_size + RIFF_SIZE_OVER_DATA);
    put_le32(header.data_size, data_size);
    buffered_write(&header, WAVE_HEADER_SIZE);
    return data_size + WAVE_HEADER_SIZE;
}
