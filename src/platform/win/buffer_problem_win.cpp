// The problem of a short buffer on Windows: the wave-input API returns one only at a reset and
// says nothing of a loss, so its text is the generic one and its length unknown.
#include "platform/buffer_problem.h"

void describe_short_buffer(HWAVEIN device, const WAVEHDR* header, BufferProblem* problem) {
    (void)device;
    (void)header;
    problem->text[0] = '\0';
    waveInGetErrorTextA(MMSYSERR_ERROR, problem->text, sizeof problem->text);
    problem->lost_frames = LOST_FRAMES_UNKNOWN;
    problem->device_failed = false;
}
