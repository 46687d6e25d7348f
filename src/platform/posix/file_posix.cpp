// The runtime file services on POSIX systems: 64-bit sizes and offsets through stat, fstat,
// fseeko, ftello, ftruncate and posix_fallocate, the output's lock through flock, the take's lock
// through a socket name, the header's positioned writes, syncs and zeroed ranges through pwrite,
// fdatasync and fallocate; every system call through file_system_calls.
#define _FILE_OFFSET_BITS 64
#include "platform/posix/file_posix.h"

#include <cerrno>
#include <climits>
#include <cstddef>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include "platform/file_services.h"
#include "platform/output_locks.h"

static_assert(sizeof(off_t) >= 8, "the file services need 64-bit file offsets");

static int system_stat(const char* path, struct stat* status) {
    return stat(path, status);
}
static int system_fstat(int fd, struct stat* status) {
    return fstat(fd, status);
}
static int system_open(const char* path, int flags, mode_t mode) {
    return open(path, flags, mode);
}
static int system_fcntl(int fd, int command, int argument) {
    return fcntl(fd, command, argument);
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
    system_stat, system_fstat, fseeko,       ftello, ftruncate, posix_fallocate,
    system_open, close,        system_fcntl, flock,  dup2,      fdopen,
    remove,      socket,       bind,         pwrite, fdatasync, system_zero_range,
    rename,      fsync,
};

FileSystemCalls file_system_calls = system_file_calls;

/* The file layer's process-wide state; main thread. */
struct FileLayerState {
    bool standard_closed[3]; /* standard descriptor i was closed at start-up */
    bool regular_only;       /* refuse_special_outputs was called */
    OutputLockSlots locks;   /* descriptors holding the output's locks (flock) */
    int take_lock;           /* the socket that holds the take's name, or -1 */
};

static FileLayerState file_layer = {{false, false, false}, false, {{-1, -1}, {false, false}}, -1};

/* The open flags of an fopen mode. */
static int open_flags_of_mode(const char* mode) {
    bool update = strchr(mode, '+') != nullptr;
    switch (mode[0]) {
    case 'w':
        return (update ? O_RDWR : O_WRONLY) | O_CREAT | O_TRUNC;
    case 'a':
        return (update ? O_RDWR : O_WRONLY) | O_CREAT | O_APPEND;
    default:
        return update ? O_RDWR : O_RDONLY;
    }
}

/* Whether the file open at fd may be an output: any file, or after refuse_special_outputs only
   a regular one (EINVAL otherwise). */
static bool may_be_output(int fd) {
    if (!file_layer.regular_only) return true;
    struct stat status;
    if (file_system_calls.stat_descriptor(fd, &status) != 0) return false;
    if (!S_ISREG(status.st_mode)) {
        errno = EINVAL;
        return false;
    }
    return true;
}

/* Closes fd and returns -1 with errno as it was before the close. */
static int close_failed(int fd) {
    int error = errno;
    file_system_calls.close_descriptor(fd);
    errno = error;
    return -1;
}

FILE* open_file_stream(const char* path, const char* mode) {
    /* A part is opened without blocking, so that a FIFO does not wait for its other end while a
       stop request waits for the take; then blocking again for the writes. The single output
       waits in the open as it always has: its stop handlers are not in place yet, so a signal
       still ends the program there. */
    bool part = file_layer.regular_only;
    int fd =
        file_system_calls.open_path(path, open_flags_of_mode(mode) | (part ? O_NONBLOCK : 0), 0666);
    if (fd < 0) return nullptr;
    int flags = part ? file_system_calls.control(fd, F_GETFL, 0) : 0;
    if (part && (!may_be_output(fd) || flags < 0 ||
                 file_system_calls.control(fd, F_SETFL, flags & ~O_NONBLOCK) != 0)) {
        close_failed(fd);
        return nullptr;
    }
    FILE* stream = file_system_calls.stream_of(fd, mode);
    if (!stream) close_failed(fd);
    return stream;
}

int remove_file(const char* path) {
    return file_system_calls.remove_path(path);
}

bool is_directory_separator(char c) {
    return c == '/';
}

int make_directory(const char* path) {
    if (mkdir(path, 0777) == 0) return 0;
    int reason = errno;
    struct stat status;
    if (reason == EEXIST && stat(path, &status) == 0 && S_ISDIR(status.st_mode)) return 0;
    errno = reason;
    return -1;
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
    int flags = file_system_calls.control(fileno(stream), F_GETFL, 0);
    /* In append mode every write goes to the end, wherever the stream was sought to. */
    if (flags < 0 || (flags & O_APPEND)) return -1;
    int64_t offset = tell_stream(stream);
    return offset >= 0 ? offset : -1;
}

void guard_standard_descriptors(void) {
    for (int fd = 0; fd <= 2; fd++) {
        if (file_system_calls.control(fd, F_GETFD, 0) != -1 || errno != EBADF) continue;
        file_layer.standard_closed[fd] = true;
        /* The lowest free number is fd itself: the ones below it are open by now. */
        int null_fd = file_system_calls.open_path("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY, 0);
        if (null_fd >= 0 && null_fd != fd) {
            file_system_calls.duplicate(null_fd, fd);
            file_system_calls.close_descriptor(null_fd);
        }
    }
}

bool standard_descriptor_closed(int fd) {
    return fd >= 0 && fd <= 2 && file_layer.standard_closed[fd];
}

void refuse_special_outputs(void) {
    file_layer.regular_only = true;
}

/* Opens path for the lock without changing it: read-only where allowed (a FIFO does not wait
   for its other end), write-only for a file that may only be written. */
static int open_for_lock(const char* path, int create_flags) {
    const int flags = O_NONBLOCK | O_CLOEXEC | create_flags;
    int fd = file_system_calls.open_path(path, O_RDONLY | flags, 0666);
    if (fd < 0 && errno == EACCES) fd = file_system_calls.open_path(path, O_WRONLY | flags, 0666);
    return fd;
}

static void release_lock(LockHolder fd) {
    file_system_calls.close_descriptor((int)fd);
}

static bool same_file(LockHolder held, LockHolder candidate) {
    struct stat mine, other;
    return file_system_calls.stat_descriptor((int)candidate, &mine) == 0 &&
           file_system_calls.stat_descriptor((int)held, &other) == 0 &&
           other.st_dev == mine.st_dev && other.st_ino == mine.st_ino;
}

int lock_output_file(const char* path, bool* created) {
    *created = false;
    free_newest_lock_slot(&file_layer.locks, release_lock);
    /* A FIFO or a device is not a recording's file: opening it to lock it could make us its
       reader, so it goes unlocked (or is refused, when only regular files may be outputs). */
    struct stat status;
    if (file_system_calls.stat_path(path, &status) == 0 && !S_ISREG(status.st_mode)) {
        if (!file_layer.regular_only) return 0;
        errno = EINVAL;
        return -1;
    }
    int fd = open_for_lock(path, O_CREAT | O_EXCL);
    if (fd >= 0) {
        *created = true;
    } else if (errno == EEXIST) {
        fd = open_for_lock(path, 0);
    }
    if (fd < 0) return -1;
    /* What was opened may have been put in place after the stat. */
    if (!may_be_output(fd)) return close_failed(fd);
    release_locks_of_same_file(&file_layer.locks, fd, same_file, release_lock);
    /* flock belongs to this open file, so closing and reopening the output's own stream does
       not let it go. A file system without locks records unguarded. */
    if (file_system_calls.lock_descriptor(fd, LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK) {
        file_system_calls.close_descriptor(fd);
        return 1;
    }
    keep_newest_lock(&file_layer.locks, fd);
    return 0;
}

bool is_special_file(const char* path) {
    struct stat status;
    return file_system_calls.stat_path(path, &status) == 0 && !S_ISREG(status.st_mode) &&
           !S_ISDIR(status.st_mode);
}

bool output_file_in_use(const char* path) {
    struct stat status;
    if (file_system_calls.stat_path(path, &status) != 0 || !S_ISREG(status.st_mode)) return false;
    int fd = open_for_lock(path, 0);
    if (fd < 0) return false;
    /* A lock this probe gets is its own open file's, let go with the close. */
    bool held =
        file_system_calls.lock_descriptor(fd, LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK;
    file_system_calls.close_descriptor(fd);
    return held;
}

/* The take's lock is a name in the abstract socket namespace (Linux), bound by a socket of the
   process's own: the kernel lets it go with the socket's last descriptor, so it is released
   however the process ends, SIGKILL included, and it leaves nothing on disk. The name holds the
   device and inode of the take's directory and a hash of the name (or pattern) in it, so that
   every spelling of the same directory gives the same name. A directory that cannot be told
   (not there yet, or itself from a pattern) counts as the working directory with the path as
   given. The namespace belongs to the network namespace: recorders in different ones (separate
   containers on one shared directory) do not see each other's takes. */
int lock_take_name(const char* take_path) {
    const char* slash = strrchr(take_path, '/');
    char directory[PATH_MAX];
    const char* name = take_path;
    snprintf(directory, sizeof directory, ".");
    if (slash) {
        size_t length = (size_t)(slash - take_path);
        if (length == 0) length = 1; /* the root */
        if (length < sizeof directory) {
            memcpy(directory, take_path, length);
            directory[length] = '\0';
            name = slash + 1;
        }
    }
    struct stat status;
    if (file_system_calls.stat_path(directory, &status) != 0) {
        name = take_path;
        if (file_system_calls.stat_path(".", &status) != 0) return 0;
    }
    struct sockaddr_un address = {};
    address.sun_family = AF_UNIX;
    /* sun_path[0] stays NUL: an abstract name. */
    int length =
        snprintf(address.sun_path + 1, sizeof address.sun_path - 1, "wavtap-take/%llx/%llx/%016llx",
                 (unsigned long long)status.st_dev, (unsigned long long)status.st_ino,
                 (unsigned long long)lock_name_hash(name, strlen(name)));
    int fd = file_system_calls.make_socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return 0;
    socklen_t size = (socklen_t)(offsetof(struct sockaddr_un, sun_path) + 1 + (size_t)length);
    if (file_system_calls.bind_socket(fd, (const struct sockaddr*)&address, size) != 0) {
        bool in_use = errno == EADDRINUSE;
        file_system_calls.close_descriptor(fd);
        return in_use ? 1 : 0;
    }
    file_layer.take_lock = fd; /* open until the process ends */
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

int rename_file(const char* from, const char* to) {
    return file_system_calls.rename_path(from, to) == 0 ? 0 : -1;
}

int sync_file_directory(const char* path) {
    const char* slash = strrchr(path, '/');
    char directory[PATH_MAX];
    if (!slash) {
        strcpy(directory, ".");
    } else {
        size_t length = slash == path ? 1 : (size_t)(slash - path);
        if (length >= sizeof directory) {
            errno = ENAMETOOLONG;
            return -1;
        }
        memcpy(directory, path, length);
        directory[length] = '\0';
    }
    int fd = file_system_calls.open_path(directory, O_RDONLY | O_DIRECTORY | O_CLOEXEC, 0);
    if (fd < 0) return -1;
    if (file_system_calls.sync_descriptor(fd) != 0) return close_failed(fd);
    file_system_calls.close_descriptor(fd);
    return 0;
}
