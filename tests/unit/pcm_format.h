// A complete PCM wave format for the unit tests that open devices.
#pragma once

#include "platform/platform.h"

/* The PCM format of rate frames a second of channels samples of bits each, with block align
   and byte rate filled in as the program fills them. */
inline WAVEFORMATEX pcm_format(DWORD rate, WORD channels, WORD bits) {
    WAVEFORMATEX format = {};
    format.wFormatTag = WAVE_FORMAT_PCM;
    format.nChannels = channels;
    format.nSamplesPerSec = rate;
    format.wBitsPerSample = bits;
    format.nBlockAlign = (WORD)(channels * bits / 8);
    format.nAvgBytesPerSec = format.nBlockAlign * rate;
    return format;
}

/* The WAVE_FORMAT_EXTENSIBLE format as the program fills it, with every bit valid, the given
   channel mask, and the PCM or IEEE-float sub-format. */
inline WAVEFORMATEXTENSIBLE extensible_format(DWORD rate, WORD channels, WORD bits, bool is_float,
                                              DWORD mask = 0) {
    WAVEFORMATEXTENSIBLE format = {};
    format.Format = pcm_format(rate, channels, bits);
    format.Format.wFormatTag = WAVE_FORMAT_EXTENSIBLE;
    format.Format.cbSize = 22;
    format.Samples.wValidBitsPerSample = bits;
    format.dwChannelMask = mask;
    format.SubFormat = {
        is_float ? 3u : 1u, 0x0000, 0x0010, {0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71}};
    return format;
}
