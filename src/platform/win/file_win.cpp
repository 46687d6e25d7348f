// Runtime file services on Windows: files opened and measured by their UTF-16 names, the C
// runtime's 64-bit calls, and the file system's own allocation request for reserving the
// output's blocks.
#include <cerrno>
#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>
#include <sys/types.h>

#include "platform/platform.h"

#define WIDE_PATH_SIZE 1024 /* UTF-16 units in a converted path, its NUL included */

/* Converts the UTF-8 path to UTF-16 in wide (WIDE_PATH_SIZE units). Returns false, with errno
   set, when it is not UTF-8 or does not fit. */
static bool widen_path(const char* path, wchar_t* wide) {
    if (MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, path, -1, wide, WIDE_PATH_SIZE) == 0) {
        errno = ENOENT;
        return false;
    }
    return true;
}

FILE* open_file_stream(const char* path, const char* mode) {
    wchar_t wide_path[WIDE_PATH_SIZE], wide_mode[16];
    if (!widen_path(path, wide_path)) return nullptr;
    if (MultiByteToWideChar(CP_UTF8, 0, mode, -1, wide_mode, 16) == 0) {
        errno = EINVAL;
        return nullptr;
    }
    return _wfopen(wide_path, wide_mode);
}

int remove_file(const char* path) {
    wchar_t wide_path[WIDE_PATH_SIZE];
    return widen_path(path, wide_path) ? _wremove(wide_path) : -1;
}

int query_file_size(const char* path, uint64_t* size) {
    wchar_t wide_path[WIDE_PATH_SIZE];
    struct _stat64 status;
    if (!widen_path(path, wide_path) || _wstat64(wide_path, &status) != 0) return -1;
    *size = (uint64_t)status.st_size;
    return 0;
}

int seek_stream(FILE* stream, int64_t offset) {
    return _fseeki64(stream, offset, SEEK_SET) == 0 ? 0 : -1;
}

int64_t tell_stream(FILE* stream) {
    return _ftelli64(stream);
}

int resize_stream_file(FILE* stream, int64_t size) {
    return _chsize_s(_fileno(stream), size) == 0 ? 0 : -1;
}

/* Windows file systems allocate every cluster below the end of a file that is not sparse: the
   file grown by writing its last byte got its clusters from NTFS, FAT and exFAT then. So a request
   within the end of file is already met. A sparse file (one that another program made so and that
   is now reused in place) may have holes, and a request beyond the end would need the file grown
   first: both are left as they are, and the caller goes on unreserved. Output preparation asks only
   after sizing the file. */
int reserve_stream_file(FILE* stream, int64_t size) {
    HANDLE file = (HANDLE)_get_osfhandle(_fileno(stream));
    BY_HANDLE_FILE_INFORMATION info;
    if (file == INVALID_HANDLE_VALUE) {
        errno = EBADF;
        return -1;
    }
    if (!GetFileInformationByHandle(file, &info)) {
        errno = EIO;
        return -1;
    }
    int64_t end = (int64_t)(((uint64_t)info.nFileSizeHigh << 32) | info.nFileSizeLow);
    if (info.dwFileAttributes & FILE_ATTRIBUTE_SPARSE_FILE) return 1;
    return end >= size ? 0 : 1;
}

void set_binary_stream(FILE* stream) {
    _setmode(_fileno(stream), _O_BINARY);
}

int64_t rewritable_offset(FILE* stream) {
    HANDLE file = (HANDLE)_get_osfhandle(_fileno(stream));
    if (file == INVALID_HANDLE_VALUE || GetFileType(file) != FILE_TYPE_DISK) return -1;
    int64_t offset = _ftelli64(stream);
    return offset >= 0 ? offset : -1;
}

void guard_standard_descriptors(void) {
    for (int fd = 0; fd <= 2; fd++) {
        if (_get_osfhandle(fd) != -1) continue;
        int null_fd = _open("NUL", fd == 0 ? _O_RDONLY : _O_WRONLY);
        if (null_fd >= 0 && null_fd != fd) {
            _dup2(null_fd, fd);
            _close(null_fd);
        }
    }
}

/* The lock is a byte-range lock far beyond any audio, on a handle of the process's own that
   shares everything: the output's own stream, closed and reopened during preparation, is not
   hindered, and a second recorder's lock of the same byte is refused. */
#define LOCK_OFFSET_HIGH 0x7FFFFFFFu

/* The handles that hold the output's locks, oldest first, null where there is none (main
   thread). */
static HANDLE output_lock_handles[OUTPUT_LOCKS] = {NULL, NULL};

/* Lets go of a lock this process holds on the file that file has open: a process locks a file
   once, so a new lock on it replaces the old one. */
static void release_lock_of_same_file(HANDLE file) {
    BY_HANDLE_FILE_INFORMATION mine, held;
    if (!GetFileInformationByHandle(file, &mine)) return;
    for (HANDLE& lock : output_lock_handles) {
        if (lock && GetFileInformationByHandle(lock, &held) &&
            held.dwVolumeSerialNumber == mine.dwVolumeSerialNumber &&
            held.nFileIndexHigh == mine.nFileIndexHigh &&
            held.nFileIndexLow == mine.nFileIndexLow) {
            CloseHandle(lock);
            lock = NULL;
        }
    }
}

int lock_output_file(const char* path, bool* created) {
    *created = false;
    if (output_lock_handles[0]) CloseHandle(output_lock_handles[0]);
    for (int i = 1; i < OUTPUT_LOCKS; i++)
        output_lock_handles[i - 1] = output_lock_handles[i];
    output_lock_handles[OUTPUT_LOCKS - 1] = NULL;
    wchar_t wide_path[WIDE_PATH_SIZE];
    if (!widen_path(path, wide_path)) return -1;
    HANDLE file =
        CreateFileW(wide_path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                    NULL, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
    if (file == INVALID_HANDLE_VALUE) {
        errno = EACCES;
        return -1;
    }
    *created = GetLastError() != ERROR_ALREADY_EXISTS;
    release_lock_of_same_file(file);
    OVERLAPPED where = {};
    where.Offset = 0;
    where.OffsetHigh = LOCK_OFFSET_HIGH;
    if (!LockFileEx(file, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &where)) {
        DWORD error = GetLastError();
        CloseHandle(file);
        return error == ERROR_LOCK_VIOLATION || error == ERROR_IO_PENDING ? 1 : 0;
    }
    output_lock_handles[OUTPUT_LOCKS - 1] = file; /* open until let go or the process ends */
    return 0;
}

/* A positioned write on the file's handle moves the handle's file pointer, which the C runtime's
   unbuffered stream writes at: it is put back where it was. */
int write_stream_at(FILE* stream, int64_t offset, const void* bytes, size_t length) {
    HANDLE file = (HANDLE)_get_osfhandle(_fileno(stream));
    LARGE_INTEGER zero = {}, position;
    if (file == INVALID_HANDLE_VALUE || !SetFilePointerEx(file, zero, &position, FILE_CURRENT)) {
        errno = EBADF;
        return -1;
    }
    const char* from = (const char*)bytes;
    int result = 0;
    while (length > 0) {
        OVERLAPPED where = {};
        where.Offset = (DWORD)((uint64_t)offset & 0xFFFFFFFFu);
        where.OffsetHigh = (DWORD)((uint64_t)offset >> 32);
        DWORD chunk = length > 0x40000000u ? 0x40000000u : (DWORD)length, written = 0;
        if (!WriteFile(file, from, chunk, &written, &where) || written == 0) {
            errno = EIO;
            result = -1;
            break;
        }
        from += written;
        offset += written;
        length -= written;
    }
    if (!SetFilePointerEx(file, position, nullptr, FILE_BEGIN)) {
        errno = EIO;
        result = -1;
    }
    return result;
}

int sync_stream(FILE* stream) {
    HANDLE file = (HANDLE)_get_osfhandle(_fileno(stream));
    if (file == INVALID_HANDLE_VALUE || !FlushFileBuffers(file)) {
        errno = EIO;
        return -1;
    }
    return 0;
}

/* Zeroing a range of a file that is not sparse writes the zeros on Windows, as long as writing
   them ourselves: it is not done, and the earlier take stays beyond what the header counts. */
int zero_stream_range(FILE*, int64_t, int64_t) {
    return 1;
}

bool stream_is_regular_file(FILE* stream) {
    HANDLE file = (HANDLE)_get_osfhandle(_fileno(stream));
    return file != INVALID_HANDLE_VALUE && GetFileType(file) == FILE_TYPE_DISK;
}
