// The interrupt keys: Ctrl+C and Ctrl+Break become a request to stop recording.
#include "driver/interrupt.h"

static_assert(std::atomic<int>::is_always_lock_free, "the stop flag must be written whole");

std::atomic<int> abort_requested{0};

BOOL WINAPI ctrl_handler(DWORD ctrl_type) {
    if (ctrl_type == CTRL_C_EVENT || ctrl_type == CTRL_BREAK_EVENT) {
        abort_requested.store(1);
        return TRUE;
    }
    return FALSE;
}
