// The system calls behind the POSIX directory services, gathered in one table so that tests can
// put failing versions in their place.
#pragma once

#include <dirent.h>
#include <sys/stat.h>
#include <sys/statvfs.h>

struct DirectorySystemCalls {
    DIR* (*open_directory)(const char* path);                             /* opendir */
    struct dirent* (*read_directory)(DIR* directory);                     /* readdir */
    int (*close_directory)(DIR* directory);                               /* closedir */
    int (*stat_entry)(DIR* directory, const char* name, struct stat* st); /* fstatat, no follow */
    int (*file_system_status)(const char* path, struct statvfs* status);  /* statvfs */
    int (*unlink_path)(const char* path);                                 /* unlink */
};

/* The calls the directory services make. Holds the system's own functions; only tests change
   it, and only from the main thread while no directory service runs. */
extern DirectorySystemCalls directory_system_calls;

/* The system's own functions, for tests to put back. */
extern const DirectorySystemCalls system_directory_calls;
