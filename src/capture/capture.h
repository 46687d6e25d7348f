// The capture engine: the device's buffer queue, its completion ring, and the orderly end.
#pragma once

/* Records the total buffer count from the input device into the output, keeping the queue
   count of buffers at the device. On Ctrl+C or a device error it stops the device and cuts the
   output back to the audio captured, with a header to match. Called once by the driver, with
   the output open at offset 0 and its header pending. */
void capture_audio(void);
