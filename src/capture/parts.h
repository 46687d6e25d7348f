// Takes in parts (-t): when the capture switches to the next part (after a part's buffers, at an
// aligned boundary, at a loss), the part prepared after it, and the losses that cut a part short.
#pragma once

#include <cstdint>

/* What the capture does after a part's buffer or a loss. */
enum PartStep {
    PART_GO_ON,    /* go on recording */
    PART_TAKE_ENDS /* the next part could not be prepared: the take ends here */
};

/* Whether the parts are aligned to the clock (-a): they end at boundaries, not buffer counts. */
bool parts_aligned(void);

/* Starts the take's clock (every take: the first file's start is its first frame's time), and
   with parts prepares the second part's file, if the take has one. Main thread, once the first
   file is open and before the device starts. */
void prepare_second_part(void);

/* Capture buffers of the take's current file that are complete: completed (the take's count)
   less those of the finished parts. */
uint32_t part_buffers_done(uint32_t completed);

/* The number of the part being written, from 1; 0 without parts. Main thread. */
uint32_t current_part_number(void);

/* Capture buffers in the current part when it is full (the take's total without parts; nominal
   with aligned parts). */
uint32_t part_buffer_count(void);

/* Bytes of audio of the current file to cut it back to at an early end (or at the end of an
   aligned take) after `completed` buffers of the take: those written to it. */
uint64_t current_file_audio(uint32_t completed);

/* Called after each buffer written, with the take's count of buffers written. At the end of
   a part that is not the take's last (without alignment) it finishes the part (whose header
   already holds its length), makes the prepared part the output, stages its header and prepares
   the one after. PART_TAKE_ENDS when that next part could not be prepared. Main thread. */
PartStep part_after_buffer(uint32_t completed);

/* At an aligned boundary inside the buffer after `completed` buffers of the take, with the
   frames before it written: cuts the current part back to them, makes the prepared part the
   output and prepares the one after. PART_TAKE_ENDS when a part could not be prepared. Main
   thread. */
PartStep part_at_boundary(uint32_t completed);

/* A loss of audio after completed buffers and the part of a buffer before the gap (already
   written): cuts the current part back to every frame written to it, reports the loss (text:
   the device's description of it; lost_frames: its length, -1 when unknown) and goes on in the
   next part, whose start time counts the lost frames. PART_TAKE_ENDS when that part could not
   be prepared. Main thread. */
PartStep part_after_loss(uint32_t completed, const char* text, int64_t lost_frames);

/* The device failed (text: the device's word for it) after the audio already written: cuts the
   current part back to every frame written to it and reports the loss; the current part stays
   the output, cut back, until part_device_back. PART_TAKE_ENDS when a part could not be prepared.
   Main thread. */
PartStep part_device_lost(const char* text);

/* Adds gone_frames, the length of a time the device was gone, to the audio lost in the take. */
void count_device_gap(uint64_t gone_frames);

/* The take ended while the device was gone: that gap's length is not known. */
void count_unmeasured_gap(void);

/* The device failed before is open again and its first buffer, which begins after `completed`
   buffers of the take (the buffers of the gap counted), is about to be written. The part prepared
   ahead is prepared again for this time, becomes the output and the one after it is prepared. With
   aligned parts the new part is named by first_s, its first frame's time (s since 1970 UTC), and
   the take's clock must know the boundary after the gap already (clock_after_gap).
   PART_TAKE_ENDS when a part could not be prepared. Main thread. */
PartStep part_device_back(uint32_t completed, int64_t first_s);

/* Losses reported so far. */
uint32_t part_losses(void);

/* At the take's end, after the current part is final and `completed` buffers of the take were
   written: removes the current part when it holds no audio, is not the first and this run
   created it (the output stream is then closed and null); gives up the part prepared ahead (removed
   when this run created it, a header-only file otherwise); prints the count and length of the
   losses, if any, and the take's clock rate. When a part could not be prepared, flushes the output
   and ends the process with the preparation failure (status -1). Main thread, once, with or
   without parts. */
void end_parts(uint32_t completed);
