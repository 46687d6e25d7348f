// The key press that starts a recording under the prompt switch.
#pragma once

#include <atomic>

/* Waits for one key press on the console, read raw: no echo, no wait for Enter, and the
   interrupt keys count as keys. A modifier key alone does not count. The wait also ends, within
   KEY_STOP_POLL_MS, once *stop becomes nonzero (a stop request sent to the process). The
   console's previous mode is restored before it returns. With no console, or when the read
   fails, it returns at once. Runs on the main thread. */
void wait_for_key_press(const std::atomic<int>* stop);

#define KEY_STOP_POLL_MS 50 /* how often the wait looks at the stop request */
