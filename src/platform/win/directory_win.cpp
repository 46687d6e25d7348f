// The directory services on Windows: FindFirstFileExW and FindNextFileW by UTF-16 names (a
// reparse point, a link or a junction, is never a regular file or a directory to descend into),
// GetDiskFreeSpaceExW's bytes available to the caller, and DeleteFileW; every system call
// through directory_calls.
#include <cerrno>
#include <cstring>

#include "platform/directory_services.h"
#include "platform/platform.h"

#define WIDE_PATH_SIZE 1024 /* UTF-16 units in a converted path, its NUL included */
#define FILETIME_UNIX_EPOCH 116444736000000000LL /* 1970-01-01 in 100 ns units since 1601 */

/* The system calls the directory services make, in one table as on POSIX systems. */
struct DirectoryCalls {
    HANDLE(WINAPI* find_first)
    (LPCWSTR, FINDEX_INFO_LEVELS, LPVOID, FINDEX_SEARCH_OPS, LPVOID, DWORD); /* FindFirstFileExW */
    BOOL(WINAPI* find_next)(HANDLE, LPWIN32_FIND_DATAW);                     /* FindNextFileW */
    BOOL(WINAPI* find_close)(HANDLE);                                        /* FindClose */
    BOOL(WINAPI* free_space)
    (LPCWSTR, PULARGE_INTEGER, PULARGE_INTEGER, PULARGE_INTEGER); /* GetDiskFreeSpaceExW */
    BOOL(WINAPI* delete_file)(LPCWSTR);                           /* DeleteFileW */
};

static DirectoryCalls directory_calls = {FindFirstFileExW, FindNextFileW, FindClose,
                                         GetDiskFreeSpaceExW, DeleteFileW};

/* errno for the thread's last Windows error. */
static int last_error_number(void) {
    switch (GetLastError()) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_NAME:
        return ENOENT;
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION:
        return EACCES;
    case ERROR_DIRECTORY:
        return ENOTDIR;
    default:
        return EIO;
    }
}

/* Converts the UTF-8 path to UTF-16 in wide (WIDE_PATH_SIZE units), "." for "". False, with
   errno set, when it is not UTF-8 or does not fit. */
static bool widen(const char* path, wchar_t* wide) {
    if (path[0] == '\0') path = ".";
    if (MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, path, -1, wide, WIDE_PATH_SIZE) == 0) {
        errno = ENOENT;
        return false;
    }
    return true;
}

/* Fills entry from what the search found; false when the name does not fit or is "." or "..". */
static bool fill_entry(const WIN32_FIND_DATAW* found, DirectoryEntry* entry) {
    if (wcscmp(found->cFileName, L".") == 0 || wcscmp(found->cFileName, L"..") == 0) return false;
    if (WideCharToMultiByte(CP_UTF8, 0, found->cFileName, -1, entry->name, sizeof entry->name, NULL,
                            NULL) == 0)
        return false;
    DWORD attributes = found->dwFileAttributes;
    entry->type = (attributes & FILE_ATTRIBUTE_REPARSE_POINT) ? ENTRY_OTHER
                  : (attributes & FILE_ATTRIBUTE_DIRECTORY)   ? ENTRY_DIRECTORY
                  : (attributes & FILE_ATTRIBUTE_DEVICE)      ? ENTRY_OTHER
                                                              : ENTRY_REGULAR;
    entry->size = entry->type == ENTRY_REGULAR
                      ? ((uint64_t)found->nFileSizeHigh << 32) | found->nFileSizeLow
                      : 0;
    int64_t ticks = (int64_t)(((uint64_t)found->ftLastWriteTime.dwHighDateTime << 32) |
                              found->ftLastWriteTime.dwLowDateTime);
    entry->modified_ns = (ticks - FILETIME_UNIX_EPOCH) * 100;
    return true;
}

int list_directory(const char* path, DirectoryVisitor visit, void* context) {
    char pattern[OUTPUT_PATH_SIZE + 4];
    size_t length = strlen(path);
    bool separated = length == 0 || path[length - 1] == '/' || path[length - 1] == '\\' ||
                     path[length - 1] == ':';
    snprintf(pattern, sizeof pattern, "%s%s*", path, separated ? "" : "\\");
    wchar_t wide[WIDE_PATH_SIZE];
    if (!widen(pattern, wide)) return -1;
    WIN32_FIND_DATAW found;
    HANDLE search =
        directory_calls.find_first(wide, FindExInfoBasic, &found, FindExSearchNameMatch, NULL, 0);
    if (search == INVALID_HANDLE_VALUE) {
        errno = last_error_number();
        return -1;
    }
    int result = 0;
    DirectoryEntry entry;
    for (;;) {
        if (fill_entry(&found, &entry) && !visit(&entry, context)) break;
        if (!directory_calls.find_next(search, &found)) {
            if (GetLastError() != ERROR_NO_MORE_FILES) {
                errno = last_error_number();
                result = -1;
            }
            break;
        }
    }
    int error = errno;
    directory_calls.find_close(search);
    errno = error;
    return result;
}

int query_free_space(const char* path, uint64_t* bytes) {
    wchar_t wide[WIDE_PATH_SIZE];
    if (!widen(path, wide)) return -1;
    ULARGE_INTEGER available;
    if (!directory_calls.free_space(wide, &available, NULL, NULL)) {
        errno = last_error_number();
        return -1;
    }
    *bytes = available.QuadPart;
    return 0;
}

int remove_listed_file(const char* path) {
    wchar_t wide[WIDE_PATH_SIZE];
    if (!widen(path, wide)) return -1;
    if (directory_calls.delete_file(wide)) return 0;
    errno = last_error_number();
    return -1;
}
