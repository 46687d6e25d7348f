// The system clock and the capture's time stamps on it: when a buffer's first frame was
// captured, for every system the capture runs on.
#pragma once

#include <cstdint>

#include "platform/platform.h"

/* Now on the system clock, ns since 1970 UTC: the wall clock that names and aligns parts. The
   simulated build's is the simulated device's clock. Any thread. */
int64_t system_clock_ns(void);

/* Sets *unix_ns to the system-clock time at which the first frame of header (a buffer of device,
   open in format, that came back full through its callback) was captured. Buffers must be asked
   for in the order they came back, each once. Linux: from the source's time stamp of the
   stream and its delay; Windows: the device's position and the performance counter. False when
   the device cannot tell. Main thread. */
bool wave_in_buffer_time(HWAVEIN device, const WAVEFORMATEX* format, const WAVEHDR* header,
                         int64_t* unix_ns);
