// The rotation of the output locks a process holds (see output_locks.h).
#include "platform/output_locks.h"

void free_newest_lock_slot(OutputLockSlots* slots, void (*release)(LockHolder holder)) {
    if (slots->held[0]) release(slots->holders[0]);
    for (int i = 1; i < OUTPUT_LOCKS; i++) {
        slots->holders[i - 1] = slots->holders[i];
        slots->held[i - 1] = slots->held[i];
    }
    slots->held[OUTPUT_LOCKS - 1] = false;
}

void release_locks_of_same_file(OutputLockSlots* slots, LockHolder candidate,
                                bool (*same_file)(LockHolder held, LockHolder candidate),
                                void (*release)(LockHolder holder)) {
    for (int i = 0; i < OUTPUT_LOCKS; i++) {
        if (slots->held[i] && same_file(slots->holders[i], candidate)) {
            release(slots->holders[i]);
            slots->held[i] = false;
        }
    }
}

void keep_newest_lock(OutputLockSlots* slots, LockHolder holder) {
    slots->holders[OUTPUT_LOCKS - 1] = holder;
    slots->held[OUTPUT_LOCKS - 1] = true;
}

uint64_t lock_name_hash(const void* bytes, size_t length) {
    const unsigned char* p = (const unsigned char*)bytes;
    uint64_t hash = 0xCBF29CE484222325u;
    for (size_t i = 0; i < length; i++)
        hash = (hash ^ p[i]) * 0x100000001B3u;
    return hash;
}
