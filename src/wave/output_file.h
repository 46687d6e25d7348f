// Preparation of the output before recording: final size, reuse in place, the staged header.
#pragma once

#include <cstdint>
#include <cstdio>

/* Allocates the write buffer, names the output (its path: output_path, completed with ".wav"
   where it has no extension; in parts the first part's name) and opens the output at its final
   length with its blocks reserved where the file system can, positioned at offset 0 ("-" is
   standard output in binary mode, and the header is rewritable only where rewritable_offset
   says); then stages the header as begin_durable_output says (for no audio where it is kept
   true, full-length otherwise). The file is locked for
   the rest of the process before anything is changed; a second recorder is refused. A failed
   preparation removes a file this run created. The stream has no buffer of its own: each staged
   write reaches the system at once. Returns only on success; every failure ends the process with
   status -1. A recording too long for a wave header is refused before anything is allocated, a path
   too long to complete before anything is opened. Main thread, once. */
void open_output(void);

/* How preparing one file at its final length went. */
enum PrepareResult {
    PREPARED,            /* open, sized, reserved where the file system can, at offset 0 */
    PREPARE_IN_USE,      /* another recorder holds its lock; nothing was changed */
    PREPARE_OPEN_FAILED, /* it could not be locked or opened */
    PREPARE_SIZE_FAILED  /* it could not be sized, reserved or positioned */
};

/* Locks path for the rest of the process, opens it without a stream buffer (reused in place when
   it exists), writes the header for no audio at its start and syncs it, gives it target
   bytes with its blocks reserved and a reused file's earlier bytes zeroed where the file system
   can, positioned at offset 0. Sets *created when this call created the file; a failure after
   that removes it again, and leaves errno as the failing call set it. Used for the output and
   for every part of a take in parts. Main thread. */
PrepareResult prepare_output_file(const char* path, uint64_t target, FILE** stream, bool* created);

/* Ends the process with the preparation failure for path and the system's reason (the errno
   value reason), status -1. */
[[noreturn]] void preparation_failed(const char* path, int reason);

/* Makes the file under stream a wave file of no audio: the header for 0 bytes at offset 0, cut
   to its length. For a part prepared ahead that was not used. False when a step fails. Main
   thread. */
bool write_header_only(FILE* stream);

/* Writes out the staged bytes, then rewrites the output's header (at its header_offset) for
   data_size bytes of audio and cuts the file to match (with cut_back_durable's syncs where the
   header is kept true). Where the header cannot be rewritten (a
   pipe, a terminal, append mode) the output stays as written. Main thread. */
void rewrite_output_header(uint64_t data_size);
