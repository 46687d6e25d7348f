// The audio source behind the POSIX wave-input service: ALSA in the program, a simulated
// device in test builds. Exactly one source backend is linked into a program.
//
// The wave-input service (wavein_posix.cpp) owns the device thread, the queue of added buffers
// and the reserve; a source only opens a device, starts and stops it, and reads frames.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "platform/win32_compat.h"

/* One open capture device; owned by the wave-input service from wave_source_open to
   wave_source_close. */
struct WaveSource;

/* wave_source_read results that are not byte counts. */
#define WAVE_SOURCE_LOST (-1)   /* audio was lost before the next byte (overrun, suspend, gap) */
#define WAVE_SOURCE_FAILED (-2) /* the device failed for good; nothing more will come */

/* The formats a source captures, at any rate above 0 with the block align and byte rate that
   follow from them: WAVE_FORMAT_PCM with 1 or 2 channels of 8-bit unsigned or 16-bit signed
   little-endian samples; WAVE_FORMAT_EXTENSIBLE (cbSize at least 22, every bit valid, any
   channel mask) with 1 to 8 channels of those, of packed 24-bit or 32-bit signed integers (the
   PCM sub-format) or of 32-bit floats (the IEEE-float sub-format). waveInOpen refuses every
   other format with WAVERR_BADFORMAT, so a source is only ever opened with one of these. */
bool wave_format_is_capturable(const WAVEFORMATEX* format);

/* Whether a capturable format holds 32-bit float samples rather than integers. */
bool wave_format_is_float(const WAVEFORMATEX* format);

/* The wave-input calls that fault injection counts, and their names in
   wave_source_injected_fault. */
enum WaveInCall {
    CALL_PREPARE,
    CALL_ADD,
    CALL_START,
    CALL_UNPREPARE,
    CALL_STOP,
    CALL_RESET,
    CALL_CLOSE,
    CALL_KINDS
};
extern const char* const wave_in_call_names[CALL_KINDS];

/* Number of devices that ids 0..n-1 open (waveInGetNumDevs). */
UINT wave_source_count(void);

/* Prints the devices to out, one a line: the number -i takes (the id plus one, 0 for
   WAVE_MAPPER) and the name, then names the source also opens through WAVE_MAPPER; or a line
   saying that there is no input device (list_input_devices). */
void wave_source_list(FILE* out);

/* Makes WAVE_MAPPER open the device called name from now on, instead of the default one
   (find_input_device). name is copied. */
void wave_source_name_mapper(const char* name);

/* Writes a description of the last failed wave_source_open into text, NUL-terminated: what was
   opened and why it failed, possibly with a second line saying what to do; "" when the source
   has nothing to add to the result's standard text. Runs on the waveInOpen caller's thread. */
void wave_source_describe_open_failure(char* text, size_t text_size);

/* Opens device_id (WAVE_MAPPER, or a number counted from 0) for capture in format (one that
   wave_format_is_capturable accepts), without starting it. Returns MMSYSERR_NOERROR and sets
   *source, or MMSYSERR_BADDEVICEID (no such id), WAVERR_BADFORMAT (the format cannot be had),
   MMSYSERR_ALLOCATED (busy), MMSYSERR_NODRIVER (missing or unusable), MMSYSERR_NOMEM. Runs on the
   waveInOpen caller's thread. */
MMRESULT wave_source_open(UINT device_id, const WAVEFORMATEX* format, WaveSource** source);

/* Starts the flow of audio (waveInStart). Runs on the caller's thread while the device thread
   does not read. */
MMRESULT wave_source_start(WaveSource* source);

/* Stops the flow of audio (waveInStop, waveInReset); audio the device still holds is dropped.
   Runs on the caller's thread while the device thread does not read. */
MMRESULT wave_source_stop(WaveSource* source);

/* Reads up to max_bytes (a whole number of sample frames) of captured audio into dest, waiting
   at most about timeout_ms for the first frame. Device thread only, and only while started.
   Returns the number of bytes read (0 when nothing came in time), WAVE_SOURCE_LOST when audio
   was lost just before what the next read returns (everything returned before the loss is
   contiguous), or WAVE_SOURCE_FAILED. */
int32_t wave_source_read(WaveSource* source, void* dest, uint32_t max_bytes, uint32_t timeout_ms);

/* Makes a wave_source_read that waits for audio return 0 at once, or the next read if none
   waits now, so that the device thread lets go of the source without waiting out its
   timeout. Any thread. */
void wave_source_interrupt(WaveSource* source);

/* Writes a one-line description of the last loss or failure (what happened, how much audio)
   into text, NUL-terminated, for the service's error text. */
void wave_source_describe_problem(WaveSource* source, char* text, size_t text_size);

/* Frames of audio that the last loss skipped, as the source measured them, or -1 when it cannot
   tell (and after a failure). Read together with wave_source_describe_problem, by the thread
   that got WAVE_SOURCE_LOST or WAVE_SOURCE_FAILED. */
int64_t wave_source_lost_frames(WaveSource* source);

/* Fault injection for the service's own calls, used by the simulated device only: returns the
   MMRESULT that the n-th call (counted from 1) of the named wave-input call (one of
   wave_in_call_names) must fail with, or MMSYSERR_NOERROR. The ALSA
   source never injects anything. */
MMRESULT wave_source_injected_fault(WaveSource* source, const char* call, unsigned n);

/* The system clock, ns since 1970 UTC: the wall clock that names and aligns parts. ALSA: the
   real one; the simulated device: its own clock, which stands in for it. Any thread. */
int64_t wave_source_clock_ns(void);

/* Sets *unix_ns to the system-clock time at which frame `frame` of those read since the open
   (counted from 0; frames a loss skipped do not count) was captured, from the source's latest
   time stamp of the stream. False when the source has none yet. Device thread, after a read. */
bool wave_source_frame_time(WaveSource* source, uint64_t frame, int64_t* unix_ns);

/* Closes the device and frees the source. Runs on the caller's thread after the device thread
   has ended. */
void wave_source_close(WaveSource* source);
