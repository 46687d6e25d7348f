// The take's clock: where aligned parts' boundaries fall in the captured audio, by the system
// clock as the capture's time stamps measure it, the start of each file, and the sound card's
// rate against the system clock.
#pragma once

#include <cstdint>

/* Starts the take's clock at start_ns (the take's start on the system clock): the next buffer
   noted begins the first file, and with aligned parts the first boundary is the next after it.
   Main thread, before the device starts. */
void start_take_clock(int64_t start_ns);

/* Notes a full buffer of `frames` frames about to be written, whose first frame was captured at
   first_ns on the system clock (timed: the device could tell). Sets the start of the take's first
   file, and of a file switched to without alignment, from it. Main thread, in order. */
void clock_note_buffer(bool timed, int64_t first_ns, uint32_t frames);

/* The frame of the buffer last noted at which the next boundary falls: the first frame captured
   at or after it (0 when the buffer begins after it), or `frames` when the boundary lies beyond
   the buffer or the parts are not aligned. Main thread. */
uint32_t clock_boundary_frame(uint32_t frames);

/* Sets *unix_ns to the time of the first frame of the buffer last noted; false when it has none
   (none noted since the take's start or the last loss, or the device could not tell). */
bool clock_buffer_start_ns(int64_t* unix_ns);

/* The boundary the current part ends at, in s since 1970 UTC (aligned parts). */
int64_t clock_next_boundary_s(void);

/* The boundary after that: the start of the part prepared ahead of the next one. */
int64_t clock_following_boundary_s(void);

/* Moves on past the boundary in the buffer last noted, while the part that ends there is still
   the output: the part's measured rate is reported when it changed by more than the report step
   since the last report, and the next boundary is the one after. Returns the boundary passed
   (ns since 1970). Main thread. */
int64_t clock_pass_boundary(void);

/* The file that the output switched to at the boundary boundary_ns begins there: its start (for
   its header) is that instant, or the first frame of the buffer last noted when that buffer
   begins after it. Called once the finished part's header is final. Main thread. */
void clock_begin_file_at(int64_t boundary_ns);

/* The next file begins at the next buffer noted (a switch without alignment, or after a loss);
   a loss also restarts the rate's measurement. Main thread. */
void clock_file_switched(bool after_loss);

/* After the device was gone, with first_ns the time of the first frame of the device opened
   again: with aligned parts the next boundary is the first after it (the part that goes on holds
   at least that frame). Main thread. */
void clock_after_gap(int64_t first_ns);

/* At the take's end: the closing line with the take's measured rate, when the parts are aligned
   and it could be measured. Main thread, once. */
void end_take_clock(void);
