// Preparation of the output before recording: final size, reuse in place, the staged header.
#pragma once

/* Allocates the write buffer, stages the full-length header in it, completes output_path with
   ".wav" where it has no extension, and opens the output at its final length, positioned at
   offset 0 ("-" is standard output in binary mode). Returns only on success; every failure
   ends the process with status -1. */
void open_output(void);
