// The files of a take in parts: their names (from the take's name, a number or a strftime
// pattern with counters for repeated names, the directories they need), each part's file
// prepared one part ahead, and the switch of the output to it.
#pragma once

#include <cstdint>

/* The zone that names, alignment and file start times use: the local one, or UTC with -u. */
struct ZoneTime {
    int64_t unix_s;   /* seconds since 1970 UTC */
    int32_t offset_s; /* the zone's offset from UTC then */
    int64_t local_s;  /* unix_s + offset_s: seconds of the zone's day count and time */
};

/* The zone's time at unix_s. */
ZoneTime zone_time(int64_t unix_s);

/* The first aligned boundary after unix_ns: the first instant later than it whose time of day in
   the zone is a multiple of part_seconds, ns since 1970 UTC. */
int64_t next_aligned_boundary(int64_t unix_ns);

/* When the take began, ns since 1970 UTC on the system clock: fixed at the first call. */
int64_t take_start_ns(void);

/* Capture buffers in the output's first file: the whole take, or its first part (aligned: the
   buffers up to the first boundary, at least one). */
int32_t first_file_buffers(void);

/* Bytes a part's file of `buffers` nominal capture buffers is prepared at: its length, header
   included, and with aligned parts a margin for a device faster than nominal. */
uint64_t part_file_length(uint32_t buffers);

/* With parts: keeps path (the output's name, completed with its extension; OUTPUT_PATH_SIZE
   bytes) as the take's name, locks it, and writes the first part's name into path (made of
   the take's start), making the directories it needs. Main thread, by open_output before it
   opens anything. */
void name_first_part(char* path);

/* Names part `number`, which begins at unix_s, makes the directories it needs, and prepares its
   file at `length` bytes as the part after the current one. False when it could not be named,
   placed or prepared: the failure is kept for end_take_files. Main thread. */
bool prepare_next_file(uint32_t number, int64_t unix_s, uint64_t length);

/* Whether the parts are named by their start time (a strftime pattern) rather than numbered. */
bool parts_named_by_time(void);

/* Whether a part's file is prepared ahead. */
bool next_file_ready(void);

/* Gives the file prepared ahead length bytes. False (the failure kept) when it cannot. */
bool resize_next_file(uint64_t length);

/* Makes the prepared file the output: the current one is settled and closed, the new one's
   header staged for `buffers` nominal buffers. Returns whether this run created it. */
bool switch_to_next_file(int32_t buffers);

/* Whether a part could not be prepared (the take must end). */
bool take_files_failed(void);

/* Gives up the file prepared ahead, if any: removed when this run created it, a header-only
   file otherwise (with -m under its final name again). Main thread. */
void drop_next_file(void);

/* At the take's end, after drop_next_file: forgets the names and finishes the hand-on of the
   parts (finish_part_handoff). When a part could not be prepared,
   flushes the output and ends the process with that failure (status -1). Main thread, once. */
void end_take_files(void);
