// Takes in parts (-t): the parts' names, each part's file prepared one part ahead, the switch
// to the next part at its first buffer, and the losses that cut a part short.
#pragma once

#include <cstdint>

/* What the capture does after a part's buffer or a loss. */
enum PartStep {
    PART_GO_ON,    /* go on recording */
    PART_TAKE_ENDS /* the next part could not be prepared: the take ends here */
};

/* Capture buffers in the output's first file: the whole take, or its first part. */
int32_t first_file_buffers(void);

/* With parts: keeps path (the output's name, completed with its extension; OUTPUT_PATH_SIZE
   bytes) as the take's name and writes the first part's name into path. Main thread, by
   open_output before it opens anything. */
void name_first_part(char* path);

/* With parts: opens, sizes and reserves the second part's file, if the take has one. Main
   thread, once the first part is open and before the device starts. */
void prepare_second_part(void);

/* Capture buffers of the take's current file that are complete: completed (the take's count)
   less those of the finished parts. */
uint32_t part_buffers_done(uint32_t completed);

/* The number of the part being written, from 1; 0 without parts. Main thread. */
uint32_t current_part_number(void);

/* Capture buffers in the current part when it is full (the take's total without parts). */
uint32_t part_buffer_count(void);

/* Called after each buffer written, with the take's count of buffers written. At the end of
   a part that is not the take's last it finishes the part (whose header already holds its
   length), makes the prepared part the output, stages its header and prepares the one after.
   PART_TAKE_ENDS when that next part could not be prepared. Main thread. */
PartStep part_after_buffer(uint32_t completed);

/* A loss of audio after completed buffers and the part of a buffer before the gap (already
   written): cuts the current part back to every frame written to it, reports the loss (text:
   the device's description of it; lost_frames: its length, -1 when unknown) and goes on in the
   next part, whose start time counts the lost frames. PART_TAKE_ENDS when that part could not
   be prepared. Main thread. */
PartStep part_after_loss(uint32_t completed, const char* text, int64_t lost_frames);

/* Losses reported so far. */
uint32_t part_losses(void);

/* At the take's end, after the current part is final and `completed` buffers of the take were
   written: removes the current part when it holds no audio, is not the first and this run
   created it (the output stream is then closed and null); gives up the part prepared ahead (removed
   when this run created it, a header-only file otherwise); prints the count and length of the
   losses, if any. When a part could not be prepared, flushes the output and ends the process with
   the preparation failure (status -1). Main thread, once, with or without parts. */
void end_parts(uint32_t completed);
