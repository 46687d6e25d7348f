// The output's header kept true on disk at every instant: what it may count now, and the syncs
// that let it count more.
#pragma once

#include <cstdint>
#include <cstdio>

/* The current output file's header as the disk holds it. Main thread only. */
struct DurableHeader {
    bool active;          /* the header is kept true: a regular file whose header is rewritable */
    uint64_t written;     /* bytes the stream took from the header's offset on, header included */
    uint64_t synced;      /* of those, the bytes the last sync made durable */
    int64_t last_sync_ms; /* the monotonic clock at the last sync (or the file's start) */
};

extern DurableHeader durable_header;

/* Bytes of audio a header may count when stream_bytes from its offset on (the header included)
   are there: the whole frames beyond the header, 0 when there are none. */
uint64_t countable_audio(uint64_t stream_bytes);

/* Whether a sync is due at now_ms when the last was at last_sync_ms, every interval_seconds
   (never for 0: only the end of the take syncs then). */
bool sync_is_due(int64_t now_ms, int64_t last_sync_ms, int32_t interval_seconds);

/* Puts the header for no audio at offset 0 of a file being prepared, before it is sized, and
   syncs it: a reused file's earlier header is gone before anything else changes, and a power cut
   leaves no new file grown to its length without a header. Returns 0, or -1 when a call
   failed. */
int place_empty_header(FILE* stream);

/* Makes the output's current stream (disk_write_buffer) the file whose header is kept true when
   it is a regular file with a rewritable header: its header for no audio is written at
   header_offset and staged as the stream's first bytes. Otherwise the staged header is the one for
   buffer_count capture buffers, as the stream cannot be corrected. Main thread, for the output and
   for each part as it becomes the output. */
void begin_durable_output(int32_t buffer_count);

/* After the stream took `bytes` more bytes (write_pending): brings the header on disk up to date
   when the rule allows: at once without a sync interval, else after a sync when one is due. A
   failed call ends the process with "Error writing to file: %s\n" and status -1. */
void note_output_written(uint64_t bytes);

/* After a write of which the stream took only `bytes`: the header counts every whole frame
   written, if the sync before it succeeds; failures are left for the caller to report. */
void settle_after_failed_write(uint64_t bytes);

/* Ends the current file in order with every byte written (a complete take, a finished part):
   flushes the staging buffer, syncs, writes the header counting all the audio written, syncs
   again. Nothing for a stream whose header is not kept true. Same failure rule. */
void settle_output(void);

/* The cut-back of the current file to data_size bytes of audio (at most those written): flushes,
   syncs, writes the header for data_size, cuts the file to match and syncs again. False (and
   nothing done) for a stream whose header is not kept true. Same failure rule. */
bool cut_back_durable(uint64_t data_size);
