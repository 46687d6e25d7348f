// The Broadcast Wave "bext" chunk (-e): when the file's first frame was captured, and what
// recorded it.
#pragma once

#include <cstdint>

#include "wave/file_start.h"

/* Writes start's OriginationDate ("yyyy-mm-dd", 10 bytes) and OriginationTime ("hh:mm:ss",
   8 bytes) into date and time, without NULs: the time of its first frame in its zone (unix_ns
   with utc_offset_s applied, rounded down to the second). An unknown start gives NUL bytes. */
void bext_origination(const FileStart* start, char* date, char* time);

/* Writes the BEXT_DATA_SIZE bytes of a version 1 "bext" chunk's fields for the current file
   into fields: its Description (the program, the device and the take's settings, one line of
   ASCII), Originator "wavtap", the current_file_start()'s date, time and TimeReference, Version
   1, and zeros in every other field. Main thread (the file's start is the main thread's). */
void bext_fields(unsigned char* fields);
