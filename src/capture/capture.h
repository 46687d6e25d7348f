// The capture engine: the device's buffer queue, its completion ring, and the orderly end.
#pragma once

#include "platform/platform.h"

/* Records the total buffer count from the input device into the output, keeping the queue
   count of buffers at the device. On a stop request or a device error it stops the device and
   cuts the output back to the audio captured, with a header to match (to the header alone when
   the device never opened). Returns the device error that ended the capture, or 0 when it was
   complete or stopped on request. Called once by the driver, with the output open and its
   header pending. */
MMRESULT capture_audio(void);
