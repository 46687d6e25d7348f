// The stop request that the interrupt keys and the requests to end raise and the capture loop
// obeys.
#pragma once

#include <atomic>

#include "platform/platform.h"

/* 0 until a stop is requested (Ctrl+C, Ctrl+Break, the console closed, logoff or shutdown; on
   POSIX also SIGTERM and SIGHUP), then 1 for good. Written by ctrl_handler on the console's
   control thread, read by the capture loop and the key prompt on the main thread. */
extern std::atomic<int> abort_requested;

/* What ctrl_handler waits for after the events that end the process when it returns. */
struct OutputDoneWait {
    HANDLE done_event; /* manual-reset, set by the driver once the output is final; null: no wait */
    DWORD longest_ms;  /* the longest the handler waits for it */
};

/* Set up by prepare_output_done before the handler is registered (main thread). */
extern OutputDoneWait output_done_wait;

/* Creates the event that output_done sets. Main thread, before the handler is registered. */
void prepare_output_done(void);

/* Says that the output is final: a handler waiting in a close, logoff or shutdown event
   returns. Main thread, after the final flush. */
void output_done(void);

/* Console control handler. Ctrl+C and Ctrl+Break become a stop request (returns TRUE). The
   console closed, logoff and shutdown become one too, but the system ends the process as soon
   as the handler returns from them, so it first waits (at most longest_ms) until the output is
   final, then returns TRUE. Every other event goes to the next handler or the platform's
   default (returns FALSE). Runs on the console's control thread. */
BOOL WINAPI ctrl_handler(DWORD ctrl_type);
