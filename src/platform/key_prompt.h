// The key press that starts a recording under the prompt switch.
#pragma once

/* Waits for one key press on the console, read raw: no echo, no wait for Enter, and the
   interrupt keys count as keys. A modifier key alone does not count. The console's previous
   mode is restored before it returns. With no console, or when the read fails, it returns at
   once. Runs on the main thread. */
void wait_for_key_press(void);
