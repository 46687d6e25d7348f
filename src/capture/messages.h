// The capture's messages on standard error: every line that starts with "***", and the end of
// the progress line that they interrupt.
#pragma once

#include <cstdint>

/* Ends the progress line on the screen, if there is one, so that what is written next starts
   on a line of its own. */
void end_progress_line(void);

/* "*** Capture error during LABEL: TEXT", label naming what failed and text saying why. */
void print_capture_error_line(const char* label, const char* text);

/* "*** Keyboard abort -- truncating output...", at a stop request. */
void print_keyboard_abort(void);

/* "*** Audio lost after POSITION of the take, at the end of PATH: TEXT", for a loss after
   `frames` frames of the take, at the end of the part at path; text is the device's. */
void print_audio_lost(uint64_t frames, const char* path, const char* text);

/* "*** The take goes on in PATH", after a loss. */
void print_take_goes_on(const char* path);

/* "*** N loss(es) in the take, [more than ]X.X s of audio lost in all", lost_frames being the
   frames measured and unmeasured the losses whose length is not known. */
void print_loss_summary(uint32_t losses, uint32_t unmeasured, uint64_t lost_frames);

/* "*** Sound card clock at +X.X ppm against the system clock in PATH", at the end of the aligned
   part at path, whose audio came at that rate against the system clock. */
void print_part_clock(const char* path, double ppm);

/* "*** Sound card clock at +X.X ppm against the system clock over the take", at an aligned take's
   end. */
void print_take_clock(double ppm);

/* "*** Silence since HH:MM:SS (POSITION of the take): every channel at or below level L for S
   s", for a silence whose first frame is `frames` frames into the take and was captured at
   unix_ns (timed: it is known; the time of day is the names' zone's, "--:--:--" unknown). */
void print_silence_since(uint64_t frames, bool timed, int64_t unix_ns, uint32_t level,
                         uint32_t seconds);

/* "*** Sound again at HH:MM:SS (POSITION of the take) after X.X s of silence", for sound again
   at `frames` frames into the take, captured at unix_ns (timed as above), after silent_frames
   frames of silence. */
void print_sound_again(uint64_t frames, bool timed, int64_t unix_ns, uint64_t silent_frames);

/* "*** Waiting for the input device to come back, trying every second", once the device that a
   take in parts records from has failed and is closed. */
void print_waiting_for_device(void);

/* "*** The input device is back after X.X s", gone_ns being the time from the last frame
   received before it failed to the first frame of the device opened again. */
void print_device_back(int64_t gone_ns);
