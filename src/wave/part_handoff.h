// A take's finished parts told apart and handed on: the ".part" name of a part being written
// (-m), its rename to its final name once complete, and the program run for it (-x).
#pragma once

#include <cstdint>

#define PART_MARKER ".part"            /* after a part's final name while it is written (-m) */
#define PART_COMMANDS_RUNNING 4        /* programs for finished parts that run at once */
#define PART_COMMANDS_WAITING 16       /* finished parts that wait for a program to end */
#define PART_COMMANDS_END_WAIT_MS 5000 /* the take's end waits this long for its programs */

/* Takes path (OUTPUT_PATH_SIZE bytes), a part's final name, as the name of the part being
   written (ahead false: the first part) or of the part prepared ahead (ahead true). With -m it
   writes the marked name (PART_MARKER after it) into path, renaming a file at the final name (an
   earlier run's) to it first so that it is reused in place. False (path unchanged, nothing
   renamed) with errno ENAMETOOLONG when the marked name does not fit, EINVAL when the final name
   is a device, a FIFO or a socket (is_special_file), EWOULDBLOCK when another recording holds the
   file at it. Main thread. */
bool mark_part_name(char* path, bool ahead);

/* The part being written is complete (its header final, the file synced) and closed, and the
   part prepared ahead is now the one being written. With -m renames the finished part to its
   final name and syncs its directory (a failure is reported and the take goes on); with -x
   hands the program its final name (its marked name when the rename failed): started at once
   when fewer than PART_COMMANDS_RUNNING run, else kept waiting, else (PART_COMMANDS_WAITING
   wait already) skipped with a message. Main thread. */
void hand_on_finished_part(void);

/* The part prepared ahead was given up, closed, and this run did not create it (it was reused,
   now a wave file of no audio): with -m it gets its final name back. Main thread. */
void unmark_given_up_part(void);

/* Reaps the programs that ended (reporting a status that is not 0) and starts waiting ones in
   their place, without waiting. From the capture's loop, about once a buffer. Main thread. */
void poll_part_commands(void);

/* At the take's end: when the output is still open, it is the last part: settled, closed and
   handed on; then the waiting programs are started and the running ones waited for, at most
   PART_COMMANDS_END_WAIT_MS (those still running then are left running, with one line saying
   how many). Nothing without -m or -x. Main thread, once. */
void finish_part_handoff(void);
