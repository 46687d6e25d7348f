// The ALSA calls of the ALSA source's running stream, called through a table so that tests can
// make them fail (an overrun, a suspend, a lost device) without a sound card.
#pragma once

#include <alsa/asoundlib.h>

/* ALSA's own functions, unless a test has put others in place. Set before a source is opened;
   called on the threads that use the source. */
struct AlsaCalls {
    snd_pcm_sframes_t (*avail)(snd_pcm_t* pcm);
    snd_pcm_sframes_t (*readi)(snd_pcm_t* pcm, void* buffer, snd_pcm_uframes_t frames);
    /* Waits up to timeout_ms (-1: no limit) until the PCM has audio or news of a problem, or
       wake_fd is readable: 1, 0 on timeout or a wake, or ALSA's error. */
    int (*wait)(snd_pcm_t* pcm, int wake_fd, int timeout_ms);
    int (*delay)(snd_pcm_t* pcm, snd_pcm_sframes_t* delay);
    int (*prepare)(snd_pcm_t* pcm);
    int (*resume)(snd_pcm_t* pcm);
    int (*start)(snd_pcm_t* pcm);
    snd_pcm_state_t (*state)(snd_pcm_t* pcm);
    int (*drop)(snd_pcm_t* pcm);
};

extern AlsaCalls alsa_calls;
