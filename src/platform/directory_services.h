// Directory listings (each entry's type, size and modification time, links never followed), the
// free space of a directory's file system, and the removal of a listed file, for the removal of a
// take's old parts.
#pragma once

#include <cstdint>

#include "settings/settings.h"

/* What a directory entry is, as the entry itself says (a link is never followed). */
enum DirectoryEntryType {
    ENTRY_REGULAR,   /* a regular file */
    ENTRY_DIRECTORY, /* a directory (not a link or a junction to one) */
    ENTRY_OTHER      /* a symbolic link, a FIFO, a device, a socket, a reparse point, ... */
};

/* One entry of a directory listing. */
struct DirectoryEntry {
    char name[OUTPUT_PATH_SIZE]; /* the entry's name in its directory (UTF-8), never "." or ".." */
    DirectoryEntryType type;     /* what it is */
    uint64_t size;               /* its length in bytes (a regular file's; 0 otherwise) */
    int64_t modified_ns;         /* its last modification, ns since 1970 UTC */
};

/* Called for each entry of a listing, with the context given to list_directory. Returns false to
   stop the listing early. */
typedef bool (*DirectoryVisitor)(const DirectoryEntry* entry, void* context);

/* Lists the directory at path ("" for the working directory; a trailing separator is allowed),
   calling visit for each of its entries but "." and "..", in no particular order. Entries whose
   names do not fit a DirectoryEntry, and entries gone between the listing and their status, are
   left out. Returns 0 when every entry was visited (or visit stopped the listing), -1 with errno
   when the directory could not be opened or read, or an entry's status could not be had. */
int list_directory(const char* path, DirectoryVisitor visit, void* context);

/* Sets *bytes to the free space this process may use on the file system that holds the
   directory at path ("" for the working directory). Returns 0, or -1 with errno. */
int query_free_space(const char* path, uint64_t* bytes);

/* Removes the file at path, never a directory (a symbolic link is removed itself, not what it
   points to). Returns 0, or -1 with errno. */
int remove_listed_file(const char* path);
