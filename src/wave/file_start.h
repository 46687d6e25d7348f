// When the current output file's first frame was captured, by the system clock: what names,
// alignment and the Broadcast Wave chunk say of a file.
#pragma once

#include <cstdint>

/* The start of the file being written. Set by the take's clock (main thread), read by the
   header. */
struct FileStart {
    bool known;           /* the time below is set */
    int64_t unix_ns;      /* system-clock time of the file's first frame, ns since 1970 UTC */
    int32_t utc_offset_s; /* offset from UTC of the time zone of names and bext then (0: UTC) */
    uint64_t frames_since_midnight; /* the first frame's count since that zone's midnight */
    uint32_t part;                  /* its number in a take in parts, from 1; 0 for one file */
};

/* The current file's start, as last set. */
const FileStart* current_file_start(void);

/* Sets the current file's start (main thread). */
void set_file_start(const FileStart* start);
