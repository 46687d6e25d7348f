// The system calls behind the POSIX file services, gathered in one table so that tests can put
// failing versions in their place.
#pragma once

#include <cstdio>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/types.h>

struct FileSystemCalls {
    int (*stat_path)(const char* path, struct stat* status); /* stat */
    int (*stat_descriptor)(int fd, struct stat* status);     /* fstat */
    int (*seek)(FILE* stream, off_t offset, int whence);     /* fseeko */
    off_t (*tell)(FILE* stream);                             /* ftello */
    int (*truncate_descriptor)(int fd, off_t length);        /* ftruncate */
    int (*allocate)(int fd, off_t offset, off_t length);     /* posix_fallocate: an error number */
    int (*open_path)(const char* path, int flags, mode_t mode); /* open */
    int (*close_descriptor)(int fd);                            /* close */
    int (*control)(int fd, int command, int argument);          /* fcntl with an int argument */
    int (*lock_descriptor)(int fd, int operation);              /* flock */
    int (*duplicate)(int fd, int new_fd);                       /* dup2 */
    FILE* (*stream_of)(int fd, const char* mode);               /* fdopen */
    int (*remove_path)(const char* path);                       /* remove */
    int (*make_socket)(int domain, int type, int protocol);     /* socket */
    int (*bind_socket)(int fd, const struct sockaddr* address, socklen_t length); /* bind */
    ssize_t (*write_at)(int fd, const void* bytes, size_t length, off_t offset);  /* pwrite */
    int (*sync_data)(int fd);                                                     /* fdatasync */
    int (*zero_range)(int fd, off_t offset, off_t length); /* fallocate(FALLOC_FL_ZERO_RANGE) */
    int (*rename_path)(const char* from, const char* to);  /* rename */
    int (*sync_descriptor)(int fd);                        /* fsync */
};

/* The calls the file services make. Holds the system's own functions; only tests change it, and
   only from the main thread while no file service runs. */
extern FileSystemCalls file_system_calls;

/* The system's own functions, for tests to put back. */
extern const FileSystemCalls system_file_calls;
