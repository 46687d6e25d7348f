// The runtime file services on POSIX systems: 64-bit sizes and offsets through stat, fstat,
// fseeko, ftello, ftruncate and posix_fallocate.
#define _FILE_OFFSET_BITS 64
#include "platform/posix/file_posix.h"

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

#include "platform/file_services.h"

static_assert(sizeof(off_t) >= 8, "the file services need 64-bit file offsets");

static int system_stat(const char* path, struct stat* status) {
    return stat(path, status);
}
static int system_fstat(int fd, struct stat* status) {
    return fstat(fd, status);
}

const FileSystemCalls system_file_calls = {
    system_stat, system_fstat, fseeko, ftello, ftruncate, posix_fallocate,
};

FileSystemCalls file_system_calls = system_file_calls;

FILE* open_file_stream(const char* path, const char* mode) {
    return fopen(path, mode);
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
