// The ALSA audio source behind the POSIX wave-input service: device numbering, format set-up,
// and reads that report every loss of audio, including losses that ALSA itself does not report.
//
// Device ids: WAVE_MAPPER opens the PCM named with -i, else the one named by AUDIODEV, else
// "default" (which reaches PipeWire or PulseAudio where they run); id n opens the n-th capture
// device in the order `arecord -l` lists them, as "plughw:CARD,DEV", so that ALSA converts any
// format the card lacks. The rate is set exactly: a rate the PCM cannot give is
// WAVERR_BADFORMAT. A failed open is described with the PCM tried and ALSA's reason.
//
// Losses. An overrun (-EPIPE) or a suspend (-ESTRPIPE) makes the next read return
// WAVE_SOURCE_LOST; the PCM is then restarted, so later reads go on after the gap. ALSA's
// documentation says that a PCM in the XRUN state fails every read until snd_pcm_prepare,
// which drops what its buffer held, so after a reported overrun nothing more can be kept.
// Sound-server plugins drop audio without an error when their client stops reading for a
// while (PulseAudio beyond the ~24 s it keeps, PipeWire beyond its ring or whenever the
// process is stopped), so reads also compare the frames the device has delivered and still
// holds with what the monotonic clock says it must have delivered since the start (the loss
// detector, loss_detector.h). Both plugins keep the oldest audio and drop what comes after
// (seen with the counter signal through both servers), so when the detector finds frames
// missing, the frames the PCM holds at that moment all came before the gap: reads hand those
// over first and report the loss after them.
//
// ALSA's own messages are caught by an error handler and kept for the problem description;
// nothing is printed.
#include <alsa/asoundlib.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <mutex>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include "platform/alsa/alsa_calls.h"
#include "platform/posix/monotonic_clock.h"
#include "platform/alsa/loss_detector.h"
#include "platform/posix/process_stops.h"
#include "platform/posix/wave_source.h"

#define DEVICE_BUFFER_US 4000000u /* device buffer asked for: up to 4 s, as the device allows */
#define PERIOD_US 100000u         /* reads of about one capture buffer */
#define RESUME_TRIES 100          /* after a suspend, tries to resume the device... */
#define RESUME_PAUSE_MS 10        /* ...this far apart, before it is prepared afresh */
#define PROBLEM_SIZE 256          /* bytes in a problem description */
#define PCM_NAME_SIZE 128         /* bytes in a PCM name named with -i */
#define DELAY_SLACK_S 1.5         /* seconds of a sound server's delay not trusted at a gap */

/* A loss that the detector has suspected or found: the frames still held from before it are
   handed over first. */
struct PendingGap {
    bool open;                /* a loss is suspected or found */
    bool found;               /* the detector has confirmed it */
    bool overflowed;          /* the device's buffer was full when it was first seen */
    snd_pcm_uframes_t before; /* frames still to hand over that came before the gap */
    double frames;            /* frames missing, as last measured */
};

struct WaveSource {
    snd_pcm_t* pcm;                  /* the open capture PCM, nonblocking */
    int wake_fd;                     /* eventfd that wave_source_interrupt writes to */
    unsigned rate;                   /* sample frames per second */
    unsigned frame_bytes;            /* bytes in one sample frame */
    unsigned channels;               /* samples in one frame */
    snd_pcm_uframes_t buffer_frames; /* the device buffer, frames */
    snd_pcm_uframes_t period_frames; /* the device period, frames */
    bool paced;                      /* a sound card or a sound server beneath: clock-checked */
    bool broken;                     /* failed for good: every read returns WAVE_SOURCE_FAILED */
    LossDetector detector;           /* the clock check of the current run */
    uint64_t frames_read;            /* frames handed over in the current run */
    double waited;                   /* seconds waited on the device since the last check */
    PendingGap gap;                  /* a loss being handed over up to */
    double last_read;                /* monotonic time the last read ended (or the start) */
    snd_pcm_uframes_t left;          /* frames the device still held when it ended */
    char problem[PROBLEM_SIZE];      /* the last loss or failure, one line */
    int64_t lost_frames;             /* frames the last loss skipped, -1 when not measured */
    uint64_t frames_since_open;      /* frames handed over since the open */
    uint64_t stamp_frame;            /* the frame (of frames_since_open) captured at stamp_ns */
    int64_t stamp_ns;                /* the last time stamp on the system clock, 0 when none */
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

/* What WAVE_MAPPER opens and what the last open said. Main thread (the waveInOpen caller). */
static struct {
    char mapper_name[PCM_NAME_SIZE]; /* the PCM named with -i, "" for AUDIODEV or "default" */
    char open_failure[PROBLEM_SIZE]; /* the last failed open, "" when it has nothing to add */
} naming;

/* Keeps the formatted text as the description of the failed open. */
static void note_open_failure(const char* format, ...) __attribute__((format(printf, 1, 2)));
static void note_open_failure(const char* format, ...) {
    va_list args;
    va_start(args, format);
    vsnprintf(naming.open_failure, sizeof naming.open_failure, format, args);
    va_end(args);
}

/* The line that follows the description of a device that cannot be opened. */
static const char open_hint[] =
    "\nList the input devices with \"wavtap -l\", and choose one with -i or AUDIODEV.";

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

#define MAX_POLL_FDS 16 /* descriptors a PCM may ask to be polled, and the wake one */

/* snd_pcm_wait that also returns, with 0, once wake_fd is readable (and then empties it). */
static int wait_or_wake(snd_pcm_t* pcm, int wake_fd, int timeout_ms) {
    struct pollfd fds[MAX_POLL_FDS + 1];
    int count = snd_pcm_poll_descriptors(pcm, fds, MAX_POLL_FDS);
    if (count < 0) return count;
    fds[count].fd = wake_fd;
    fds[count].events = POLLIN;
    fds[count].revents = 0;
    int ready = poll(fds, (nfds_t)count + 1, timeout_ms);
    if (ready < 0) return errno == EINTR ? 0 : -errno;
    if (fds[count].revents & POLLIN) {
        uint64_t wakes;
        if (read(wake_fd, &wakes, sizeof wakes) < 0) { /* emptied already */
        }
        return 0;
    }
    if (ready == 0) return 0;
    unsigned short revents = 0;
    int err = snd_pcm_poll_descriptors_revents(pcm, fds, (unsigned)count, &revents);
    if (err < 0) return err;
    if (revents & (POLLERR | POLLNVAL)) {
        /* The state says which problem: the next avail reports it. */
        snd_pcm_state_t state = snd_pcm_state(pcm);
        if (state == SND_PCM_STATE_XRUN) return -EPIPE;
        if (state == SND_PCM_STATE_SUSPENDED) return -ESTRPIPE;
        if (state == SND_PCM_STATE_DISCONNECTED) return -ENODEV;
        return -EIO;
    }
    return (revents & POLLIN) ? 1 : 0;
}

/* ALSA's own calls (see alsa_calls.h). */
AlsaCalls alsa_calls = {snd_pcm_avail, snd_pcm_readi,   wait_or_wake,
                        snd_pcm_delay, snd_pcm_prepare, snd_pcm_resume,
                        snd_pcm_start, snd_pcm_state,   snd_pcm_drop};

/* ---- device numbering ----------------------------------------------------------------- */

/* Walks the capture devices in `arecord -l` order. Returns how many there are; when wanted is
   below that count, also stores the card and device numbers of device `wanted`. With list, also
   prints each device's line of the device list there. */
static unsigned walk_capture_devices(unsigned wanted, int* card_found, int* device_found,
                                     FILE* list) {
    unsigned count = 0;
    snd_pcm_info_t* info;
    snd_ctl_card_info_t* card_info;
    if (snd_pcm_info_malloc(&info) < 0) return 0;
    if (snd_ctl_card_info_malloc(&card_info) < 0) {
        snd_pcm_info_free(info);
        return 0;
    }
    int card = -1;
    while (snd_card_next(&card) >= 0 && card >= 0) {
        char name[32];
        snprintf(name, sizeof name, "hw:%d", card);
        snd_ctl_t* ctl;
        if (snd_ctl_open(&ctl, name, 0) < 0) continue;
        const char* card_name =
            snd_ctl_card_info(ctl, card_info) == 0 ? snd_ctl_card_info_get_name(card_info) : name;
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
            if (list)
                fprintf(list, "%2u  plughw:%d,%d  %s: %s\n", count, card, device, card_name,
                        snd_pcm_info_get_name(info));
        }
        snd_ctl_close(ctl);
    }
    snd_ctl_card_info_free(card_info);
    snd_pcm_info_free(info);
    return count;
}

UINT wave_source_count(void) {
    install_message_handler();
    int card, device;
    return walk_capture_devices(UINT32_MAX, &card, &device, nullptr);
}

/* The PCM that WAVE_MAPPER opens, and (into why) what chose it. */
static const char* mapper_pcm(const char** why) {
    const char* audiodev = getenv("AUDIODEV");
    if (naming.mapper_name[0] != '\0') {
        *why = "named with -i";
        return naming.mapper_name;
    }
    if (audiodev && *audiodev) {
        *why = "named by AUDIODEV";
        return audiodev;
    }
    *why = "ALSA's default; AUDIODEV is not set";
    return "default";
}

/* Prints the named PCMs from ALSA's name hints that can capture, other than the one WAVE_MAPPER
   opens: those that belong to no card (the cards' devices are numbered), except the null PCM.
   Returns how many it printed. */
static unsigned list_named_pcms(FILE* out, const char* mapper) {
    void** hints;
    if (snd_device_name_hint(-1, "pcm", &hints) < 0) return 0;
    unsigned count = 0;
    for (void** hint = hints; *hint != nullptr; hint++) {
        char* name = snd_device_name_get_hint(*hint, "NAME");
        char* description = snd_device_name_get_hint(*hint, "DESC");
        char* direction = snd_device_name_get_hint(*hint, "IOID");
        bool captures = direction == nullptr || strcmp(direction, "Input") == 0;
        if (name && captures && strchr(name, ':') == nullptr && strcmp(name, "null") != 0 &&
            strcmp(name, mapper) != 0) {
            for (char* c = description; c && *c; c++)
                if (*c == '\n') *c = ' ';
            fprintf(out, "    %s  %s\n", name, description ? description : "");
            count++;
        }
        free(name);
        free(description);
        free(direction);
    }
    snd_device_name_free_hint(hints);
    return count;
}

void wave_source_list(FILE* out) {
    install_message_handler();
    const char* why;
    const char* mapper = mapper_pcm(&why);
    bool mapper_named = getenv("AUDIODEV") && *getenv("AUDIODEV");
    /* Device 0 is always there when anything is: it is printed first, so the lines are
       gathered before the word on device 0 is decided. */
    char* text = nullptr;
    size_t size = 0;
    FILE* lines = open_memstream(&text, &size);
    if (lines == nullptr) return;
    int card, device;
    unsigned found = walk_capture_devices(UINT32_MAX, &card, &device, lines);
    found += list_named_pcms(lines, mapper);
    fclose(lines);
    if (found == 0 && !mapper_named)
        fprintf(out, "No input device was found.\n");
    else
        fprintf(out, "%2u  %s  (%s)\n%s", 0u, mapper, why, text);
    free(text);
    if (open_sources == 0) snd_config_update_free_global();
}

void wave_source_name_mapper(const char* name) {
    snprintf(naming.mapper_name, sizeof naming.mapper_name, "%s", name);
}

void wave_source_describe_open_failure(char* text, size_t text_size) {
    if (text_size > 0) snprintf(text, text_size, "%s", naming.open_failure);
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
    /* Time stamps of the stream on the system clock, for the time of a buffer's first frame. */
    if (err >= 0) snd_pcm_sw_params_set_tstamp_mode(pcm, sw, SND_PCM_TSTAMP_ENABLE);
    if (err >= 0) snd_pcm_sw_params_set_tstamp_type(pcm, sw, SND_PCM_TSTAMP_TYPE_GETTIMEOFDAY);
    if (err >= 0) err = snd_pcm_sw_params(pcm, sw);
    if (err < 0) {
        set_problem(source, "cannot set up the device: %s", snd_strerror(err));
        return open_result(err);
    }
    return MMSYSERR_NOERROR;
}

MMRESULT wave_source_open(UINT device_id, const WAVEFORMATEX* format, WaveSource** source_out) {
    install_message_handler();
    naming.open_failure[0] = '\0';
    char plughw_name[32];
    const char* name = plughw_name;
    if (device_id == WAVE_MAPPER) {
        /* AUDIODEV is taken whole, however long: a name cut short may open another PCM. */
        const char* why;
        name = mapper_pcm(&why);
    } else {
        int card = -1, device = -1;
        unsigned count = walk_capture_devices(device_id, &card, &device, nullptr);
        if (device_id >= count) {
            note_open_failure("There is no capture device %u: ALSA lists %u.%s", device_id + 1,
                              count, open_hint);
            if (open_sources == 0) snd_config_update_free_global();
            return MMSYSERR_BADDEVICEID;
        }
        snprintf(plughw_name, sizeof plughw_name, "plughw:%d,%d", card, device);
    }
    if (!wave_format_is_capturable(format)) return WAVERR_BADFORMAT;

    WaveSource* source = (WaveSource*)calloc(1, sizeof *source);
    if (source == nullptr) return MMSYSERR_NOMEM;
    source->wake_fd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (source->wake_fd < 0) {
        free(source);
        return MMSYSERR_NOMEM;
    }
    source->rate = format->nSamplesPerSec;
    source->frame_bytes = format->nBlockAlign;
    source->channels = format->nChannels;
    clear_alsa_message();
    int err = snd_pcm_open(&source->pcm, name, SND_PCM_STREAM_CAPTURE, SND_PCM_NONBLOCK);
    if (err < 0) {
        note_open_failure("The ALSA PCM \"%s\" could not be opened: %s.%s", name, snd_strerror(err),
                          open_hint);
        close(source->wake_fd);
        free(source);
        if (open_sources == 0) snd_config_update_free_global();
        return open_result(err);
    }
    MMRESULT result = set_up_pcm(source, format);
    if (result != MMSYSERR_NOERROR) {
        note_open_failure("The ALSA PCM \"%s\" could not be set up: %s.%s", name, source->problem,
                          result == WAVERR_BADFORMAT ? "" : open_hint);
        snd_pcm_close(source->pcm);
        close(source->wake_fd);
        free(source);
        if (open_sources == 0) snd_config_update_free_global();
        return result;
    }
    source->paced = pcm_is_paced(source->pcm);
    watch_process_stops();
    open_sources++;
    *source_out = source;
    return MMSYSERR_NOERROR;
}

/* ---- running -------------------------------------------------------------------------- */

/* Starts a new run of the stream's bookkeeping at the current moment. */
static void restart_watch(WaveSource* source) {
    double now = monotonic_seconds();
    loss_detector_start(&source->detector, now, source->rate, (double)source->period_frames,
                        source->paced);
    source->frames_read = 0;
    source->waited = 0;
    source->gap = PendingGap();
    source->last_read = now;
    source->left = 0;
}

/* Prepares the PCM if it needs it and starts it. Returns 0 or ALSA's error. */
static int start_pcm(WaveSource* source) {
    snd_pcm_state_t state = alsa_calls.state(source->pcm);
    if (state == SND_PCM_STATE_RUNNING) return 0;
    int err = 0;
    if (state != SND_PCM_STATE_PREPARED) err = alsa_calls.prepare(source->pcm);
    if (err >= 0) err = alsa_calls.start(source->pcm);
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
    int err = alsa_calls.drop(source->pcm);
    if (err < 0 && err != -EBADFD) {
        set_problem(source, "cannot stop the device: %s", snd_strerror(err));
        return err == -ENODEV ? MMSYSERR_NODRIVER : MMSYSERR_ERROR;
    }
    return MMSYSERR_NOERROR;
}

/* Seconds of audio the device produced that no read handed over, as of now: what it still held
   when the last read ended plus what came in since. */
static double seconds_unread(WaveSource* source, double now) {
    return (double)source->left / source->rate + (now - source->last_read);
}

/* Handles ALSA's error err from a read. Returns what the read returns: 0 for an interrupted or
   early call, WAVE_SOURCE_LOST after an overrun or a suspend (the PCM restarted), or
   WAVE_SOURCE_FAILED. */
static int32_t read_error(WaveSource* source, int err) {
    if (err == -EINTR || err == -EAGAIN) return 0;
    double now = monotonic_seconds();
    source->lost_frames = -1;
    if (err == -EPIPE) {
        double seconds = seconds_unread(source, now);
        set_problem(source, "input overran, about %.1f s of audio lost", seconds);
        source->lost_frames = (int64_t)llround(seconds * source->rate);
        err = alsa_calls.prepare(source->pcm);
    } else if (err == -ESTRPIPE) {
        set_problem(source, "device suspended, audio lost");
        int tries = 0;
        while ((err = alsa_calls.resume(source->pcm)) == -EAGAIN && tries++ < RESUME_TRIES) {
            struct timespec pause = {0, RESUME_PAUSE_MS * 1000000L};
            nanosleep(&pause, nullptr);
        }
        if (err < 0) err = alsa_calls.prepare(source->pcm);
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

/* Checks for a loss at time now, with avail frames in the device, before anything is handed
   over; opens, updates or closes the pending gap. A device with a backlog (half its buffer or
   more, after a long time without a reading, or while a loss is suspected) may hold more than
   avail shows: PulseAudio keeps audio beyond the ALSA buffer, and only its delay tells how
   much. At an overflow that delay exceeds what the server still holds from before the gap
   (by 0.9 to 1.0 s in our measurements through PulseAudio 16), so of the part beyond avail,
   DELAY_SLACK_S and a period are not trusted: the reads stop that much short of the gap. */
static void check_for_loss(WaveSource* source, double now, snd_pcm_uframes_t avail) {
    bool full = avail + source->period_frames >= source->buffer_frames;
    double beyond = 0;
    snd_pcm_uframes_t before = avail;
    snd_pcm_sframes_t delay;
    bool backlog = 2 * avail >= source->buffer_frames || source->gap.open ||
                   now - source->detector.last_check > 2.0 * source->period_frames / source->rate;
    if (backlog && source->detector.on && alsa_calls.delay(source->pcm, &delay) == 0 &&
        delay > (snd_pcm_sframes_t)avail) {
        beyond = (double)delay - (double)avail;
        double trusted = beyond - DELAY_SLACK_S * source->rate - (double)source->period_frames;
        if (trusted > 0) before += (snd_pcm_uframes_t)trusted;
    }
    LossReading reading = {now, source->frames_read, (double)avail, beyond, source->waited};
    source->waited = 0;
    LossVerdict verdict = loss_detector_check(&source->detector, &reading);
    PendingGap* gap = &source->gap;
    if (verdict.kind == LOSS_NONE) {
        if (!gap->found) *gap = PendingGap(); /* a suspicion that came to nothing */
        return;
    }
    if (!gap->open) {
        gap->open = true;
        gap->overflowed = full;
        gap->before = before;
    } else if (verdict.frames < gap->frames) {
        /* Frames that came faster than real time made up part of the rise: a backlog from
           before the gap, handed over too. */
        gap->before += (snd_pcm_uframes_t)(gap->frames - verdict.frames);
    }
    gap->frames = verdict.frames;
    if (verdict.kind == LOSS_FOUND) gap->found = true;
}

/* Waits up to timeout_ms for audio, adding the time to the waits the detector is told of
   unless a stop of the process cut the wait short (stopped_during_wait). Returns the wait's
   result. */
static int wait_for_audio(WaveSource* source, uint32_t timeout_ms) {
    uint32_t continues = process_continues();
    double from = monotonic_seconds();
    int ready = alsa_calls.wait(source->pcm, source->wake_fd,
                                timeout_ms > INT32_MAX ? -1 : (int)timeout_ms);
    double waited = monotonic_seconds() - from;
    if (!stopped_during_wait(continues, (waited - timeout_ms / 1000.0) * 1000))
        source->waited += waited;
    return ready;
}

static int64_t real_clock_ns(void) {
    struct timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    return (int64_t)now.tv_sec * 1000000000 + now.tv_nsec;
}

/* Takes the stream's time stamp after a read: the frames still waiting to be read at the stamp's
   time were captured before it. Without one from the device, the time of the read itself. */
static void stamp_stream(WaveSource* source) {
    snd_pcm_uframes_t avail = 0;
    snd_htimestamp_t stamp = {0, 0};
    if (snd_pcm_htimestamp(source->pcm, &avail, &stamp) == 0 && stamp.tv_sec != 0) {
        source->stamp_frame = source->frames_since_open + avail;
        source->stamp_ns = (int64_t)stamp.tv_sec * 1000000000 + stamp.tv_nsec;
    } else {
        source->stamp_frame = source->frames_since_open + source->left;
        source->stamp_ns = real_clock_ns();
    }
}

int64_t wave_source_clock_ns(void) {
    return real_clock_ns();
}

bool wave_source_frame_time(WaveSource* source, uint64_t frame, int64_t* unix_ns) {
    if (source->stamp_ns == 0) return false;
    long double ns = ((long double)frame - (long double)source->stamp_frame) * 1e9L / source->rate;
    *unix_ns = source->stamp_ns + (int64_t)llroundl(ns);
    return true;
}

/* Hands over up to wanted of avail frames into dest. */
static int32_t take_frames(WaveSource* source, void* dest, snd_pcm_uframes_t wanted,
                           snd_pcm_uframes_t avail) {
    snd_pcm_sframes_t got = alsa_calls.readi(source->pcm, dest, std::min(wanted, avail));
    if (got < 0) return read_error(source, (int)got);
    to_wave_channel_order(source, dest, (snd_pcm_uframes_t)got);
    source->last_read = monotonic_seconds();
    source->frames_read += (uint64_t)got;
    source->frames_since_open += (uint64_t)got;
    source->left = avail - (snd_pcm_uframes_t)got;
    stamp_stream(source);
    if (source->gap.open)
        source->gap.before -= std::min(source->gap.before, (snd_pcm_uframes_t)got);
    return (int32_t)(got * source->frame_bytes);
}

int32_t wave_source_read(WaveSource* source, void* dest, uint32_t max_bytes, uint32_t timeout_ms) {
    if (source->broken) return WAVE_SOURCE_FAILED;
    clear_alsa_message();
    snd_pcm_uframes_t wanted =
        std::min<snd_pcm_uframes_t>(max_bytes / source->frame_bytes, source->buffer_frames);
    if (wanted == 0) return 0;
    for (bool waited = false;; waited = true) {
        double now = monotonic_seconds();
        snd_pcm_sframes_t avail = alsa_calls.avail(source->pcm);
        if (avail < 0) return read_error(source, (int)avail);
        check_for_loss(source, now, (snd_pcm_uframes_t)avail);
        PendingGap* gap = &source->gap;
        if (gap->open && gap->before > 0) {
            wanted = std::min(wanted, gap->before);
        } else if (gap->found) {
            double seconds = gap->frames / source->rate;
            source->lost_frames = (int64_t)llround(gap->frames);
            if (gap->overflowed)
                set_problem(source, "input buffer overflowed, up to %.1f s of audio lost", seconds);
            else
                set_problem(source, "input lost about %.1f s of audio without reporting an overrun",
                            seconds);
            *gap = PendingGap();
            return WAVE_SOURCE_LOST;
        } else if (gap->open) {
            /* What came before the gap is handed over; the rest waits for the verdict. */
            struct timespec pause = {0, (long)std::min<uint32_t>(timeout_ms, 50) * 1000000};
            nanosleep(&pause, nullptr);
            return 0;
        }
        if (avail > 0) return take_frames(source, dest, wanted, (snd_pcm_uframes_t)avail);
        if (waited) return 0;
        int ready = wait_for_audio(source, timeout_ms);
        if (ready < 0) return read_error(source, ready);
    }
}

void wave_source_describe_problem(WaveSource* source, char* text, size_t text_size) {
    if (text_size == 0) return;
    snprintf(text, text_size, "%s", source->problem[0] ? source->problem : "no problem");
}

int64_t wave_source_lost_frames(WaveSource* source) {
    return source->lost_frames;
}

MMRESULT wave_source_injected_fault(WaveSource* source, const char* call, unsigned n) {
    (void)source;
    (void)call;
    (void)n;
    return MMSYSERR_NOERROR;
}

void wave_source_interrupt(WaveSource* source) {
    uint64_t one = 1;
    if (write(source->wake_fd, &one, sizeof one) < 0) { /* the counter is full: already woken */
    }
}

void wave_source_close(WaveSource* source) {
    snd_pcm_close(source->pcm);
    close(source->wake_fd);
    free(source);
    if (--open_sources == 0) snd_config_update_free_global();
}
