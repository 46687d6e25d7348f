// The input devices on POSIX systems, as the audio source knows them.
#include <cstdio>

#include "platform/platform.h"
#include "platform/posix/wave_source.h"

void list_input_devices(void) {
    wave_source_list(stdout);
}

MMRESULT find_input_device(const char* name, UINT* device_id, char* text, size_t text_size) {
    (void)text;
    (void)text_size;
    wave_source_name_mapper(name);
    *device_id = WAVE_MAPPER;
    return MMSYSERR_NOERROR;
}
