// Splitting an output path into drive, directory, name and extension, and joining it again, with
// the same rules on every system.
#pragma once

#include <cstddef>

#define PATH_DRIVE_SIZE 8  /* bytes in PathParts.drive: "C:" and a NUL, with room to spare */
#define PATH_PART_SIZE 256 /* bytes in each other part: 255 characters and a NUL */

struct PathParts {
    char drive[PATH_DRIVE_SIZE];    /* "X:" when the path's second character is a colon, else "" */
    char directory[PATH_PART_SIZE]; /* up to and including the last "/" or "\\" after the drive */
    char name[PATH_PART_SIZE];      /* the last component up to its extension */
    char extension[PATH_PART_SIZE]; /* the last component from its last "." on, or "" */
};

/* Splits path into parts. Both "/" and "\\" separate directories on every system. Returns 0, or
   -1 when the directory, name or extension is longer than 255 characters; parts is then not
   filled. */
int split_path(const char* path, PathParts* parts);

/* Joins parts back into out, which has room for out_size bytes. Returns 0, or -1 when the path
   and its NUL do not fit; out is then left as it was. */
int compose_path(char* out, size_t out_size, const PathParts* parts);

/* Adds extension to the path held in a buffer of size bytes when the path's last component has
   no extension (a trailing "." counts as one). Returns 0, or -1 when a part of the path is longer
   than 255 characters or the completed path does not fit; path is then left as it was. */
int complete_path_extension(char* path, size_t size, const char* extension);
