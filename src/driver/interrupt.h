// The stop request that the interrupt keys raise and the capture loop obeys.
#pragma once

#include <atomic>

#include "platform/platform.h"

/* 0 until Ctrl+C or Ctrl+Break is pressed, then 1 for good. Written by ctrl_handler on the
   console's control thread, read by the capture loop on the main thread. */
extern std::atomic<int> abort_requested;

/* Console control handler: takes Ctrl+C and Ctrl+Break as a stop request (returns TRUE), and
   leaves every other event to the next handler or the platform's default (returns FALSE). */
BOOL WINAPI ctrl_handler(DWORD ctrl_type);
