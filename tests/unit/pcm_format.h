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
