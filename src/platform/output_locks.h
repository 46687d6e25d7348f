// The output locks a process holds, oldest first, and how they rotate: shared by the file
// services of every system, which each hold a lock by a descriptor or handle of their own.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/file_services.h"

/* The descriptor (POSIX) or handle (Windows) that holds a lock, as an integer. */
typedef intptr_t LockHolder;

/* The held locks; main thread. */
struct OutputLockSlots {
    LockHolder holders[OUTPUT_LOCKS]; /* oldest first */
    bool held[OUTPUT_LOCKS];          /* holders[i] holds a lock */
};

/* Lets the oldest lock go (release closes its holder) and moves the others up, so that the
   newest slot is free for the next lock. */
void free_newest_lock_slot(OutputLockSlots* slots, void (*release)(LockHolder holder));

/* Lets go of every held lock whose holder has the same file open as candidate (same_file tells):
   a process locks a file once, so a new lock on it replaces the old one. */
void release_locks_of_same_file(OutputLockSlots* slots, LockHolder candidate,
                                bool (*same_file)(LockHolder held, LockHolder candidate),
                                void (*release)(LockHolder holder));

/* Keeps holder, which now holds a lock, in the newest slot (freed by free_newest_lock_slot);
   it stays open until the lock is let go or the process ends. */
void keep_newest_lock(OutputLockSlots* slots, LockHolder holder);

/* The 64-bit FNV-1a hash of length bytes: short, fixed-length names for a take's lock. */
uint64_t lock_name_hash(const void* bytes, size_t length);
