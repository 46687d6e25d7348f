// Stops of the whole process (SIGSTOP, SIGTSTP, then SIGCONT: Ctrl+Z and fg, a debugger, a
// paused machine): timed waits and the audio source's clock check ask whether one happened, so
// that time the process was stopped is not taken for time a device had to deliver.
#pragma once

#include <cstdint>

/* Installs the SIGCONT handler that counts continues; once per process, any thread. Other
   handling of SIGCONT is kept: the process continues as before. */
void watch_process_stops(void);

/* How many times the process has been continued since watch_process_stops. Any thread. */
uint32_t process_continues(void);

/* Whether a stop cut short a wait that began when process_continues() was `continues` and
   ended late_ms after its deadline (negative: before it): a continue came meanwhile, or the
   wait woke LATE_WAKE_MS or more late, which a stop does before the SIGCONT handler has run on
   another thread. Any thread. */
bool stopped_during_wait(uint32_t continues, double late_ms);
