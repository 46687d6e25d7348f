// What the wave-input service's parts share: the description of the last audio loss, device
// failure or stall, which becomes the text of MMSYSERR_ERROR.
#pragma once

/* Keeps text (one line) as the latest problem of the open device. Any thread. */
void wavein_note_problem(const char* text);

/* Says (stalled) or takes back that the open device has stopped delivering audio. A loss or
   failure noted with wavein_note_problem takes precedence. Any thread. */
void wavein_note_stall(bool stalled);

/* Forgets the latest problem and stall, when a device is opened. Any thread. */
void wavein_forget_problem(void);
