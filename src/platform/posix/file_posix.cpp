// The runtime file services on POSIX systems: 64-bit sizes and offsets through stat, fstat,
// fseeko, ftello, ftruncate and posix_fallocate, the output's lock through flock, the header's
// positioned writes, syncs and zeroed ranges through pwrite, fdatasync and fallocate.
#define _FILE_OFFSET_BITS 64
#include "platform/posix/file_posix.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include "platform/file_services.h"

static_assert(sizeof(off_t) >= 8, "the file services need 64-bit file offsets");

static int system_stat(const char* path, struct stat* status) {
    return stat(path, status);
}
static int system_fstat(int fd, struct stat* status) {
    return fstat(fd, status);
}

/* fallocate's zeroing mode, where the system has it; elsewhere nothing is supported. */
static int system_zero_range(int fd, off_t offset, off_t length) {
#ifdef FALLOC_FL_ZERO_RANGE
    return fallocate(fd, FALLOC_FL_ZERO_RANGE, offset, length);
#else
    (void)fd;
    (void)offset;
    (void)length;
    errno = EOPNOTSUPP;
    return -1;
#endif
}

const FileSystemCalls system_file_calls = {
    system_stat, system_fstat,      fseeko, ftello, ftruncate, posix_fallocate, pwrite,
    fdatasync,   system_zero_range,
};

FileSystemCalls file_system_calls = system_file_calls;

FILE* open_file_stream(const char* path, const char* mode) {
    return fopen(path, mode);
}

int remove_file(const char* path) {
    return remove(path);
}

int query_file_size(const char* path, uint64_t* size) {
    struct stat status;
    if (file_system_calls.stat_path(path, &status) != 0) return -1;
    *size = (uint64_t)status.st_size;
    return 0;
}

int seek_stream(FILE* stream, int64_t offset) {
    return file_system_calls.seek(stream, (off_t)offset, SEEK_SET) == 0 ? 0 : -1;
}

int64_t tell_stream(FILE* stream) {
    return (int64_t)file_system_calls.tell(stream);
}

int resize_stream_file(FILE* stream, int64_t size) {
    return file_system_calls.truncate_descriptor(fileno(stream), (off_t)size) == 0 ? 0 : -1;
}

int reserve_stream_file(FILE* stream, int64_t size) {
    int fd = fileno(stream);
    struct stat status;
    if (file_system_calls.stat_descriptor(fd, &status) != 0) return -1;
    /* Devices, pipes and the like have no blocks to reserve. */
    if (!S_ISREG(status.st_mode) || size <= 0) return 1;
    int error = file_system_calls.allocate(fd, 0, (off_t)size);
    switch (error) {
    case 0:
        return 0;
    case EOPNOTSUPP:
#if defined(ENOTSUP) && ENOTSUP != EOPNOTSUPP
    case ENOTSUP:
#endif
    case EINVAL: /* the file system does not support the operation */
    case ENOSYS:
    case ENODEV:
    case ESPIPE:
        return 1;
    default:
        errno = error;
        return -1;
    }
}

/* POSIX streams never translate bytes. */
void set_binary_stream(FILE*) {}

int64_t rewritable_offset(FILE* stream) {
    int flags = fcntl(fileno(stream), F_GETFL);
    /* In append mode every write goes to the end, wherever the stream was sought to. */
    if (flags < 0 || (flags & O_APPEND)) return -1;
    int64_t offset = tell_stream(stream);
    return offset >= 0 ? offset : -1;
}

void guard_standard_descriptors(void) {
    for (int fd = 0; fd <= 2; fd++) {
        if (fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
        /* The lowest free number is fd itself: the ones below it are open by now. */
        int null_fd = open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY);
        if (null_fd >= 0 && null_fd != fd) {
            dup2(null_fd, fd);
            close(null_fd);
        }
    }
}

/* Opens path for the lock without changing it: read-only where allowed (a FIFO does not wait
   for its other end), write-only for a file that may only be written. */
static int open_for_lock(const char* path, int create_flags) {
    const int flags = O_NONBLOCK | O_CLOEXEC | create_flags;
    int fd = open(path, O_RDONLY | flags, 0666);
    if (fd < 0 && errno == EACCES) fd = open(path, O_WRONLY | flags, 0666);
    return fd;
}

/* The descriptors that hold the output's locks, oldest first, -1 where there is none (main
   thread). */
static int output_lock_fds[OUTPUT_LOCKS] = {-1, -1};

/* Lets go of a lock this process holds on the file that fd has open: a process locks a file
   once, so a new lock on it replaces the old one. */
static void release_lock_of_same_file(int fd) {
    struct stat mine, held;
    if (fstat(fd, &mine) != 0) return;
    for (int& lock : output_lock_fds) {
        if (lock >= 0 && fstat(lock, &held) == 0 && held.st_dev == mine.st_dev &&
            held.st_ino == mine.st_ino) {
            close(lock);
            lock = -1;
        }
    }
}

int lock_output_file(const char* path, bool* created) {
    *created = false;
    if (output_lock_fds[0] >= 0) close(output_lock_fds[0]);
    for (int i = 1; i < OUTPUT_LOCKS; i++)
        output_lock_fds[i - 1] = output_lock_fds[i];
    output_lock_fds[OUTPUT_LOCKS - 1] = -1;
    /* A FIFO or a device is not a recording's file: opening it to lock it could make us its
       reader, so it goes unlocked. */
    struct stat status;
    if (file_system_calls.stat_path(path, &status) == 0 && !S_ISREG(status.st_mode)) return 0;
    int fd = open_for_lock(path, O_CREAT | O_EXCL);
    if (fd >= 0) {
        *created = true;
    } else if (errno == EEXIST) {
        fd = open_for_lock(path, 0);
    }
    if (fd < 0) return -1;
    release_lock_of_same_file(fd);
    /* flock belongs to this open file, so closing and reopening the output's own stream does
       not let it go. A file system without locks records unguarded. */
    if (flock(fd, LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK) {
        close(fd);
        return 1;
    }
    output_lock_fds[OUTPUT_LOCKS - 1] = fd; /* open until let go or the process ends */
    return 0;
}

int write_stream_at(FILE* stream, int64_t offset, const void* bytes, size_t length) {
    const char* from = (const char*)bytes;
    while (length > 0) {
        ssize_t written = file_system_calls.write_at(fileno(stream), from, length, (off_t)offset);
        if (written < 0 && errno == EINTR) continue;
        if (written <= 0) {
            if (written == 0) errno = EIO;
            return -1;
        }
        from += written;
        offset += written;
        length -= (size_t)written;
    }
    return 0;
}

int sync_stream(FILE* stream) {
    int result;
    do
        result = file_system_calls.sync_data(fileno(stream));
    while (result != 0 && errno == EINTR);
    return result == 0 ? 0 : -1;
}

int zero_stream_range(FILE* stream, int64_t offset, int64_t length) {
    if (length <= 0) return 0;
    if (file_system_calls.zero_range(fileno(stream), (off_t)offset, (off_t)length) == 0) return 0;
    switch (errno) {
    case EOPNOTSUPP:
#if defined(ENOTSUP) && ENOTSUP != EOPNOTSUPP
    case ENOTSUP:
#endif
    case EINVAL:
    case ENOSYS:
    case ENODEV:
    case ESPIPE:
        return 1;
    default:
        return -1;
    }
}

bool stream_is_regular_file(FILE* stream) {
    struct stat status;
    return file_system_calls.stat_descriptor(fileno(stream), &status) == 0 &&
           S_ISREG(status.st_mode);
}
