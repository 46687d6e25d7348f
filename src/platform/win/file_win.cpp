// Runtime file services on Windows: files opened and measured by their UTF-16 names, the C
// runtime's 64-bit calls, and the file system's own allocation request for reserving the
// output's blocks.
#include <cerrno>
#include <direct.h>
#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>
#include <sys/types.h>

#include "platform/output_locks.h"
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

/* The file layer's process-wide state; main thread. */
struct FileLayerState {
    bool standard_closed[3]; /* standard descriptor i was closed at start-up */
    bool regular_only;       /* refuse_special_outputs was called */
    OutputLockSlots locks;   /* handles holding the output's locks */
    HANDLE take_lock;        /* the named mutex that holds the take's name, or null */
};

static FileLayerState file_layer = {{false, false, false}, false, {{0, 0}, {false, false}}, NULL};

/* Windows opens a named pipe or a device without waiting for its other end. */
FILE* open_file_stream(const char* path, const char* mode) {
    wchar_t wide_path[WIDE_PATH_SIZE], wide_mode[16];
    if (!widen_path(path, wide_path)) return nullptr;
    /* "N": the programs run for finished parts inherit no output. */
    int units = MultiByteToWideChar(CP_UTF8, 0, mode, -1, wide_mode, 15);
    if (units == 0) {
        errno = EINVAL;
        return nullptr;
    }
    wide_mode[units - 1] = L'N';
    wide_mode[units] = L'\0';
    FILE* stream = _wfopen(wide_path, wide_mode);
    if (stream && file_layer.regular_only &&
        GetFileType((HANDLE)_get_osfhandle(_fileno(stream))) != FILE_TYPE_DISK) {
        fclose(stream);
        errno = EINVAL;
        return nullptr;
    }
    return stream;
}

int remove_file(const char* path) {
    wchar_t wide_path[WIDE_PATH_SIZE];
    return widen_path(path, wide_path) ? _wremove(wide_path) : -1;
}

bool is_directory_separator(char c) {
    return c == '/' || c == '\\';
}

int make_directory(const char* path) {
    wchar_t wide_path[WIDE_PATH_SIZE];
    if (!widen_path(path, wide_path)) return -1;
    if (_wmkdir(wide_path) == 0) return 0;
    int reason = errno;
    struct _stat64 status;
    if (reason == EEXIST && _wstat64(wide_path, &status) == 0 && (status.st_mode & _S_IFDIR))
        return 0;
    errno = reason;
    return -1;
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
        file_layer.standard_closed[fd] = true;
        int null_fd = _open("NUL", fd == 0 ? _O_RDONLY : _O_WRONLY);
        if (null_fd >= 0 && null_fd != fd) {
            _dup2(null_fd, fd);
            _close(null_fd);
        }
    }
}

bool standard_descriptor_closed(int fd) {
    return fd >= 0 && fd <= 2 && file_layer.standard_closed[fd];
}

void refuse_special_outputs(void) {
    file_layer.regular_only = true;
}

/* The lock is a byte-range lock far beyond any audio, on a handle of the process's own that
   shares everything: the output's own stream, closed and reopened during preparation, is not
   hindered, and a second recorder's lock of the same byte is refused. */
#define LOCK_OFFSET_HIGH 0x7FFFFFFFu

static void release_lock(LockHolder file) {
    CloseHandle((HANDLE)file);
}

static bool same_file(LockHolder held, LockHolder candidate) {
    BY_HANDLE_FILE_INFORMATION mine, other;
    return GetFileInformationByHandle((HANDLE)candidate, &mine) &&
           GetFileInformationByHandle((HANDLE)held, &other) &&
           other.dwVolumeSerialNumber == mine.dwVolumeSerialNumber &&
           other.nFileIndexHigh == mine.nFileIndexHigh && other.nFileIndexLow == mine.nFileIndexLow;
}

/* The errno value that says what the Windows error code says, for the output's reason line. */
static int errno_of_system_error(DWORD error) {
    switch (error) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_DRIVE:
        return ENOENT;
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL:
        return ENOSPC;
    case ERROR_INVALID_NAME:
    case ERROR_BAD_PATHNAME:
    case ERROR_FILENAME_EXCED_RANGE:
        return EINVAL;
    case ERROR_WRITE_PROTECT:
        return EROFS;
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION:
        return EBUSY;
    default:
        return EACCES;
    }
}

int lock_output_file(const char* path, bool* created) {
    *created = false;
    free_newest_lock_slot(&file_layer.locks, release_lock);
    wchar_t wide_path[WIDE_PATH_SIZE];
    if (!widen_path(path, wide_path)) return -1;
    HANDLE file =
        CreateFileW(wide_path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                    NULL, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
    if (file == INVALID_HANDLE_VALUE) {
        errno = errno_of_system_error(GetLastError());
        return -1;
    }
    *created = GetLastError() != ERROR_ALREADY_EXISTS;
    if (file_layer.regular_only && GetFileType(file) != FILE_TYPE_DISK) {
        CloseHandle(file);
        errno = EINVAL;
        return -1;
    }
    release_locks_of_same_file(&file_layer.locks, (LockHolder)file, same_file, release_lock);
    OVERLAPPED where = {};
    where.Offset = 0;
    where.OffsetHigh = LOCK_OFFSET_HIGH;
    if (!LockFileEx(file, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &where)) {
        DWORD error = GetLastError();
        CloseHandle(file);
        return error == ERROR_LOCK_VIOLATION || error == ERROR_IO_PENDING ? 1 : 0;
    }
    keep_newest_lock(&file_layer.locks, (LockHolder)file);
    return 0;
}

bool is_special_file(const char* path) {
    wchar_t wide_path[WIDE_PATH_SIZE];
    if (!widen_path(path, wide_path)) return false;
    HANDLE file = CreateFileW(wide_path, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                              NULL, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, NULL);
    if (file == INVALID_HANDLE_VALUE) return false;
    bool special = GetFileType(file) != FILE_TYPE_DISK;
    CloseHandle(file);
    return special;
}

bool output_file_in_use(const char* path) {
    wchar_t wide_path[WIDE_PATH_SIZE];
    if (!widen_path(path, wide_path)) return false;
    HANDLE file =
        CreateFileW(wide_path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                    NULL, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL);
    if (file == INVALID_HANDLE_VALUE) return false;
    bool held = false;
    if (GetFileType(file) == FILE_TYPE_DISK) {
        OVERLAPPED where = {};
        where.Offset = 0;
        where.OffsetHigh = LOCK_OFFSET_HIGH;
        if (LockFileEx(file, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0,
                       &where)) {
            UnlockFileEx(file, 0, 1, 0, &where);
        } else {
            DWORD error = GetLastError();
            held = error == ERROR_LOCK_VIOLATION || error == ERROR_IO_PENDING;
        }
    }
    CloseHandle(file);
    return held;
}

/* The take's lock is a named mutex of the session, named by a hash of the take's full path in
   lower case (Windows file names ignore case): the system lets it go with the process's last
   handle, so it is released however the process ends, and it leaves nothing on disk. */
int lock_take_name(const char* take_path) {
    wchar_t wide_path[WIDE_PATH_SIZE], full[WIDE_PATH_SIZE], name[64];
    if (!widen_path(take_path, wide_path)) return 0;
    DWORD length = GetFullPathNameW(wide_path, WIDE_PATH_SIZE, full, NULL);
    if (length == 0 || length >= WIDE_PATH_SIZE) return 0;
    CharLowerBuffW(full, length);
    _snwprintf(name, 64, L"wavtap-take-%016llx",
               (unsigned long long)lock_name_hash(full, length * sizeof(wchar_t)));
    name[63] = L'\0';
    HANDLE mutex = CreateMutexW(NULL, FALSE, name);
    if (!mutex) return 0;
    if (GetLastError() == ERROR_ALREADY_EXISTS) {
        CloseHandle(mutex);
        return 1;
    }
    file_layer.take_lock = mutex; /* open until the process ends */
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

int rename_file(const char* from, const char* to) {
    wchar_t wide_from[WIDE_PATH_SIZE], wide_to[WIDE_PATH_SIZE];
    if (!widen_path(from, wide_from) || !widen_path(to, wide_to)) return -1;
    if (MoveFileExW(wide_from, wide_to, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
        return 0;
    errno = errno_of_system_error(GetLastError());
    return -1;
}

/* MOVEFILE_WRITE_THROUGH returned only once the rename was on the disk. */
int sync_file_directory(const char*) {
    return 0;
}
