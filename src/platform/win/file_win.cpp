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
