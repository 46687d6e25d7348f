// The interrupt keys and the requests to end: each becomes a request to stop recording.
#include "driver/interrupt.h"

static_assert(std::atomic<int>::is_always_lock_free, "the stop flag must be written whole");

/* Windows allows a close handler 5 s before it ends the process anyway. */
#define OUTPUT_DONE_WAIT_MS 4500

std::atomic<int> abort_requested{0};

OutputDoneWait output_done_wait = {nullptr, OUTPUT_DONE_WAIT_MS};

void prepare_output_done(void) {
    output_done_wait.done_event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
}

void output_done(void) {
    if (output_done_wait.done_event) SetEvent(output_done_wait.done_event);
}

BOOL WINAPI ctrl_handler(DWORD ctrl_type) {
    switch (ctrl_type) {
    case CTRL_C_EVENT:
    case CTRL_BREAK_EVENT:
        abort_requested.store(1);
        return TRUE;
    case CTRL_CLOSE_EVENT:
    case CTRL_LOGOFF_EVENT:
    case CTRL_SHUTDOWN_EVENT:
        abort_requested.store(1);
        if (output_done_wait.done_event)
            WaitForSingleObject(output_done_wait.done_event, output_done_wait.longest_ms);
        return TRUE;
    default:
        return FALSE;
    }
}
