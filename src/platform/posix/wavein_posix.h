// What the wave-input service's parts share: the description of the last audio loss, device
// failure or stall, which becomes the text of MMSYSERR_ERROR, and of the last failed open.
#pragma once

#include "platform/win32_compat.h"

/* Keeps text (one line) as the latest problem of the open device. Any thread. */
void wavein_note_problem(const char* text);

/* Says (stalled) or takes back that the open device has stopped delivering audio. A loss or
   failure noted with wavein_note_problem takes precedence. Any thread. */
void wavein_note_stall(bool stalled);

/* Keeps text as what waveInGetErrorTextA gives for result, until a device is opened; "" keeps
   the standard text. Any thread. */
void wavein_note_open_failure(MMRESULT result, const char* text);

/* Forgets the latest problem, stall and open failure, when a device is opened. Any thread. */
void wavein_forget_problem(void);
