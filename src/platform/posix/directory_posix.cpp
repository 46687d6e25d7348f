// The directory services on POSIX systems: opendir and readdir with fstatat that never follows a
// link, statvfs's blocks available to unprivileged users, and unlink; every system call through
// directory_system_calls.
#define _FILE_OFFSET_BITS 64
#include "platform/posix/directory_posix.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

#include "platform/directory_services.h"

static int system_stat_entry(DIR* directory, const char* name, struct stat* status) {
    return fstatat(dirfd(directory), name, status, AT_SYMLINK_NOFOLLOW);
}

const DirectorySystemCalls system_directory_calls = {
    opendir, readdir, closedir, system_stat_entry, statvfs, unlink,
};

DirectorySystemCalls directory_system_calls = system_directory_calls;

/* Fills entry from the status of the entry named name; false when the name does not fit. */
static bool fill_entry(const char* name, const struct stat* status, DirectoryEntry* entry) {
    size_t length = strlen(name);
    if (length >= sizeof entry->name) return false;
    memcpy(entry->name, name, length + 1);
    entry->type = S_ISREG(status->st_mode)   ? ENTRY_REGULAR
                  : S_ISDIR(status->st_mode) ? ENTRY_DIRECTORY
                                             : ENTRY_OTHER;
    entry->size = entry->type == ENTRY_REGULAR ? (uint64_t)status->st_size : 0;
    entry->modified_ns =
        (int64_t)status->st_mtim.tv_sec * 1000000000LL + (int64_t)status->st_mtim.tv_nsec;
    return true;
}

int list_directory(const char* path, DirectoryVisitor visit, void* context) {
    const DirectorySystemCalls& calls = directory_system_calls;
    DIR* directory = calls.open_directory(path[0] != '\0' ? path : ".");
    if (!directory) return -1;
    int result = 0;
    DirectoryEntry entry;
    for (;;) {
        errno = 0;
        const struct dirent* found = calls.read_directory(directory);
        if (!found) {
            if (errno != 0) result = -1;
            break;
        }
        if (strcmp(found->d_name, ".") == 0 || strcmp(found->d_name, "..") == 0) continue;
        struct stat status;
        if (calls.stat_entry(directory, found->d_name, &status) != 0) {
            if (errno == ENOENT) continue;
            result = -1;
            break;
        }
        if (!fill_entry(found->d_name, &status, &entry)) continue;
        if (!visit(&entry, context)) break;
    }
    int error = errno;
    calls.close_directory(directory);
    errno = error;
    return result;
}

int query_free_space(const char* path, uint64_t* bytes) {
    struct statvfs status;
    if (directory_system_calls.file_system_status(path[0] != '\0' ? path : ".", &status) != 0)
        return -1;
    *bytes = (uint64_t)status.f_bavail * (uint64_t)status.f_frsize;
    return 0;
}

int remove_listed_file(const char* path) {
    return directory_system_calls.unlink_path(path) == 0 ? 0 : -1;
}
