// Runtime file services used by output preparation and the capture's cut-back, with 64-bit
// sizes and offsets on every system.
#pragma once

#include <cstdint>
#include <cstdio>

/* Opens the file at path (UTF-8 on Windows, where it is opened by its UTF-16 name) as fopen does
   with mode ("rb", "wb", "r+b", ...). After refuse_special_outputs it never waits for a FIFO's
   other end (a FIFO nobody reads fails with ENXIO), and a file that is not a regular file (a
   FIFO, a device) is refused with EINVAL. Returns the stream, or null with errno set. */
FILE* open_file_stream(const char* path, const char* mode);

/* Removes the file at path (UTF-8 on Windows, removed by its UTF-16 name). Returns 0 on success. */
int remove_file(const char* path);

/* True when c separates the directories of a path on this system: "/", and on Windows "\\"
   too. */
bool is_directory_separator(char c);

/* Makes the directory path (mode 0777 less the umask where modes exist). 0 when made or when it
   exists already, -1 with errno otherwise. */
int make_directory(const char* path);

/* Reports the size of the file at path. Returns 0 and sets *size when the file system answers,
   -1 when it does not (no such file, no permission on the directory, ...). */
int query_file_size(const char* path, uint64_t* size);

/* Seeks stream to an absolute offset. Returns 0 on success. */
int seek_stream(FILE* stream, int64_t offset);

/* Current position of stream, or -1 on failure. */
int64_t tell_stream(FILE* stream);

/* Changes the size of the open file under stream to size bytes. Bytes the stream still buffers
   are not written first. Returns 0 on success. */
int resize_stream_file(FILE* stream, int64_t size);

/* Asks the file system to reserve real blocks for the first size bytes of the file under
   stream, so that no allocation happens while audio arrives. Returns 0 when reserved, 1 when
   the file system cannot reserve (the file stays as it is), -1 when there is no room or the
   request failed otherwise (errno says which). */
int reserve_stream_file(FILE* stream, int64_t size);

/* Switches stream (standard output) to binary mode: no byte is translated. */
void set_binary_stream(FILE* stream);

/* Where the next write to stream (standard output) lands, when that place can be sought back to
   and rewritten later: the current offset of a file that is not in append mode. -1 for a pipe, a
   terminal, a file in append mode, or when the offset cannot be told. */
int64_t rewritable_offset(FILE* stream);

/* Opens every closed one of the standard descriptors (input, output, error) on the null device,
   so that no file opened later takes its number and receives what is meant for it, and notes
   which ones were closed. Main thread, first thing at start-up. */
void guard_standard_descriptors(void);

/* Whether standard descriptor fd (0, 1 or 2) was closed when the process started, as
   guard_standard_descriptors found it. */
bool standard_descriptor_closed(int fd);

/* From now on the outputs are a take's parts, which are sized, reserved and cut one after the
   other: open_file_stream and lock_output_file refuse a file that is not a regular file. Main
   thread. */
void refuse_special_outputs(void);

/* Makes this process the only recorder of the take in parts at take_path (its name, or its
   strftime pattern, in its directory), so that no second recorder rewrites its finished parts.
   Held until the process ends, however it ends; nothing is written to the file system. Returns
   0 when held (or when the system cannot hold it: the take then goes on unguarded, as a file
   system without locks does), 1 when another process holds it. Main thread, once. */
int lock_take_name(const char* take_path);

#define OUTPUT_LOCKS 2 /* output locks a process holds at once */

/* Makes this process the only recorder of the file at path: takes an exclusive lock on a handle
   of its own, which stays open until the lock is let go or the process ends, creating the file
   (empty) when it is missing. Sets *created when it did. Returns 0 when locked (or unlocked for a
   FIFO or a device, which are not opened for it), 1 when another process holds the lock (nothing
   is changed then), -1 when the file cannot be opened, or after refuse_special_outputs is not a
   regular file (errno says why). The process holds up to OUTPUT_LOCKS such locks (in parts: the
   part being recorded and the one prepared ahead): a new call first lets the oldest one go, and
   a lock the process already holds on the same file. Main thread. */
int lock_output_file(const char* path, bool* created);

/* True when path names what is neither a regular file nor a directory (a device, a FIFO, a
   socket; a link is followed). False when it is one, or when nothing is there. */
bool is_special_file(const char* path);

/* True when another recording holds the lock on the regular file at path (lock_output_file would
   answer 1). False when none does, or when it cannot be told; it takes no lock of its own. Main
   thread. */
bool output_file_in_use(const char* path);

/* Writes length bytes at offset of the file under stream without moving the stream's own
   position (a positioned write). Returns 0 when every byte was written, -1 otherwise (errno
   says why). */
int write_stream_at(FILE* stream, int64_t offset, const void* bytes, size_t length);

/* Makes the data written so far to the file under stream durable (on the disk, not only in the
   system's cache), with the metadata needed to read it back. Returns 0 on success. */
int sync_stream(FILE* stream);

/* Makes the length bytes at offset of the file under stream read as zeros without giving up
   their blocks. Returns 0 when done, 1 when the file system cannot (the bytes stay as they
   are), -1 when the request failed otherwise (errno says why). */
int zero_stream_range(FILE* stream, int64_t offset, int64_t length);

/* Whether the file under stream is a regular file (not a pipe, a terminal or a device). */
bool stream_is_regular_file(FILE* stream);

/* Renames the file at from to to in one step, replacing a file at to (rename; MoveFileExW with
   MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH on Windows, by their UTF-16 names): either
   name reaches the file at every instant. Returns 0, or -1 with errno. */
int rename_file(const char* from, const char* to);

/* Makes the names in the directory that holds the file at path durable, so that a rename there
   survives a power cut (the directory synced; nothing on Windows, where the rename was written
   through). Returns 0, or -1 with errno. */
int sync_file_directory(const char* path);
