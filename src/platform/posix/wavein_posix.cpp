// The wave-input service for POSIX systems: waveInOpen and the calls after it, over one audio
// source (wave_source.h).
//
// Each open device has a thread of its own. While the device is started it fills the oldest
// added buffer from the source and hands it back through the callback with WIM_DATA, in the
// order the buffers were added. Every callback runs on that thread, one at a time and without a
// lock of the service held, and none runs once waveInClose has returned.
//
// No audio is dropped without a word: when the source reports a loss or a failure, the buffer
// being filled comes back short, holding only the audio before the problem, and keeps what
// happened and the frames lost for describe_short_buffer. While the device is started and no buffer
// is queued, the thread goes on reading into a reserve of RESERVE_SECONDS of audio and later hands
// it to the buffers as they are added, so a caller that is late with its buffers loses nothing.
// Only a full reserve stops the reading; the device's own buffer then takes the strain.
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <new>
#include <pthread.h>

#include "platform/buffer_problem.h"
#include "platform/capture_clock.h"
#include "platform/posix/monotonic_clock.h"
#include "platform/posix/wave_source.h"
#include "platform/wave_subformat.h"
#include "platform/posix/wavein_posix.h"
#include "platform/posix/wavein_reserve.h"

#define RESERVE_SECONDS 4             /* audio kept while the caller has no buffer queued */
#define RESERVE_MAX_BYTES (64u << 20) /* the reserve never takes more memory than this */
#define READ_TIMEOUT_MS 500  /* longest a source read waits (a hold interrupts it at once) */
#define STALL_NOTICE_MS 1000 /* silence from a started device that counts as a stall */
#define CALLBACK_TYPE_MASK 0x00070000u
#define SHORT_NOTES 32 /* short buffers whose problems wait to be asked for */

const char* const wave_in_call_names[CALL_KINDS] = {"prepare", "add",   "start", "unprepare",
                                                    "stop",    "reset", "close"};

/* The problem of one buffer that came back short. */
struct ShortNote {
    const WAVEHDR* header;        /* the buffer, or null when the note is free */
    int64_t lost_frames;          /* frames the loss skipped, -1 when unknown */
    bool failure;                 /* the device failed for good there */
    char text[RESERVE_TEXT_SIZE]; /* the source's description */
};

/* One open device; an HWAVEIN points to it. Fields below lock are guarded by it. */
struct WaveInDevice {
    WaveInDevice* next_open;    /* the list of open devices (guarded by open_devices.lock) */
    pthread_mutex_t lock;       /* guards everything below */
    pthread_cond_t wake;        /* for the device thread: work, a hold released, close */
    pthread_cond_t idle;        /* for callers: the thread let go, or a completion was delivered */
    pthread_t thread;           /* the device thread */
    WaveSource* source;         /* the audio source, owned */
    uint32_t frame_bytes;       /* nBlockAlign of the open format */
    LPWAVEINPROC callback;      /* the caller's callback */
    DWORD_PTR instance;         /* passed back to the callback */
    WAVEHDR* queue_head;        /* added buffers not yet completed, linked through lpNext */
    WAVEHDR* queue_tail;        /* last added buffer */
    uint32_t head_filled;       /* bytes already in queue_head */
    WAVEHDR* done_head;         /* completed buffers whose callback is due, in order */
    WAVEHDR* done_tail;         /* last completed buffer */
    unsigned undelivered;       /* completions whose callback has not returned yet */
    WaveReserve reserve;        /* audio read while no buffer was queued */
    bool started;               /* waveInStart was called, and no stop or reset since */
    bool failed;                /* the source failed for good: nothing more is read */
    bool hold;                  /* a caller keeps the thread out of the source and the queue */
    bool busy;                  /* the thread is outside the lock: in a read or a callback */
    bool closing;               /* waveInClose: deliver what is due, then end */
    timespec last_heard;        /* when the started source last gave audio or news of a problem */
    bool stall_noted;           /* the error text says that the device has stopped delivering */
    unsigned calls[CALL_KINDS]; /* calls so far of each counted kind, for fault injection */
    uint64_t frames_read;       /* frames the source handed out since the open */
    ShortNote notes[SHORT_NOTES]; /* problems of short buffers not asked for yet */
    unsigned next_note;           /* the note the next short buffer takes (the oldest) */
};

/* The devices open in this process, so that a stale or foreign handle is refused. */
struct OpenDevices {
    pthread_mutex_t lock; /* guards first */
    WaveInDevice* first;  /* newest first */
};

static OpenDevices open_devices = {PTHREAD_MUTEX_INITIALIZER, nullptr};

static WaveInDevice* device_from_handle(HWAVEIN handle) {
    WaveInDevice* wanted = reinterpret_cast<WaveInDevice*>(handle);
    WaveInDevice* found = nullptr;
    pthread_mutex_lock(&open_devices.lock);
    for (WaveInDevice* d = open_devices.first; d && !found; d = d->next_open)
        if (d == wanted) found = d;
    pthread_mutex_unlock(&open_devices.lock);
    return found;
}

static void forget_device(WaveInDevice* device) {
    pthread_mutex_lock(&open_devices.lock);
    for (WaveInDevice** link = &open_devices.first; *link; link = &(*link)->next_open) {
        if (*link == device) {
            *link = device->next_open;
            break;
        }
    }
    pthread_mutex_unlock(&open_devices.lock);
}

/* Counts a call and returns the fault the source injects into it, if any. Lock held. */
static MMRESULT injected_fault(WaveInDevice* device, WaveInCall call) {
    return wave_source_injected_fault(device->source, wave_in_call_names[call],
                                      ++device->calls[call]);
}

static bool on_device_thread(WaveInDevice* device) {
    return pthread_equal(pthread_self(), device->thread) != 0;
}

static void deliver(WaveInDevice* device, UINT message, DWORD_PTR param1) {
    device->callback(reinterpret_cast<HWAVEIN>(device), message, device->instance, param1, 0);
}

/* ---- the buffer queue (lock held) ------------------------------------------------------- */

static void append(WAVEHDR** head, WAVEHDR** tail, WAVEHDR* header) {
    header->lpNext = nullptr;
    if (*tail)
        (*tail)->lpNext = header;
    else
        *head = header;
    *tail = header;
}

/* Keeps in header's reserved field the system-clock time of its first frame (0 when the source
   cannot tell): its frames are the last ones read but those the reserve still holds. */
static void stamp_head(WaveInDevice* device, WAVEHDR* header, uint32_t bytes) {
    static_assert(sizeof(DWORD_PTR) >= sizeof(int64_t), "a time stamp fits the reserved field");
    header->reserved = 0;
    if (device->frame_bytes == 0) return;
    uint64_t held = (device->reserve.written - device->reserve.taken) / device->frame_bytes;
    uint64_t first = device->frames_read - held - bytes / device->frame_bytes;
    int64_t unix_ns;
    if (wave_source_frame_time(device->source, first, &unix_ns))
        header->reserved = (DWORD_PTR)unix_ns;
}

/* Takes the head buffer off the queue with bytes recorded; its callback becomes due. */
static void complete_head(WaveInDevice* device, uint32_t bytes) {
    WAVEHDR* header = device->queue_head;
    stamp_head(device, header, bytes);
    device->queue_head = header->lpNext;
    if (!device->queue_head) device->queue_tail = nullptr;
    device->head_filled = 0;
    header->dwBytesRecorded = bytes;
    append(&device->done_head, &device->done_tail, header);
    device->undelivered++;
}

/* Calls back for the oldest completed buffer. Device thread, lock held on entry and exit. */
static void deliver_completion(WaveInDevice* device) {
    WAVEHDR* header = device->done_head;
    device->done_head = header->lpNext;
    if (!device->done_head) device->done_tail = nullptr;
    header->lpNext = nullptr;
    header->dwFlags = (header->dwFlags & ~WHDR_INQUEUE) | WHDR_DONE;
    device->busy = true;
    pthread_mutex_unlock(&device->lock);
    deliver(device, WIM_DATA, reinterpret_cast<DWORD_PTR>(header));
    pthread_mutex_lock(&device->lock);
    device->busy = false;
    device->undelivered--;
    pthread_cond_broadcast(&device->idle);
}

/* Keeps the device thread out of the source and the queue until release_thread. Lock held. */
static void hold_thread(WaveInDevice* device) {
    while (device->hold)
        pthread_cond_wait(&device->idle, &device->lock);
    device->hold = true;
    if (device->busy) wave_source_interrupt(device->source);
    while (device->busy)
        pthread_cond_wait(&device->idle, &device->lock);
}

static void release_thread(WaveInDevice* device) {
    device->hold = false;
    pthread_cond_broadcast(&device->wake);
    pthread_cond_broadcast(&device->idle);
}

/* Waits until the thread has called back for every completed buffer. Lock held. */
static void wait_delivered(WaveInDevice* device) {
    while (device->undelivered > 0)
        pthread_cond_wait(&device->idle, &device->lock);
}

/* ---- the device thread ------------------------------------------------------------------ */

/* Tells the error text when the started device has given nothing for STALL_NOTICE_MS, and
   takes it back when audio comes again. */
static void watch_for_stall(WaveInDevice* device, bool heard) {
    timespec now = monotonic_now();
    if (heard) {
        device->last_heard = now;
        if (device->stall_noted) wavein_note_stall(false);
        device->stall_noted = false;
        return;
    }
    long quiet_ms = (long)(now.tv_sec - device->last_heard.tv_sec) * 1000 +
                    (now.tv_nsec - device->last_heard.tv_nsec) / 1000000;
    if (!device->stall_noted && quiet_ms >= STALL_NOTICE_MS) {
        wavein_note_stall(true);
        device->stall_noted = true;
    }
}

/* Reads from the source into dest with the lock let go; the thread counts as busy meanwhile. */
static int32_t read_source(WaveInDevice* device, BYTE* dest, uint32_t max_bytes) {
    device->busy = true;
    pthread_mutex_unlock(&device->lock);
    int32_t result = wave_source_read(device->source, dest, max_bytes, READ_TIMEOUT_MS);
    pthread_mutex_lock(&device->lock);
    device->busy = false;
    pthread_cond_broadcast(&device->idle);
    watch_for_stall(device, result != 0);
    if (result > 0) device->frames_read += (uint64_t)result / device->frame_bytes;
    return result;
}

static void describe_problem(WaveInDevice* device, char* text, size_t text_size) {
    text[0] = '\0';
    wave_source_describe_problem(device->source, text, text_size);
    if (!text[0]) snprintf(text, text_size, "The input device lost audio or failed.");
}

/* Forgets the note of header, if it has one. Lock held. */
static void drop_note(WaveInDevice* device, const WAVEHDR* header) {
    for (ShortNote& note : device->notes)
        if (note.header == header) note.header = nullptr;
}

/* Ends the head buffer short at a problem: text and lost_frames go with it, and a failure ends
   the device. Lock held. */
static void complete_short(WaveInDevice* device, bool failure, const char* text,
                           int64_t lost_frames) {
    if (failure) {
        wavein_note_failure(text);
        device->failed = true;
    } else {
        wavein_note_loss(text);
    }
    ShortNote& note = device->notes[device->next_note];
    device->next_note = (device->next_note + 1) % SHORT_NOTES;
    note.header = device->queue_head;
    note.lost_frames = failure ? -1 : lost_frames;
    note.failure = failure;
    snprintf(note.text, sizeof note.text, "%s", text);
    complete_head(device, device->head_filled);
}

/* Ends the head buffer short at a loss or failure that the source has just reported. */
static void complete_at_problem(WaveInDevice* device, bool failure) {
    char text[RESERVE_TEXT_SIZE];
    describe_problem(device, text, sizeof text);
    complete_short(device, failure, text, wave_source_lost_frames(device->source));
}

/* Fills the head buffer from the reserve, as far as the reserve or the next mark goes. */
static void fill_from_reserve(WaveInDevice* device, uint32_t room) {
    const ReserveMark* mark = reserve_due_mark(&device->reserve);
    if (mark) {
        ReserveMark due = *mark;
        reserve_drop_mark(&device->reserve);
        complete_short(device, due.failure, due.text, due.lost_frames);
        return;
    }
    WAVEHDR* header = device->queue_head;
    uint32_t n = reserve_take(&device->reserve,
                              reinterpret_cast<BYTE*>(header->lpData) + device->head_filled, room);
    device->head_filled += n;
    if (n == room) complete_head(device, device->head_filled);
}

/* Reads straight into the head buffer. */
static void fill_from_source(WaveInDevice* device, uint32_t room) {
    WAVEHDR* header = device->queue_head;
    BYTE* dest = reinterpret_cast<BYTE*>(header->lpData) + device->head_filled;
    int32_t result = read_source(device, dest, room);
    /* The head cannot change while the thread is busy: stop and reset hold the thread first. */
    if (result == WAVE_SOURCE_LOST || result == WAVE_SOURCE_FAILED) {
        complete_at_problem(device, result == WAVE_SOURCE_FAILED);
    } else if (result > 0) {
        device->head_filled += (uint32_t)result;
        if ((uint32_t)result >= room) complete_head(device, device->head_filled);
    }
}

/* Reads into the reserve while no buffer is queued. False when the reserve is full. */
static bool fill_reserve(WaveInDevice* device) {
    BYTE* dest = nullptr;
    uint32_t span = reserve_free_span(&device->reserve, &dest);
    span -= span % device->frame_bytes;
    if (span == 0) return false;
    int32_t result = read_source(device, dest, span);
    if (result > 0) {
        reserve_commit(&device->reserve, (uint32_t)result);
    } else if (result == WAVE_SOURCE_LOST || result == WAVE_SOURCE_FAILED) {
        char text[RESERVE_TEXT_SIZE];
        describe_problem(device, text, sizeof text);
        reserve_mark(&device->reserve, result == WAVE_SOURCE_FAILED, text,
                     wave_source_lost_frames(device->source));
    }
    return true;
}

/* One piece of work for a started device. False when there is nothing to do until woken. */
static bool device_step(WaveInDevice* device) {
    if (!device->started || device->failed) return false;
    WAVEHDR* header = device->queue_head;
    if (!header) return fill_reserve(device);
    uint32_t room = header->dwBufferLength - device->head_filled;
    room -= room % device->frame_bytes;
    if (room == 0) {
        complete_head(device, device->head_filled); /* a zero-length or full buffer */
    } else if (!reserve_empty(&device->reserve)) {
        fill_from_reserve(device, room);
    } else {
        fill_from_source(device, room);
    }
    return true;
}

static void* device_thread(void* argument) {
    WaveInDevice* device = static_cast<WaveInDevice*>(argument);
    pthread_mutex_lock(&device->lock);
    for (;;) {
        if (device->hold) {
            pthread_cond_wait(&device->wake, &device->lock);
        } else if (device->done_head) {
            deliver_completion(device);
        } else if (device->closing) {
            break;
        } else if (!device_step(device)) {
            pthread_cond_wait(&device->wake, &device->lock);
        }
    }
    pthread_mutex_unlock(&device->lock);
    return nullptr;
}

/* Starts the device thread with the interrupt signals blocked, so they reach the main thread. */
static bool start_device_thread(WaveInDevice* device) {
    sigset_t blocked, previous;
    sigemptyset(&blocked);
    sigaddset(&blocked, SIGINT);
    sigaddset(&blocked, SIGQUIT);
    pthread_sigmask(SIG_BLOCK, &blocked, &previous);
    int rc = pthread_create(&device->thread, nullptr, device_thread, device);
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    return rc == 0;
}

/* ---- open and close --------------------------------------------------------------------- */

/* The plain format tag that an extensible format's sub-format stands for, or 0. */
static DWORD extensible_subformat(const WAVEFORMATEX* format) {
    return wave_subformat_tag(((const WAVEFORMATEXTENSIBLE*)format)->SubFormat);
}

bool wave_format_is_float(const WAVEFORMATEX* format) {
    return format->wFormatTag == WAVE_FORMAT_EXTENSIBLE &&
           extensible_subformat(format) == WAVE_FORMAT_IEEE_FLOAT;
}

bool wave_format_is_capturable(const WAVEFORMATEX* format) {
    bool sizes = format->nSamplesPerSec > 0 &&
                 format->nBlockAlign == format->nChannels * format->wBitsPerSample / 8 &&
                 format->nAvgBytesPerSec == (DWORD)format->nBlockAlign * format->nSamplesPerSec;
    if (format->wFormatTag == WAVE_FORMAT_PCM)
        return sizes && (format->nChannels == 1 || format->nChannels == 2) &&
               (format->wBitsPerSample == 8 || format->wBitsPerSample == 16);
    if (format->wFormatTag != WAVE_FORMAT_EXTENSIBLE || format->cbSize < 22) return false;
    const WAVEFORMATEXTENSIBLE* ex = (const WAVEFORMATEXTENSIBLE*)format;
    WORD bits = format->wBitsPerSample;
    DWORD subformat = extensible_subformat(format);
    bool samples = subformat == WAVE_FORMAT_PCM
                       ? bits == 8 || bits == 16 || bits == 24 || bits == 32
                       : subformat == WAVE_FORMAT_IEEE_FLOAT && bits == 32;
    return sizes && samples && format->nChannels >= 1 && format->nChannels <= 8 &&
           ex->Samples.wValidBitsPerSample == bits;
}

static uint32_t reserve_bytes(const WAVEFORMATEX* format) {
    uint64_t bytes = (uint64_t)format->nAvgBytesPerSec * RESERVE_SECONDS;
    if (bytes > RESERVE_MAX_BYTES) bytes = RESERVE_MAX_BYTES;
    bytes -= bytes % format->nBlockAlign;
    return bytes > 0 ? (uint32_t)bytes : format->nBlockAlign;
}

static void free_device(WaveInDevice* device) {
    pthread_cond_destroy(&device->idle);
    pthread_cond_destroy(&device->wake);
    pthread_mutex_destroy(&device->lock);
    reserve_free(&device->reserve);
    delete device;
}

MMRESULT WINAPI waveInOpen(LPHWAVEIN handle, UINT device_id, LPCWAVEFORMATEX format,
                           DWORD_PTR callback, DWORD_PTR instance, DWORD flags) {
    if (!handle || !format) return MMSYSERR_INVALPARAM;
    *handle = nullptr;
    DWORD callback_type = flags & CALLBACK_TYPE_MASK;
    if ((flags & ~CALLBACK_TYPE_MASK) != 0 || callback_type != CALLBACK_FUNCTION)
        return MMSYSERR_INVALFLAG;
    if (!callback) return MMSYSERR_INVALPARAM;
    if (!wave_format_is_capturable(format)) return WAVERR_BADFORMAT;

    WaveInDevice* device = new (std::nothrow) WaveInDevice();
    if (!device) return MMSYSERR_NOMEM;
    if (!reserve_init(&device->reserve, reserve_bytes(format))) {
        delete device;
        return MMSYSERR_NOMEM;
    }
    pthread_mutex_init(&device->lock, nullptr);
    pthread_cond_init(&device->wake, nullptr);
    pthread_cond_init(&device->idle, nullptr);
    device->frame_bytes = format->nBlockAlign;
    device->callback = reinterpret_cast<LPWAVEINPROC>(callback);
    device->instance = instance;

    MMRESULT result = wave_source_open(device_id, format, &device->source);
    if (result != MMSYSERR_NOERROR) {
        char text[256];
        wave_source_describe_open_failure(text, sizeof text);
        wavein_note_open_failure(result, text);
        free_device(device);
        return result;
    }
    wavein_forget_problem();
    if (!start_device_thread(device)) {
        wave_source_close(device->source);
        free_device(device);
        return MMSYSERR_NOMEM;
    }
    pthread_mutex_lock(&open_devices.lock);
    device->next_open = open_devices.first;
    open_devices.first = device;
    pthread_mutex_unlock(&open_devices.lock);
    *handle = reinterpret_cast<HWAVEIN>(device);
    return MMSYSERR_NOERROR;
}

MMRESULT WINAPI waveInClose(HWAVEIN handle) {
    WaveInDevice* device = device_from_handle(handle);
    if (!device) return MMSYSERR_INVALHANDLE;
    if (on_device_thread(device)) return MMSYSERR_HANDLEBUSY;
    pthread_mutex_lock(&device->lock);
    MMRESULT result = injected_fault(device, CALL_CLOSE);
    if (result == MMSYSERR_NOERROR && device->queue_head) result = WAVERR_STILLPLAYING;
    if (result == MMSYSERR_NOERROR && device->closing) result = MMSYSERR_INVALHANDLE;
    if (result != MMSYSERR_NOERROR) {
        pthread_mutex_unlock(&device->lock);
        return result;
    }
    device->closing = true;
    pthread_cond_broadcast(&device->wake);
    pthread_mutex_unlock(&device->lock);
    forget_device(device);
    pthread_join(device->thread, nullptr); /* after this no callback can run */
    if (device->started) wave_source_stop(device->source);
    wave_source_close(device->source);
    free_device(device);
    return MMSYSERR_NOERROR;
}

/* ---- headers ---------------------------------------------------------------------------- */

static bool usable_header(LPWAVEHDR header, UINT header_size) {
    return header && header_size >= sizeof(WAVEHDR) && (header->lpData || !header->dwBufferLength);
}

MMRESULT WINAPI waveInPrepareHeader(HWAVEIN handle, LPWAVEHDR header, UINT header_size) {
    WaveInDevice* device = device_from_handle(handle);
    if (!device) return MMSYSERR_INVALHANDLE;
    pthread_mutex_lock(&device->lock);
    MMRESULT result = injected_fault(device, CALL_PREPARE);
    if (result == MMSYSERR_NOERROR && !usable_header(header, header_size))
        result = MMSYSERR_INVALPARAM;
    if (result == MMSYSERR_NOERROR && (header->dwFlags & WHDR_INQUEUE))
        result = WAVERR_STILLPLAYING;
    if (result == MMSYSERR_NOERROR) header->dwFlags |= WHDR_PREPARED;
    pthread_mutex_unlock(&device->lock);
    return result;
}

MMRESULT WINAPI waveInUnprepareHeader(HWAVEIN handle, LPWAVEHDR header, UINT header_size) {
    WaveInDevice* device = device_from_handle(handle);
    if (!device) return MMSYSERR_INVALHANDLE;
    pthread_mutex_lock(&device->lock);
    MMRESULT result = injected_fault(device, CALL_UNPREPARE);
    if (result == MMSYSERR_NOERROR && (!header || header_size < sizeof(WAVEHDR)))
        result = MMSYSERR_INVALPARAM;
    if (result == MMSYSERR_NOERROR && (header->dwFlags & WHDR_INQUEUE))
        result = WAVERR_STILLPLAYING;
    if (result == MMSYSERR_NOERROR) header->dwFlags &= ~WHDR_PREPARED;
    pthread_mutex_unlock(&device->lock);
    return result;
}

MMRESULT WINAPI waveInAddBuffer(HWAVEIN handle, LPWAVEHDR header, UINT header_size) {
    WaveInDevice* device = device_from_handle(handle);
    if (!device) return MMSYSERR_INVALHANDLE;
    pthread_mutex_lock(&device->lock);
    MMRESULT result = injected_fault(device, CALL_ADD);
    if (result == MMSYSERR_NOERROR && !usable_header(header, header_size))
        result = MMSYSERR_INVALPARAM;
    if (result == MMSYSERR_NOERROR && !(header->dwFlags & WHDR_PREPARED))
        result = WAVERR_UNPREPARED;
    if (result == MMSYSERR_NOERROR && (header->dwFlags & WHDR_INQUEUE))
        result = WAVERR_STILLPLAYING;
    if (result == MMSYSERR_NOERROR) {
        header->dwFlags = (header->dwFlags | WHDR_INQUEUE) & ~WHDR_DONE;
        header->dwBytesRecorded = 0;
        drop_note(device, header);
        append(&device->queue_head, &device->queue_tail, header);
        pthread_cond_broadcast(&device->wake);
    }
    pthread_mutex_unlock(&device->lock);
    return result;
}

/* ---- start, stop, reset ----------------------------------------------------------------- */

MMRESULT WINAPI waveInStart(HWAVEIN handle) {
    WaveInDevice* device = device_from_handle(handle);
    if (!device) return MMSYSERR_INVALHANDLE;
    if (on_device_thread(device)) return MMSYSERR_HANDLEBUSY;
    pthread_mutex_lock(&device->lock);
    MMRESULT result = injected_fault(device, CALL_START);
    if (result == MMSYSERR_NOERROR && device->failed) result = MMSYSERR_ERROR;
    if (result == MMSYSERR_NOERROR && !device->started) {
        hold_thread(device);
        result = wave_source_start(device->source);
        if (result == MMSYSERR_NOERROR) {
            device->started = true;
            device->last_heard = monotonic_now();
        }
        release_thread(device);
    }
    pthread_mutex_unlock(&device->lock);
    return result;
}

/* Stops the source and drops the reserve; with every_buffer, all queued buffers come back,
   otherwise only a partly filled head buffer. Waits until their callbacks have run. */
static MMRESULT stop_device(WaveInDevice* device, WaveInCall call, bool every_buffer) {
    pthread_mutex_lock(&device->lock);
    MMRESULT result = injected_fault(device, call);
    if (result != MMSYSERR_NOERROR) {
        pthread_mutex_unlock(&device->lock);
        return result;
    }
    hold_thread(device);
    if (device->started) {
        result = wave_source_stop(device->source);
        device->started = false;
    }
    if (device->reserve.ended) device->failed = true;
    reserve_clear(&device->reserve);
    if (device->queue_head && device->head_filled > 0) complete_head(device, device->head_filled);
    while (every_buffer && device->queue_head)
        complete_head(device, device->head_filled);
    release_thread(device);
    wait_delivered(device);
    pthread_mutex_unlock(&device->lock);
    return result;
}

MMRESULT WINAPI waveInStop(HWAVEIN handle) {
    WaveInDevice* device = device_from_handle(handle);
    if (!device) return MMSYSERR_INVALHANDLE;
    if (on_device_thread(device)) return MMSYSERR_HANDLEBUSY;
    return stop_device(device, CALL_STOP, false);
}

MMRESULT WINAPI waveInReset(HWAVEIN handle) {
    WaveInDevice* device = device_from_handle(handle);
    if (!device) return MMSYSERR_INVALHANDLE;
    if (on_device_thread(device)) return MMSYSERR_HANDLEBUSY;
    return stop_device(device, CALL_RESET, true);
}

void describe_short_buffer(HWAVEIN handle, const WAVEHDR* header, BufferProblem* problem) {
    problem->text[0] = '\0';
    problem->lost_frames = LOST_FRAMES_UNKNOWN;
    problem->device_failed = false;
    WaveInDevice* device = device_from_handle(handle);
    if (device) {
        pthread_mutex_lock(&device->lock);
        for (ShortNote& note : device->notes) {
            if (note.header != header) continue;
            snprintf(problem->text, sizeof problem->text, "%s", note.text);
            problem->lost_frames = note.lost_frames;
            problem->device_failed = note.failure;
            note.header = nullptr;
        }
        pthread_mutex_unlock(&device->lock);
    }
    /* A buffer ended short by a stop, or whose note was pushed out by newer ones. */
    if (!problem->text[0]) waveInGetErrorTextA(MMSYSERR_ERROR, problem->text, sizeof problem->text);
}

int64_t system_clock_ns(void) {
    return wave_source_clock_ns();
}

bool wave_in_buffer_time(HWAVEIN handle, const WAVEFORMATEX* format, const WAVEHDR* header,
                         int64_t* unix_ns) {
    (void)handle;
    (void)format;
    if (header->reserved == 0) return false;
    *unix_ns = (int64_t)header->reserved;
    return true;
}

UINT WINAPI waveInGetNumDevs(void) {
    return wave_source_count();
}
