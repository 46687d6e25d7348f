// The input devices as the user sees them: the list that -l prints and the devices -i names.
// Included through platform/platform.h, which declares MMRESULT and UINT.
#pragma once

#include <cstddef>

/* Prints the input devices to standard output, one a line, each with the number that -i takes
   and its name (and on Linux also the ALSA PCMs that can be named with -i or AUDIODEV), or one
   line saying that no input device was found. Main thread only. */
void list_input_devices(void);

/* Finds the input device called name, for waveInOpen. Returns MMSYSERR_NOERROR and sets
   *device_id, or another result with a line saying what was asked for in text (text_size bytes,
   NUL-terminated) when nothing matches. Windows: the first device whose name contains name,
   case-insensitively. Linux: name is an ALSA PCM name, which the device id then returned opens;
   a PCM that cannot be opened is reported by waveInOpen. Main thread only. */
MMRESULT find_input_device(const char* name, UINT* device_id, char* text, size_t text_size);
