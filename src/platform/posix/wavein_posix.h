// What the wave-input service's parts share: the description of the last device failure, stall
// or audio loss, which becomes the text of MMSYSERR_ERROR, and of the last failed open.
#pragma once

#include "platform/win32_compat.h"

/* Keeps text (one line) as the open device's failure, which ends it for good. Any thread. */
void wavein_note_failure(const char* text);

/* Keeps text (one line) as the latest loss of audio of the open device. Each short buffer keeps
   its own text as well (describe_short_buffer); this one only answers waveInGetErrorTextA. Any
   thread. */
void wavein_note_loss(const char* text);

/* Says (stalled) or takes back that the open device has stopped delivering audio. The text of
   MMSYSERR_ERROR is a failure's, else the stall's, else the latest loss's. Any thread. */
void wavein_note_stall(bool stalled);

/* Keeps text as what waveInGetErrorTextA gives for result, until a device is opened; "" keeps
   the standard text. Any thread. */
void wavein_note_open_failure(MMRESULT result, const char* text);

/* Forgets the latest problem, stall and open failure, when a device is opened. Any thread. */
void wavein_forget_problem(void);
