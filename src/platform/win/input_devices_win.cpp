// The input devices on Windows: the wave mapper and the wave-input devices in the system's order.
#include <cstdio>
#include <cwchar>

#include "platform/platform.h"

void list_input_devices(void) {
    UINT count = waveInGetNumDevs();
    if (count == 0) {
        printf("No input device was found.\n");
        return;
    }
    printf(" 0  Wave mapper (the default recording device)\n");
    for (UINT id = 0; id < count; id++) {
        WAVEINCAPSA caps;
        if (waveInGetDevCapsA(id, &caps, sizeof caps) != MMSYSERR_NOERROR) continue;
        printf("%2u  %s\n", id + 1, caps.szPname);
    }
}

/* Whether text contains part, letters compared without case. */
static bool contains_folded(const wchar_t* text, const wchar_t* part) {
    size_t length = wcslen(part);
    for (; *text != L'\0'; text++)
        if (_wcsnicmp(text, part, length) == 0) return true;
    return length == 0;
}

/* The name comes from the command line as UTF-8 and is compared with the devices' UTF-16
   names, so that a name outside the ANSI code page matches too. */
MMRESULT find_input_device(const char* name, UINT* device_id, char* text, size_t text_size) {
    wchar_t wide_name[MAXPNAMELEN * 4];
    if (MultiByteToWideChar(CP_UTF8, 0, name, -1, wide_name, MAXPNAMELEN * 4) == 0)
        wide_name[0] = L'\0';
    UINT count = waveInGetNumDevs();
    for (UINT id = 0; wide_name[0] != L'\0' && id < count; id++) {
        WAVEINCAPSW caps;
        if (waveInGetDevCapsW(id, &caps, sizeof caps) != MMSYSERR_NOERROR) continue;
        if (contains_folded(caps.szPname, wide_name)) {
            *device_id = id;
            return MMSYSERR_NOERROR;
        }
    }
    snprintf(text, text_size,
             "No input device has \"%s\" in its name.\nList the input devices with \"wavtap -l\".",
             name);
    return MMSYSERR_BADDEVICEID;
}
