// Which files are a take's parts (the names its number or strftime pattern gives, with counters
// and the ".part" marker, in the directories it writes), and their removal with -k: those older
// than the hours kept once a part is finished, and the oldest when the next part does not fit.
#pragma once

#include <cstdint>

/* How a path relates to a take's name or pattern. */
enum PartMatch {
    PART_OF_TAKE,     /* a name the take gives its parts (or their ".part" markers) */
    PART_OTHER,       /* anything else */
    PART_UNMATCHABLE, /* the pattern has a conversion whose output cannot be told */
};

/* Whether path names one of the parts of the take at take_path (its name with its extension, or
   its strftime pattern): the same directory as the pattern's up to its first directory with a
   conversion, then each directory level as its pattern component gives it, and a name that the
   number (4 or more digits) or the pattern gives, with a counter "-N" (N from 2) before the
   extension and ".part" after it, each optional. Only the names are compared: nothing is asked
   of the file system. */
PartMatch match_part_path(const char* take_path, const char* path);

/* With -k: removes the take's parts older than the hours kept, oldest first, each with a line,
   never current (the part being recorded), next (the one prepared ahead, or null) or their
   ".part" markers. Anything that is not a regular file is left alone and never followed. A
   listing that fails is reported and nothing is removed; a removal that fails is reported and
   ends the removals. Main thread, after a part is finished. */
void remove_expired_parts(const char* take_path, const char* current, const char* next);

/* With -k: when the free space of path's file system cannot hold a part of length bytes at path
   (less what a file already there holds), removes the take's oldest parts, each with a line,
   until it can, never current, path or their ".part" markers; failures as with
   remove_expired_parts. What is left too small is for the part's preparation to find. Main
   thread, before a part is prepared. */
void make_room_for_part(const char* take_path, const char* path, uint64_t length,
                        const char* current);
