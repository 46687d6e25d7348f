// What the wave-input service's parts share: the description of the last audio loss or device
// failure, which becomes the text of MMSYSERR_ERROR.
#pragma once

/* Keeps text (one line) as the latest problem of the open device. Any thread. */
void wavein_note_problem(const char* text);

/* Forgets the latest problem, when a device is opened. Any thread. */
void wavein_forget_problem(void);
