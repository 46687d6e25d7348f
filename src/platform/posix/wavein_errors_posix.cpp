// waveInGetErrorTextA for POSIX systems: a text for every MMRESULT, in the platform's words.
//
// MMSYSERR_ERROR is what the capture reports for a wait that timed out or a device that failed,
// so once the device has failed, stopped delivering or lost audio, its text says what happened
// instead of the generic wording: a failure first, then a stall, then the latest loss (a stall
// that follows a loss is the stall). A short buffer's own loss is describe_short_buffer's. Likewise
// the result of a failed waveInOpen reads as what the source says was tried and why it failed.
#include <cstdio>
#include <cstring>
#include <pthread.h>

#include "platform/posix/wavein_posix.h"
#include "platform/win32_compat.h"

struct LastProblem {
    pthread_mutex_t lock; /* guards everything below */
    char failure[256];    /* the device's failure, empty when there was none */
    char loss[256];       /* the latest loss of audio, empty when there was none */
    bool stalled;         /* the open device has stopped delivering audio */
    MMRESULT open_result; /* the result of the last failed open, 0 when there was none */
    char open_text[256];  /* its text, empty for the standard one */
};

static LastProblem last_problem = {PTHREAD_MUTEX_INITIALIZER, "", "", false, MMSYSERR_NOERROR, ""};

void wavein_note_failure(const char* text) {
    pthread_mutex_lock(&last_problem.lock);
    snprintf(last_problem.failure, sizeof last_problem.failure, "%s", text);
    pthread_mutex_unlock(&last_problem.lock);
}

void wavein_note_loss(const char* text) {
    pthread_mutex_lock(&last_problem.lock);
    snprintf(last_problem.loss, sizeof last_problem.loss, "%s", text);
    pthread_mutex_unlock(&last_problem.lock);
}

void wavein_note_stall(bool stalled) {
    pthread_mutex_lock(&last_problem.lock);
    last_problem.stalled = stalled;
    pthread_mutex_unlock(&last_problem.lock);
}

void wavein_note_open_failure(MMRESULT result, const char* text) {
    pthread_mutex_lock(&last_problem.lock);
    last_problem.open_result = result;
    snprintf(last_problem.open_text, sizeof last_problem.open_text, "%s", text);
    pthread_mutex_unlock(&last_problem.lock);
}

void wavein_forget_problem(void) {
    pthread_mutex_lock(&last_problem.lock);
    last_problem.failure[0] = '\0';
    last_problem.loss[0] = '\0';
    last_problem.stalled = false;
    last_problem.open_result = MMSYSERR_NOERROR;
    last_problem.open_text[0] = '\0';
    pthread_mutex_unlock(&last_problem.lock);
}

static const char* standard_text(MMRESULT result) {
    switch (result) {
    case MMSYSERR_NOERROR:
        return "The specified command was carried out.";
    case MMSYSERR_ERROR:
        return "Undefined external error.";
    case MMSYSERR_BADDEVICEID:
        return "A device ID has been used that is out of range for your system.";
    case 3:
        return "The driver was not enabled.";
    case MMSYSERR_ALLOCATED:
        return "The specified device is already in use. Wait until it is free, and then try "
               "again.";
    case MMSYSERR_INVALHANDLE:
        return "The specified device handle is invalid.";
    case MMSYSERR_NODRIVER:
        return "There is no driver installed on your system.";
    case MMSYSERR_NOMEM:
        return "Not enough memory available for this task. Quit one or more applications to "
               "increase available memory, and then try again.";
    case 8:
        return "This function is not supported. Use the Capabilities function to determine "
               "which functions and messages the driver supports.";
    case MMSYSERR_BADERRNUM:
        return "An error number was specified that is not defined in the system.";
    case MMSYSERR_INVALFLAG:
        return "An invalid flag was passed to a system function.";
    case MMSYSERR_INVALPARAM:
        return "An invalid parameter was passed to a system function.";
    case MMSYSERR_HANDLEBUSY:
        return "The handle is being used simultaneously on another thread (for example, a "
               "callback).";
    case 13:
        return "The specified alias cannot be found.";
    case 14:
        return "The registry database is corrupt.";
    case 15:
        return "The specified registry key cannot be found.";
    case 16:
        return "The registry could not be read.";
    case 17:
        return "The registry could not be written.";
    case 18:
        return "The registry could not be deleted.";
    case 19:
        return "The specified registry value cannot be found.";
    case 20:
        return "The driver did not generate a valid callback.";
    case 21:
        return "More data is available.";
    case WAVERR_BADFORMAT:
        return "The specified format is not supported or cannot be translated. Use the "
               "Capabilities function to determine the supported formats.";
    case WAVERR_STILLPLAYING:
        return "Cannot perform this operation while media data is still playing. Reset the "
               "device, or wait until the data is finished playing.";
    case WAVERR_UNPREPARED:
        return "The wave header was not prepared. Use the Prepare function to prepare the "
               "header, and then try again.";
    case 35:
        return "Cannot open the device without using the WAVE_ALLOWSYNC flag. Use the flag, and "
               "then try again.";
    default:
        return nullptr;
    }
}

MMRESULT WINAPI waveInGetErrorTextA(MMRESULT result, LPSTR text, UINT text_size) {
    if (!text || text_size == 0) return MMSYSERR_INVALPARAM;
    const char* standard = standard_text(result);
    pthread_mutex_lock(&last_problem.lock);
    bool open_failure = result != MMSYSERR_NOERROR && result == last_problem.open_result &&
                        last_problem.open_text[0] != '\0';
    if (open_failure) snprintf(text, text_size, "%s", last_problem.open_text);
    pthread_mutex_unlock(&last_problem.lock);
    if (open_failure) return MMSYSERR_NOERROR;
    if (result == MMSYSERR_ERROR) {
        pthread_mutex_lock(&last_problem.lock);
        const char* what = last_problem.failure[0] ? last_problem.failure
                           : last_problem.stalled  ? "The input device stopped delivering audio."
                           : last_problem.loss[0]  ? last_problem.loss
                                                   : standard;
        snprintf(text, text_size, "%s", what);
        pthread_mutex_unlock(&last_problem.lock);
        return MMSYSERR_NOERROR;
    }
    if (!standard) {
        snprintf(text, text_size, "Unknown error number %u.", result);
        return MMSYSERR_BADERRNUM;
    }
    snprintf(text, text_size, "%s", standard);
    return MMSYSERR_NOERROR;
}
