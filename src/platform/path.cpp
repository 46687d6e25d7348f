// Path split and compose for output-path completion: portable, so that "/", "\\" and drive
// letters mean the same on every system.
#include "platform/path.h"

#include <cstring>

#define PATH_DRIVE_SIZE 8  /* bytes in PathParts.drive: "C:" and a NUL, with room to spare */
#define PATH_PART_SIZE 256 /* bytes in each other part: 255 characters and a NUL */

struct PathParts {
    char drive[PATH_DRIVE_SIZE];    /* "X:" when the path's second character is a colon, else "" */
    char directory[PATH_PART_SIZE]; /* up to and including the last "/" or "\\" after the drive */
    char name[PATH_PART_SIZE];      /* the last component up to its extension */
    char extension[PATH_PART_SIZE]; /* the last component from its last "." on, or "" */
};

static bool is_separator(char c) {
    return c == '/' || c == '\\';
}

/* Copies length characters from source into a part of PATH_PART_SIZE bytes; false when they do
   not fit. */
static bool copy_part(char* part, const char* source, size_t length) {
    if (length >= PATH_PART_SIZE) return false;
    memcpy(part, source, length);
    part[length] = '\0';
    return true;
}

static size_t drive_length(const char* path) {
    return (path[0] != '\0' && path[1] == ':') ? 2 : 0;
}

/* Finds the last component of rest (a path after its drive) and its extension: sets *component
   to its start and returns where its last "." is, or its end. */
static const char* find_extension(const char* rest, const char** component) {
    *component = rest;
    const char* last_dot = nullptr;
    for (const char* p = rest; *p != '\0'; p++) {
        if (is_separator(*p)) {
            *component = p + 1;
            last_dot = nullptr;
        } else if (*p == '.') {
            last_dot = p;
        }
    }
    return last_dot ? last_dot : *component + strlen(*component);
}

/* Splits path into parts. Both "/" and "\\" separate directories on every system. Returns 0, or
   -1 when the directory, name or extension is longer than 255 characters; parts is then not
   filled. */
static int split_path(const char* path, PathParts* parts) {
    size_t drive = drive_length(path);
    const char* rest = path + drive;
    const char* component; /* start of the last component */
    const char* extension = find_extension(rest, &component);
    const char* end = component + strlen(component);

    PathParts split;
    memcpy(split.drive, path, drive);
    split.drive[drive] = '\0';
    if (!copy_part(split.directory, rest, (size_t)(component - rest)) ||
        !copy_part(split.name, component, (size_t)(extension - component)) ||
        !copy_part(split.extension, extension, (size_t)(end - extension)))
        return -1;
    *parts = split;
    return 0;
}

/* Joins parts back into out, which has room for out_size bytes. Returns 0, or -1 when the path
   and its NUL do not fit; out is then left as it was. */
static int compose_path(char* out, size_t out_size, const PathParts* parts) {
    const char* pieces[] = {parts->drive, parts->directory, parts->name, parts->extension};
    size_t total = 0;
    for (const char* piece : pieces)
        total += strlen(piece);
    if (total >= out_size) return -1;
    size_t at = 0;
    for (const char* piece : pieces) {
        size_t length = strlen(piece);
        memcpy(out + at, piece, length);
        at += length;
    }
    out[at] = '\0';
    return 0;
}

int complete_path_extension(char* path, size_t size, const char* extension) {
    PathParts parts;
    if (split_path(path, &parts) != 0) return -1;
    if (parts.name[0] == '\0' && parts.extension[0] == '\0') return 1;
    if (parts.extension[0] != '\0') return 0;
    if (!copy_part(parts.extension, extension, strlen(extension))) return -1;
    return compose_path(path, size, &parts);
}

size_t path_extension_offset(const char* path) {
    const char* component;
    return (size_t)(find_extension(path + drive_length(path), &component) - path);
}
