// Splitting an output path into drive, directory, name and extension, and joining it again, with
// the same rules on every system.
#pragma once

#include <cstddef>

/* Adds extension to the path held in a buffer of size bytes when the path's last component has
   no extension (a trailing "." counts as one). Returns 0, 1 when the last component is empty
   (the path names a directory: "dir/", "/", "C:"), or -1 when a part of the path is longer than
   255 characters or the completed path does not fit; path is left as it was but for 0. */
int complete_path_extension(char* path, size_t size, const char* extension);

/* Where the extension of path's last component begins (its last "."), or the path's length when
   it has none: the same rule as complete_path_extension's. */
size_t path_extension_offset(const char* path);
