// Preparation of the output before recording: final size, reuse in place, the staged header.
#pragma once

/* Allocates the write buffer, stages the full-length header in it, completes output_path with
   ".wav" where it has no extension, and opens the output at its final length with its blocks
   reserved where the file system can, positioned at offset 0 ("-" is standard output in binary
   mode, and the header is rewritable only where rewritable_offset says). The file is locked for
   the rest of the process before anything is changed; a second recorder is refused. A failed
   preparation removes a file this run created. The stream has no buffer of its own: each staged
   write reaches the system at once. Returns only on success; every failure ends the process with
   status -1. A recording too long for a wave header is refused before anything is allocated, a path
   too long to complete before anything is opened. Main thread, once. */
void open_output(void);
