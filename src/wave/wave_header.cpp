// The RIFF/WAVE header, plain or RF64 with a plain or extensible format chunk, and the rule that
// gives the data length of a count of capture buffers.
#include "wave/wave_header.h"

#include <cstring>

#include "settings/settings.h"
#include "wave/bext_chunk.h"
#include "wave/write_buffer.h"

#define RIFF_SIZE_MAX 0xFFFFFFFFu /* also RF64's mark for "see the ds64 chunk" */

/* The header image under construction: every number stored little-endian byte by byte, so the
   image is the same on every host. */
struct HeaderImage {
    unsigned char bytes[WAVE_HEADER_SIZE_MAX]; /* the header so far */
    uint32_t length;                           /* bytes used */
};

static void put_id(HeaderImage* image, const char* id) {
    memcpy(image->bytes + image->length, id, 4);
    image->length += 4;
}

static void put_le(HeaderImage* image, uint64_t value, int size) {
    for (int i = 0; i < size; i++)
        image->bytes[image->length++] = (unsigned char)((value >> (8 * i)) & 0xFF);
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

uint64_t wave_data_size(int64_t buffer_count) {
    const WAVEFORMATEX& format = recording_settings.format;
    const int64_t per_second = recording_settings.buffers_per_second;
    uint64_t whole_seconds = (uint64_t)(buffer_count / per_second);
    uint64_t extra_buffers = (uint64_t)(buffer_count % per_second);
    uint64_t base_buffer =
        (uint64_t)base_frames(format.nSamplesPerSec, (uint32_t)per_second) * format.nBlockAlign;
    return whole_seconds * format.nAvgBytesPerSec + base_buffer * extra_buffers;
}

static bool format_is_extensible(void) {
    return recording_settings.format.wFormatTag == WAVE_FORMAT_EXTENSIBLE;
}

/* Bytes in the RIFF header of the recording format, without a "ds64" chunk. */
static uint32_t riff_header_size(void) {
    return WAVE_HEADER_SIZE + (format_is_extensible() ? FMT_EXTENSIBLE_EXTRA : 0) +
           (recording_settings.bext ? BEXT_CHUNK_SIZE : 0);
}

bool wave_header_is_rf64(void) {
    const RecordingSettings& s = recording_settings;
    int32_t seconds = s.part_seconds > 0 ? s.part_seconds : s.seconds;
    uint64_t data_size = wave_data_size((int64_t)seconds * s.buffers_per_second);
    return data_size + riff_header_size() - 8 >= RIFF_SIZE_MAX;
}

uint32_t wave_header_size(void) {
    return riff_header_size() + (wave_header_is_rf64() ? DS64_CHUNK_SIZE : 0);
}

uint64_t emit_wave_header(int32_t buffer_count) {
    return emit_wave_header_bytes(wave_data_size(buffer_count));
}

/* Builds the header for data_size bytes of audio into image. Returns the file length. */
static uint64_t build_header(uint64_t data_size, HeaderImage& image) {
    const RecordingSettings& s = recording_settings;
    const WAVEFORMATEX& format = s.format;
    const bool extensible = format_is_extensible();
    const bool rf64 = wave_header_is_rf64();
    const uint64_t file_length = data_size + wave_header_size();
    image.length = 0;

    put_id(&image, rf64 ? "RF64" : "RIFF");
    put_le(&image, rf64 ? RIFF_SIZE_MAX : file_length - 8, 4);
    put_id(&image, "WAVE");
    if (rf64) {
        put_id(&image, "ds64");
        put_le(&image, DS64_CHUNK_SIZE - 8, 4);
        put_le(&image, file_length - 8, 8);
        put_le(&image, data_size, 8);
        put_le(&image, data_size / format.nBlockAlign, 8); /* sample frames */
        put_le(&image, 0, 4);                              /* no table of other chunk sizes */
    }
    put_id(&image, "fmt ");
    put_le(&image, extensible ? 16 + FMT_EXTENSIBLE_EXTRA : 16, 4);
    put_le(&image, format.wFormatTag, 2);
    put_le(&image, format.nChannels, 2);
    put_le(&image, format.nSamplesPerSec, 4);
    put_le(&image, format.nAvgBytesPerSec, 4);
    put_le(&image, format.nBlockAlign, 2);
    put_le(&image, format.wBitsPerSample, 2);
    if (extensible) {
        const WAVEFORMATEXTENSIBLE& ex = s.format_extensible;
        put_le(&image, FMT_EXTENSIBLE_EXTRA - 2, 2); /* cbSize: the 22 bytes that follow */
        put_le(&image, ex.Samples.wValidBitsPerSample, 2);
        put_le(&image, ex.dwChannelMask, 4);
        put_le(&image, ex.SubFormat.Data1, 4);
        put_le(&image, ex.SubFormat.Data2, 2);
        put_le(&image, ex.SubFormat.Data3, 2);
        memcpy(image.bytes + image.length, ex.SubFormat.Data4, 8);
        image.length += 8;
    }
    if (s.bext) {
        put_id(&image, "bext");
        put_le(&image, BEXT_DATA_SIZE, 4);
        bext_fields(image.bytes + image.length);
        image.length += BEXT_DATA_SIZE;
    }
    put_id(&image, "data");
    put_le(&image, rf64 ? RIFF_SIZE_MAX : data_size, 4);
    return file_length;
}

uint64_t emit_wave_header_bytes(uint64_t data_size) {
    HeaderImage image;
    uint64_t file_length = build_header(data_size, image);
    buffered_write(image.bytes, (int32_t)image.length);
    return file_length;
}

uint32_t wave_header_image(uint64_t data_size, unsigned char* bytes) {
    HeaderImage image;
    build_header(data_size, image);
    memcpy(bytes, image.bytes, image.length);
    return image.length;
}
