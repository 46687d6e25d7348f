// The ALSA audio source behind the POSIX wave-input service: device numbering, format set-up,
// and reads that report every loss of audio, including losses that ALSA itself does not report.
//
// Device ids: WAVE_MAPPER opens the PCM named by AUDIODEV, or "default" (which reaches
// PipeWire or PulseAudio where they run); id n opens the n-th capture device in the order
// `arecord -l` lists them, as "plughw:CARD,DEV", so that ALSA converts any format the card
// lacks. The rate is set exactly: a rate the PCM cannot give is WAVERR_BADFORMAT.
//
// Losses. An overrun (-EPIPE) or a suspend (-ESTRPIPE) makes the next read return
// WAVE_SOURCE_LOST; the PCM is then restarted, so later reads go on after the gap. Some
// sound-server plugins (PipeWire's, in the versions Debian 12 ships) drop audio without an error
// when their client stops reading for a while, so reads also compare the frames the device has
// delivered and still holds with what the monotonic clock says it must have delivered since
// the start (see the clock check below).
//
// ALSA's own messages are caught by an error handler and kept for the problem description;
// nothing is printed.
#include <alsa/asoundlib.h>

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <mutex>

#include "platform/posix/wave_source.h"

#define DEVICE_BUFFER_US 4000000u /* device buffer asked for: up to 4 s, as the device allows */
#define PERIOD_US 100000u         /* reads of about one capture buffer */
#define RESUME_TRIES 100          /* after a suspend, tries to resume the device... */
#define RESUME_PAUSE_MS 10        /* ...this far apart, before it is prepared afresh */
#define PROBLEM_SIZE 256          /* bytes in a problem description */

/* The clock check. A device paced in real time that was started at time T0 and has handed over
   F frames must, at time t, hold about rate * (t - T0) - F frames. The "deficit" rate * (t - T0)
   - F - avail is therefore a constant (the start-up latency) plus a slow drift (the device's
   clock against the system's) plus up to a period or so of jitter (devices and servers deliver
   in blocks, and a busy server delivers late). Frames lost without a report make it jump by
   their number. Each read checks before it hands over anything, so everything returned before a
   loss is contiguous.
   - The baseline follows the deficit down at once and up with a lag of half the tolerance,
     which absorbs drift and jitter.
   - A loss is a rise of more than the tolerance over the baseline since the last check, in a
     pause between checks at least as long as the rise: a plugin only drops audio that its
     client left unread, so audio that a server delivers late while reads wait for it (the
     checks then come a read timeout apart, and the baseline follows) never counts.
   - A full device buffer may hide more: PulseAudio keeps audio beyond the ALSA buffer (only
     its delay tells how much). So when the buffer is full, the device holds the larger of
     avail and delay; a rise that remains is reported as an overflow of up to that much.
   - Start-up: until WARM_UP_S after the first frame was read, the baseline simply follows the
     deficit, so a slow start never counts as loss.
   - Only paced devices are checked: those with a sound card beneath (hw, plughw, dsnoop, ...),
     or a sound-server I/O plugin (pulse, pipewire, jack), also beneath plug or route layers.
     ALSA's null and file PCMs hand over their whole buffer at once and run as fast as they are
     read, so that a stall of the program would look like a loss: they are never checked.
   - A checked device that ever holds more than the clock allows (by RUN_AHEAD_S plus a period
     plus 1% of the time since the start) is not paced after all, and the check is off for the
     rest of that run. */
#define TOLERANCE_S 0.25 /* least deficit rise counted as loss (at least two periods) */
#define WARM_UP_S 0.5    /* seconds after the first frame read in which the baseline is set */
#define RUN_AHEAD_S 0.25 /* how far ahead of the clock a paced device may seem to run */

/* What the clock check knows about the current run of the stream. Device thread only, apart
   from the reset at start. */
struct PaceWatch {
    bool on;                /* the check applies to this run */
    double started;         /* monotonic time at which the stream was started, seconds */
    double first_frame;     /* monotonic time the first frame was read, 0 before that */
    double baseline;        /* the device's usual deficit, frames */
    double last_check;      /* monotonic time of the last check (or the start) */
    double last_read;       /* monotonic time the last read ended (or the start) */
    uint64_t frames_read;   /* frames handed over since the start */
    snd_pcm_uframes_t left; /* frames the device still held when the last read ended */
};

struct WaveSource {
    snd_pcm_t* pcm;                  /* the open capture PCM, nonblocking */
    unsigned rate;                   /* sample frames per second */
    unsigned frame_bytes;            /* bytes in one sample frame */
    unsigned channels;               /* samples in one frame */
    snd_pcm_uframes_t buffer_frames; /* the device buffer, frames */
    snd_pcm_uframes_t period_frames; /* the device period, frames */
    bool paced;                      /* a sound card or a sound server beneath: clock-checked */
    bool broken;                     /* failed for good: every read returns WAVE_SOURCE_FAILED */
    PaceWatch watch;                 /* the clock check's state */
    char problem[PROBLEM_SIZE];      /* the last loss or failure, one line */
};

/* ALSA's last message, kept from the error handler for problem descriptions. ALSA may call the
   handler on any thread that calls into it, so the text is guarded. */
static struct {
    std::mutex lock;            /* guards text */
    char text[PROBLEM_SIZE];    /* the last message, "" when none */
    std::once_flag handler_set; /* the handler is installed once per process */
} alsa_messages;

/* Number of sources open now; ALSA's global configuration cache is freed when it drops to 0.
   Changed on the threads that call open and close, which the service serialises. */
static int open_sources;

/* Appends more to the NUL-terminated text in a buffer of size bytes, cutting it short to fit. */
static void append_text(char* text, size_t size, const char* more) {
    size_t length = strnlen(text, size - 1);
    size_t extra = std::min(strlen(more), size - 1 - length);
    memcpy(text + length, more, extra);
    text[length + extra] = '\0';
}

static void keep_alsa_message(const char* file, int line, const char* function, int err,
                              const char* format, ...) {
    (void)file;
    (void)line;
    char text[PROBLEM_SIZE] = "";
    if (function != nullptr) {
        append_text(text, sizeof text, function);
        append_text(text, sizeof text, ": ");
    }
    size_t length = strlen(text);
    va_list args;
    va_start(args, format);
    if (vsnprintf(text + length, sizeof text - length, format, args) < 0) text[length] = '\0';
    va_end(args);
    if (err != 0) {
        append_text(text, sizeof text, ": ");
        append_text(text, sizeof text, snd_strerror(err));
    }
    std::lock_guard<std::mutex> guard(alsa_messages.lock);
    memcpy(alsa_messages.text, text, sizeof text);
}

static void install_message_handler(void) {
    std::call_once(alsa_messages.handler_set, [] { snd_lib_error_set_handler(keep_alsa_message); });
}

/* Forgets ALSA's last message, so that a description names only what the current call said. */
static void clear_alsa_message(void) {
    std::lock_guard<std::mutex> guard(alsa_messages.lock);
    alsa_messages.text[0] = '\0';
}

/* Sets the source's problem: the formatted text, followed by ALSA's last message if any. */
static void set_problem(WaveSource* source, const char* format, ...)
    __attribute__((format(printf, 2, 3)));
static void set_problem(WaveSource* source, const char* format, ...) {
    va_list args;
    va_start(args, format);
    vsnprintf(source->problem, sizeof source->problem, format, args);
    va_end(args);
    std::lock_guard<std::mutex> guard(alsa_messages.lock);
    if (alsa_messages.text[0] != '\0') {
        append_text(source->problem, sizeof source->problem, " (ALSA: ");
        append_text(source->problem, sizeof source->problem, alsa_messages.text);
        append_text(source->problem, sizeof source->problem, ")");
    }
}

static double monotonic_seconds(void) {
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return (double)now.tv_sec + (double)now.tv_nsec / 1e9;
}

/* ---- device numbering ----------------------------------------------------------------- */

/* Walks the capture devices in `arecord -l` order. Returns how many there are; when wanted is
   below that count, also stores the card and device numbers of device `wanted`. */
static unsigned walk_capture_devices(unsigned wanted, int* card_found, int* device_found) {
    unsigned count = 0;
    snd_pcm_info_t* info;
    if (snd_pcm_info_malloc(&info) < 0) return 0;
    int card = -1;
    while (snd_card_next(&card) >= 0 && card >= 0) {
        char name[32];
        snprintf(name, sizeof name, "hw:%d", card);
        snd_ctl_t* ctl;
        if (snd_ctl_open(&ctl, name, 0) < 0) continue;
        int device = -1;
        while (snd_ctl_pcm_next_device(ctl, &device) >= 0 && device >= 0) {
            snd_pcm_info_set_device(info, (unsigned)device);
            snd_pcm_info_set_subdevice(info, 0);
            snd_pcm_info_set_stream(info, SND_PCM_STREAM_CAPTURE);
            if (snd_ctl_pcm_info(ctl, info) < 0) continue;
            if (count == wanted) {
                *card_found = card;
                *device_found = device;
            }
            count++;
        }
        snd_ctl_close(ctl);
    }
    snd_pcm_info_free(info);
    return count;
}

UINT wave_source_count(void) {
    install_message_handler();
    int card, device;
    return walk_capture_devices(UINT32_MAX, &card, &device);
}

/* ---- opening -------------------------------------------------------------------------- */

/* The result for a device that could not be opened or set up, from ALSA's error. */
static MMRESULT open_result(int err) {
    switch (err) {
    case -EBUSY:
    case -EAGAIN:
        return MMSYSERR_ALLOCATED;
    case -ENOMEM:
        return MMSYSERR_NOMEM;
    default: /* -ENOENT (no such PCM), -ENODEV, -ENXIO, a sound server that is not there ... */
        return MMSYSERR_NODRIVER;
    }
}

/* Whether the PCM is paced in real time: a sound card beneath it, or a sound server's I/O
   plugin anywhere in its chain. ALSA has no call that names a plugin's slave, so the chain is
   read from the PCM's own description (snd_pcm_dump), whose lines name every layer, e.g.
   "Plug PCM: ...", "Hardware PCM card 0 ...", "ALSA <-> PulseAudio PCM I/O Plugin". */
static bool pcm_is_paced(snd_pcm_t* pcm) {
    snd_pcm_info_t* info;
    if (snd_pcm_info_malloc(&info) == 0) {
        int card = snd_pcm_info(pcm, info) == 0 ? snd_pcm_info_get_card(info) : -1;
        snd_pcm_info_free(info);
        if (card >= 0) return true;
    }
    snd_pcm_type_t type = snd_pcm_type(pcm);
    if (type == SND_PCM_TYPE_HW || type == SND_PCM_TYPE_IOPLUG) return true;
    bool paced = false;
    snd_output_t* out;
    if (snd_output_buffer_open(&out) == 0) {
        if (snd_pcm_dump(pcm, out) == 0) {
            char* text;
            size_t size = snd_output_buffer_string(out, &text);
            static const char* const marks[] = {"Hardware PCM", "I/O Plugin", "IO Plugin",
                                                "I/O plugin", "IO plugin"};
            for (const char* mark : marks)
                if (memmem(text, size, mark, strlen(mark)) != nullptr) paced = true;
        }
        snd_output_close(out);
    }
    return paced;
}

/* The ALSA sample format of a capturable wave format. */
static snd_pcm_format_t alsa_sample_format(const WAVEFORMATEX* format) {
    switch (format->wBitsPerSample) {
    case 8:
        return SND_PCM_FORMAT_U8;
    case 16:
        return SND_PCM_FORMAT_S16_LE;
    case 24:
        return SND_PCM_FORMAT_S24_3LE;
    default:
        return wave_format_is_float(format) ? SND_PCM_FORMAT_FLOAT_LE : SND_PCM_FORMAT_S32_LE;
    }
}

/* Sets the hardware and software parameters for format. Returns MMSYSERR_NOERROR or the
   result to give, with the reason in source->problem. */
static MMRESULT set_up_pcm(WaveSource* source, const WAVEFORMATEX* format) {
    snd_pcm_t* pcm = source->pcm;
    snd_pcm_hw_params_t* hw;
    snd_pcm_sw_params_t* sw;
    snd_pcm_hw_params_alloca(&hw);
    snd_pcm_sw_params_alloca(&sw);
    snd_pcm_format_t sample_format = alsa_sample_format(format);
    int err = snd_pcm_hw_params_any(pcm, hw);
    if (err < 0) {
        set_problem(source, "cannot read the device's formats: %s", snd_strerror(err));
        return open_result(err);
    }
    if (snd_pcm_hw_params_set_access(pcm, hw, SND_PCM_ACCESS_RW_INTERLEAVED) < 0 ||
        snd_pcm_hw_params_set_format(pcm, hw, sample_format) < 0 ||
        snd_pcm_hw_params_set_channels(pcm, hw, format->nChannels) < 0 ||
        snd_pcm_hw_params_set_rate(pcm, hw, format->nSamplesPerSec, 0) < 0) {
        set_problem(source, "the device cannot record %u-bit %u-channel audio at %u Hz",
                    format->wBitsPerSample, format->nChannels, (unsigned)format->nSamplesPerSec);
        return WAVERR_BADFORMAT;
    }
    /* A device that refuses these sizes keeps its own; the reads adapt to any. */
    unsigned buffer_us = DEVICE_BUFFER_US, period_us = PERIOD_US;
    snd_pcm_hw_params_set_buffer_time_near(pcm, hw, &buffer_us, nullptr);
    snd_pcm_hw_params_set_period_time_near(pcm, hw, &period_us, nullptr);
    err = snd_pcm_hw_params(pcm, hw);
    if (err < 0) {
        set_problem(source, "cannot set up the device: %s", snd_strerror(err));
        return err == -EINVAL ? WAVERR_BADFORMAT : open_result(err);
    }
    snd_pcm_hw_params_get_buffer_size(hw, &source->buffer_frames);
    snd_pcm_hw_params_get_period_size(hw, &source->period_frames, nullptr);
    if (source->buffer_frames == 0) source->buffer_frames = 1;
    if (source->period_frames == 0 || source->period_frames > source->buffer_frames)
        source->period_frames = source->buffer_frames;

    /* Wake the reader once a period has come in; stop on a full buffer (an overrun), as is
       ALSA's default. */
    err = snd_pcm_sw_params_current(pcm, sw);
    if (err >= 0) err = snd_pcm_sw_params_set_avail_min(pcm, sw, source->period_frames);
    if (err >= 0) err = snd_pcm_sw_params_set_stop_threshold(pcm, sw, source->buffer_frames);
    if (err >= 0) err = snd_pcm_sw_params(pcm, sw);
    if (err < 0) {
        set_problem(source, "cannot set up the device: %s", snd_strerror(err));
        return open_result(err);
    }
    return MMSYSERR_NOERROR;
}

MMRESULT wave_source_open(UINT device_id, const WAVEFORMATEX* format, WaveSource** source_out) {
    install_message_handler();
    char name[64];
    if (device_id == WAVE_MAPPER) {
        const char* audiodev = getenv("AUDIODEV");
        snprintf(name, sizeof name, "%s", audiodev && *audiodev ? audiodev : "default");
    } else {
        int card = -1, device = -1;
        if (device_id >= walk_capture_devices(device_id, &card, &device))
            return MMSYSERR_BADDEVICEID;
        snprintf(name, sizeof name, "plughw:%d,%d", card, device);
    }
    if (!wave_format_is_capturable(format)) return WAVERR_BADFORMAT;

    WaveSource* source = (WaveSource*)calloc(1, sizeof *source);
    if (source == nullptr) return MMSYSERR_NOMEM;
    source->rate = format->nSamplesPerSec;
    source->frame_bytes = format->nBlockAlign;
    source->channels = format->nChannels;
    clear_alsa_message();
    int err = snd_pcm_open(&source->pcm, name, SND_PCM_STREAM_CAPTURE, SND_PCM_NONBLOCK);
    if (err < 0) {
        free(source);
        return open_result(err);
    }
    MMRESULT result = set_up_pcm(source, format);
    if (result != MMSYSERR_NOERROR) {
        snd_pcm_close(source->pcm);
        free(source);
        if (open_sources == 0) snd_config_update_free_global();
        return result;
    }
    source->paced = pcm_is_paced(source->pcm);
    open_sources++;
    *source_out = source;
    return MMSYSERR_NOERROR;
}

/* ---- running -------------------------------------------------------------------------- */

/* Starts a new run of the clock check at the current moment. */
static void restart_watch(WaveSource* source) {
    PaceWatch* watch = &source->watch;
    memset(watch, 0, sizeof *watch);
    watch->on = source->paced;
    watch->started = monotonic_seconds();
    watch->last_check = watch->started;
    watch->last_read = watch->started;
}

/* Prepares the PCM if it needs it and starts it. Returns 0 or ALSA's error. */
static int start_pcm(WaveSource* source) {
    snd_pcm_state_t state = snd_pcm_state(source->pcm);
    if (state == SND_PCM_STATE_RUNNING) return 0;
    int err = 0;
    if (state != SND_PCM_STATE_PREPARED) err = snd_pcm_prepare(source->pcm);
    if (err >= 0) err = snd_pcm_start(source->pcm);
    if (err >= 0) restart_watch(source);
    return err;
}

MMRESULT wave_source_start(WaveSource* source) {
    clear_alsa_message();
    int err = start_pcm(source);
    if (err < 0) {
        set_problem(source, "cannot start the device: %s", snd_strerror(err));
        return err == -ENODEV ? MMSYSERR_NODRIVER : MMSYSERR_ERROR;
    }
    return MMSYSERR_NOERROR;
}

MMRESULT wave_source_stop(WaveSource* source) {
    int err = snd_pcm_drop(source->pcm);
    if (err < 0 && err != -EBADFD) {
        set_problem(source, "cannot stop the device: %s", snd_strerror(err));
        return err == -ENODEV ? MMSYSERR_NODRIVER : MMSYSERR_ERROR;
    }
    return MMSYSERR_NOERROR;
}

/* Seconds of audio the device produced that no read handed over, as of now: what it still held
   when the last read ended plus what came in since. */
static double seconds_unread(WaveSource* source, double now) {
    const PaceWatch* watch = &source->watch;
    return (double)watch->left / source->rate + (now - watch->last_read);
}

/* Returns the number of frames lost without a report since the last read, 0 when none (see
   the clock check at the top). now was taken before avail was read. */
static double unreported_loss(WaveSource* source, double now, snd_pcm_uframes_t avail) {
    PaceWatch* watch = &source->watch;
    if (!watch->on) return 0;
    double pause = now - watch->last_check;
    watch->last_check = now;
    snd_pcm_sframes_t held = (snd_pcm_sframes_t)avail, delay;
    if (avail + source->period_frames >= source->buffer_frames &&
        snd_pcm_delay(source->pcm, &delay) == 0 && delay > held)
        held = delay;
    double rate = source->rate;
    double elapsed = now - watch->started;
    double deficit = rate * elapsed - (double)watch->frames_read - (double)held;
    double run_ahead = rate * (RUN_AHEAD_S + 0.01 * elapsed) + (double)source->period_frames;
    if (deficit < -run_ahead) {
        watch->on = false;
        return 0;
    }
    if (watch->first_frame == 0 || now - watch->first_frame < WARM_UP_S) {
        watch->baseline = deficit;
        return 0;
    }
    double tolerance = std::max(rate * TOLERANCE_S, 2.0 * (double)source->period_frames);
    double rise = deficit - watch->baseline;
    if (rise > tolerance && rise <= rate * pause) {
        watch->baseline = deficit;
        return rise;
    }
    watch->baseline = std::min(watch->baseline, deficit);
    watch->baseline = std::max(watch->baseline, deficit - tolerance / 2);
    return 0;
}

/* Notes the end of a read that left the device holding left frames. */
static void note_read(WaveSource* source, snd_pcm_uframes_t got, snd_pcm_uframes_t left) {
    PaceWatch* watch = &source->watch;
    watch->last_read = monotonic_seconds();
    watch->frames_read += got;
    watch->left = left;
    if (got > 0 && watch->first_frame == 0) watch->first_frame = watch->last_read;
}

/* Handles ALSA's error err from a read. Returns what the read returns: 0 for an interrupted or
   early call, WAVE_SOURCE_LOST after an overrun or a suspend (the PCM restarted), or
   WAVE_SOURCE_FAILED. */
static int32_t read_error(WaveSource* source, int err) {
    if (err == -EINTR || err == -EAGAIN) return 0;
    double now = monotonic_seconds();
    if (err == -EPIPE) {
        set_problem(source, "input overran, about %.1f s of audio lost",
                    seconds_unread(source, now));
        err = snd_pcm_prepare(source->pcm);
    } else if (err == -ESTRPIPE) {
        set_problem(source, "device suspended, audio lost");
        int tries = 0;
        while ((err = snd_pcm_resume(source->pcm)) == -EAGAIN && tries++ < RESUME_TRIES) {
            struct timespec pause = {0, RESUME_PAUSE_MS * 1000000L};
            nanosleep(&pause, nullptr);
        }
        if (err < 0) err = snd_pcm_prepare(source->pcm);
    } else {
        if (err == -ENODEV)
            set_problem(source, "device disconnected");
        else
            set_problem(source, "device failed: %s", snd_strerror(err));
        source->broken = true;
        return WAVE_SOURCE_FAILED;
    }
    if (err >= 0) err = start_pcm(source);
    if (err < 0) {
        /* The loss is reported now; the read after it reports the failure. */
        append_text(source->problem, sizeof source->problem, "; restarting failed: ");
        append_text(source->problem, sizeof source->problem, snd_strerror(err));
        source->broken = true;
    }
    return WAVE_SOURCE_LOST;
}

/* ALSA's surround PCMs put the rear pair before the centre and LFE (FL FR RL RR FC LFE, then the
   rear centre or the sides); a wave file's channel mask wants the centre and LFE right after the
   front pair (FL FR FC LFE BL BR, then BC or SL SR). For each wave channel of 5 to 8, the ALSA
   channel it comes from. */
static const unsigned char wave_from_alsa[4][8] = {
    {0, 1, 4, 2, 3},
    {0, 1, 4, 5, 2, 3},
    {0, 1, 4, 5, 2, 3, 6},
    {0, 1, 4, 5, 2, 3, 6, 7},
};

/* Puts frames frames at data from ALSA's channel order into the wave file's, in place. */
static void to_wave_channel_order(const WaveSource* source, void* data, snd_pcm_uframes_t frames) {
    if (source->channels < 5 || source->channels > 8) return;
    const unsigned char* from = wave_from_alsa[source->channels - 5];
    const unsigned sample_bytes = source->frame_bytes / source->channels;
    unsigned char frame[8 * 4];
    unsigned char* p = (unsigned char*)data;
    for (snd_pcm_uframes_t f = 0; f < frames; f++, p += source->frame_bytes) {
        memcpy(frame, p, source->frame_bytes);
        for (unsigned c = 0; c < source->channels; c++)
            memcpy(p + c * sample_bytes, frame + from[c] * sample_bytes, sample_bytes);
    }
}

int32_t wave_source_read(WaveSource* source, void* dest, uint32_t max_bytes, uint32_t timeout_ms) {
    if (source->broken) return WAVE_SOURCE_FAILED;
    clear_alsa_message();
    snd_pcm_uframes_t wanted =
        std::min<snd_pcm_uframes_t>(max_bytes / source->frame_bytes, source->buffer_frames);
    if (wanted == 0) return 0;

    double now = monotonic_seconds();
    snd_pcm_sframes_t avail = snd_pcm_avail(source->pcm);
    if (avail < 0) return read_error(source, (int)avail);
    double lost = unreported_loss(source, now, (snd_pcm_uframes_t)avail);
    if (lost > 0) {
        if ((snd_pcm_uframes_t)avail + source->period_frames >= source->buffer_frames)
            set_problem(source, "input buffer overflowed, up to %.1f s of audio lost",
                        lost / source->rate);
        else
            set_problem(source, "input lost about %.1f s of audio without reporting an overrun",
                        lost / source->rate);
        return WAVE_SOURCE_LOST;
    }
    if (avail == 0) {
        int ready = snd_pcm_wait(source->pcm, timeout_ms > INT32_MAX ? -1 : (int)timeout_ms);
        if (ready < 0) return read_error(source, ready);
        if (ready > 0) avail = snd_pcm_avail(source->pcm);
        if (avail < 0) return read_error(source, (int)avail);
        if (avail == 0) {
            note_read(source, 0, 0);
            return 0;
        }
    }
    snd_pcm_sframes_t got =
        snd_pcm_readi(source->pcm, dest, std::min<snd_pcm_uframes_t>(wanted, avail));
    if (got < 0) return read_error(source, (int)got);
    to_wave_channel_order(source, dest, (snd_pcm_uframes_t)got);
    note_read(source, (snd_pcm_uframes_t)got, (snd_pcm_uframes_t)(avail - got));
    return (int32_t)(got * source->frame_bytes);
}

void wave_source_describe_problem(WaveSource* source, char* text, size_t text_size) {
    if (text_size == 0) return;
    snprintf(text, text_size, "%s", source->problem[0] ? source->problem : "no problem");
}

MMRESULT wave_source_injected_fault(WaveSource* source, const char* call, unsigned n) {
    (void)source;
    (void)call;
    (void)n;
    return MMSYSERR_NOERROR;
}

void wave_source_close(WaveSource* source) {
    snd_pcm_close(source->pcm);
    free(source);
    if (--open_sources == 0) snd_config_update_free_global();
}
