// The capture engine: keeps seconds of buffers queued at the input device and moves every
// completed buffer into the output, then ends in order and cuts the file back when stopped early.
#include "capture/capture.h"

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

#include "capture/levels.h"
#include "capture/messages.h"
#include "capture/parts.h"
#include "capture/silence.h"
#include "capture/reconnect.h"
#include "capture/take_clock.h"
#include "driver/interrupt.h"
#include "platform/buffer_problem.h"
#include "platform/capture_clock.h"
#include "platform/platform.h"
#include "settings/settings.h"
#include "wave/output_file.h"
#include "wave/part_handoff.h"
#include "wave/wave_header.h"
#include "wave/write_buffer.h"

#define DEVICE_WAIT_MS 2500 /* longest wait for the next completed buffer */
#define ERROR_TEXT_SIZE 256

/* Everything the capture needs, in one heap block that lives for capture_audio only: these
   control fields, then the headers, then the ring slots, then the audio area. The callback
   thread touches only the slot at ring_write, ring_write itself and done_event; the main
   thread owns everything else. */
struct CaptureBlock {
    HANDLE done_event;                 /* manual-reset event, signalled by the callback */
    HWAVEIN device;                    /* the open device, or null when it is not open */
    uint32_t total_buffers;            /* buffers in a complete recording */
    uint32_t queued;                   /* adds to the device so far, first and repeat */
    uint32_t completed;                /* buffers taken from the ring and written */
    WAVEHDR** ring_read;               /* next slot the main thread reads */
    std::atomic<WAVEHDR**> ring_write; /* next slot the callback fills */
    WAVEHDR** ring_start;              /* first ring slot */
    WAVEHDR** ring_end;                /* one past the last ring slot */
    WAVEHDR* headers;                  /* the queue count of headers, one per buffer */
    bool cut_short;                    /* a part could not be prepared: the take ends early */
    bool error_printed;                /* the capture error line is out already */
    bool device_back;                  /* reopened after a failure: its first buffer is due */
    int64_t heard_ns;                  /* system clock after the last frame received, or 0 */
};

/* Device callback, on the device's thread: publishes a finished buffer to the main thread.
   The slot is written before ring_write moves on (release), so the reader never sees a slot
   that is not filled yet. */
static void CALLBACK wave_in_proc(HWAVEIN device, UINT message, DWORD_PTR instance,
                                  DWORD_PTR param1, DWORD_PTR param2) {
    (void)device;
    (void)param2;
    if (message != WIM_DATA) return;
    CaptureBlock* block = (CaptureBlock*)instance;
    WAVEHDR** slot = block->ring_write.load(std::memory_order_relaxed);
    *slot = (WAVEHDR*)param1;
    if (++slot == block->ring_end) slot = block->ring_start;
    block->ring_write.store(slot, std::memory_order_release);
    SetEvent(block->done_event);
}

/* The capture error line with the platform's text for result. */
static void print_capture_error(const char* label, MMRESULT result) {
    char text[ERROR_TEXT_SIZE];
    text[0] = '\0';
    waveInGetErrorTextA(result, text, sizeof text);
    print_capture_error_line(label, text);
}

/* Reports a failed device call during shutdown; a result of 0 prints nothing. */
static void report_mm_error(const char* label, MMRESULT result) {
    if (result != MMSYSERR_NOERROR) print_capture_error(label, result);
}

/* Allocates the block for the queue count of buffers and lays out headers, ring and audio
   area; every header gets its slice of the audio area. Returns null when memory is short. */
static CaptureBlock* allocate_capture_block(void) {
    const RecordingSettings& s = recording_settings;
    const uint32_t per_second = (uint32_t)s.buffers_per_second;
    const uint32_t queue_count = (uint32_t)s.queue_seconds * per_second;
    const size_t audio_bytes = (size_t)s.queue_seconds * s.format.nAvgBytesPerSec;
    const size_t headers_offset = sizeof(CaptureBlock);
    const size_t ring_offset = headers_offset + queue_count * sizeof(WAVEHDR);
    const size_t audio_offset = ring_offset + (queue_count + 1) * sizeof(WAVEHDR*);

    char* memory = (char*)malloc(audio_offset + audio_bytes);
    if (!memory) return nullptr;
    memset(memory, 0, ring_offset);
    CaptureBlock* block = new (memory) CaptureBlock();
    block->total_buffers = (uint32_t)s.seconds * per_second;
    block->headers = (WAVEHDR*)(memory + headers_offset);
    block->ring_start = (WAVEHDR**)(memory + ring_offset);
    block->ring_end = block->ring_start + queue_count + 1;
    block->ring_read = block->ring_start;
    block->ring_write.store(block->ring_start);

    char* data = memory + audio_offset;
    for (uint32_t i = 0; i < queue_count; i++) {
        WAVEHDR* header = &block->headers[i];
        header->lpData = data;
        header->dwBufferLength =
            capture_buffer_frames(s.format.nSamplesPerSec, per_second, i) * s.format.nBlockAlign;
        data += header->dwBufferLength;
    }
    return block;
}

static bool ring_is_empty(const CaptureBlock* block) {
    return block->ring_read == block->ring_write.load(std::memory_order_acquire);
}

static WAVEHDR* take_from_ring(CaptureBlock* block) {
    WAVEHDR* header = *block->ring_read;
    if (++block->ring_read == block->ring_end) block->ring_read = block->ring_start;
    return header;
}

/* Prepares and adds one header to the device. */
static MMRESULT queue_buffer(CaptureBlock* block, WAVEHDR* header) {
    MMRESULT result = waveInPrepareHeader(block->device, header, sizeof(WAVEHDR));
    if (result == MMSYSERR_NOERROR)
        result = waveInAddBuffer(block->device, header, sizeof(WAVEHDR));
    if (result == MMSYSERR_NOERROR) block->queued++;
    return result;
}

/* Sets *device_id to the device that device_number or device_name chooses. False, with a text
   that names what was asked for, when no device has that name. */
static bool find_device(UINT* device_id, char* text, size_t text_size) {
    const RecordingSettings& s = recording_settings;
    *device_id = s.device_number == 0 ? WAVE_MAPPER : (UINT)(s.device_number - 1);
    if (s.device_name[0] == '\0') return true;
    text[0] = '\0';
    return find_input_device(s.device_name, device_id, text, text_size) == MMSYSERR_NOERROR;
}

/* Sets *device_id to the device that device_number or device_name chooses. Returns false, after
   a capture error line that names what was asked for, when no device has that name. */
static bool choose_device(UINT* device_id) {
    char text[ERROR_TEXT_SIZE];
    if (find_device(device_id, text, sizeof text)) return true;
    print_capture_error_line("unknown", text);
    return false;
}

/* Opens device_id and queues the whole pool, from the header for the take's buffer `first` on
   (buffer k of the take always goes into header k modulo the queue count, whose length is that
   buffer's). Returns the first failure, or 0; the device is null when it did not open. */
static MMRESULT open_device(CaptureBlock* block, UINT device_id, uint32_t queue_count,
                            uint32_t first) {
    MMRESULT result = waveInOpen(&block->device, device_id, &recording_settings.format,
                                 (DWORD_PTR)wave_in_proc, (DWORD_PTR)block, CALLBACK_FUNCTION);
    if (result != MMSYSERR_NOERROR) {
        block->device = nullptr;
        return result;
    }
    for (uint32_t i = 0; i < queue_count; i++) {
        result = queue_buffer(block, &block->headers[(first + i) % queue_count]);
        if (result != MMSYSERR_NOERROR) return result;
    }
    return MMSYSERR_NOERROR;
}

/* Creates the event, opens device_id, queues the whole pool and starts recording (after the
   key press when prompting). Returns the first failure, or 0. */
static MMRESULT start_capture(CaptureBlock* block, UINT device_id, uint32_t queue_count) {
    const RecordingSettings& s = recording_settings;
    block->done_event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (!block->done_event) return MMSYSERR_ERROR;

    MMRESULT result = open_device(block, device_id, queue_count, 0);
    if (result != MMSYSERR_NOERROR) return result;
    if (s.prompt) {
        /* Quiet, the prompt is one whole line at once, as every message is then. */
        fputs(s.quiet ? "Ready to record -- press any key to begin...\n"
                      : "Ready to record -- press any key to begin...",
              stderr);
        wait_for_key_press(&abort_requested);
        if (!s.quiet) fputs("\n", stderr);
    }
    /* A stop before the start records nothing: the file keeps its header alone. */
    if (abort_requested.load()) return MMSYSERR_NOERROR;
    return waveInStart(block->device);
}

/* Whether the take has a length (-s above 0), rather than running until stopped. */
static bool fixed_length(const CaptureBlock* block) {
    return block->total_buffers != 0;
}

/* The progress line: the take's countdown, or the current part's in a take until stopped; at
   the end it counts down to zero. */
static void show_take_progress(const CaptureBlock* block, bool at_end) {
    uint32_t total = fixed_length(block) ? block->total_buffers : part_buffer_count();
    uint32_t done = fixed_length(block) ? block->completed : part_buffers_done(block->completed);
    show_progress(at_end ? total : done, total);
}

/* Meters length bytes of audio (the level meter, the silence check) and writes them into the
   output. */
static void write_audio(const char* bytes, uint32_t length) {
    if (!recording_settings.quiet) measure_levels(bytes, length);
    check_silence(bytes, length);
    buffered_write(bytes, (int32_t)length);
}

/* Writes the audio of a buffer that came back from the device into the output. */
static void write_buffer_audio(const WAVEHDR* header) {
    write_audio(header->lpData, header->dwBytesRecorded);
}

/* Writes frames [from, to) of a full buffer into the output. */
static void write_frames(const WAVEHDR* header, uint32_t from, uint32_t to) {
    if (to <= from) return;
    const uint32_t align = recording_settings.format.nBlockAlign;
    const char* bytes = header->lpData + (size_t)from * align;
    write_audio(bytes, (to - from) * align);
}

/* A buffer that came back short at a loss (problem: the device's word for it): its audio ends the
   current part, and the buffer is queued again in its place. */
static PartStep take_loss(CaptureBlock* block, WAVEHDR* header, const BufferProblem* problem) {
    write_buffer_audio(header);
    block->queued--;
    PartStep step = part_after_loss(block->completed, problem->text, problem->lost_frames);
    if (step == PART_TAKE_ENDS) block->cut_short = true;
    return step;
}

/* What taking a full buffer into the output leads to. */
enum BufferStep {
    BUFFER_GO_ON,    /* the take goes on */
    BUFFER_TAKE_DONE /* the take is complete, or ends here because a part could not be prepared */
};

/* Nanoseconds that `frames` frames of the recording take. */
static int64_t frames_ns(uint64_t frames) {
    return (int64_t)(frames * 1000000000ull / recording_settings.format.nSamplesPerSec);
}

/* Frames that the take's remaining buffers would have held. */
static uint64_t frames_left(const CaptureBlock* block) {
    const RecordingSettings& s = recording_settings;
    return (uint64_t)(block->total_buffers - block->completed) * s.format.nSamplesPerSec /
           (uint32_t)s.buffers_per_second;
}

/* The first full buffer of the device opened again after it failed, its first frame captured at
   first_ns (timed: the device could tell): reports how long the device was gone, counts the
   buffers of that time as done and goes on in a new part. The take is done when its planned
   end passed during the gap. */
static BufferStep resume_after_gap(CaptureBlock* block, bool timed, int64_t first_ns,
                                   uint32_t frames) {
    block->device_back = false;
    if (!timed) first_ns = system_clock_ns() - frames_ns(frames);
    int64_t gone_ns = first_ns > block->heard_ns ? first_ns - block->heard_ns : 0;
    print_device_back(gone_ns);
    uint32_t skipped = gap_buffers(gone_ns);
    if (fixed_length(block) && block->total_buffers - block->completed <= skipped) {
        count_device_gap(frames_left(block));
        block->completed = block->total_buffers;
        return BUFFER_TAKE_DONE;
    }
    block->completed += skipped;
    block->queued += skipped;
    count_device_gap(gap_frames(gone_ns));
    clock_after_gap(first_ns);
    if (part_device_back(block->completed, first_ns / 1000000000) == PART_TAKE_ENDS) {
        block->cut_short = true;
        return BUFFER_TAKE_DONE;
    }
    return BUFFER_GO_ON;
}

/* Writes a full buffer and counts it, moving on to the next part at a part's end; an aligned
   boundary inside the buffer splits it: the frames before it end the current part, the rest
   begin the next. */
static BufferStep take_full_buffer(CaptureBlock* block, const WAVEHDR* header) {
    const WAVEFORMATEX& format = recording_settings.format;
    uint32_t frames = header->dwBytesRecorded / format.nBlockAlign;
    int64_t first_ns = 0;
    bool timed = wave_in_buffer_time(block->device, &format, header, &first_ns);
    if (block->device_back && resume_after_gap(block, timed, first_ns, frames) == BUFFER_TAKE_DONE)
        return BUFFER_TAKE_DONE;
    clock_note_buffer(timed, first_ns, frames);
    block->heard_ns =
        (timed ? first_ns : system_clock_ns() - frames_ns(frames)) + frames_ns(frames);
    uint32_t written = 0;
    for (uint32_t at; (at = clock_boundary_frame(frames)) < frames;) {
        if (at < written) at = written;
        write_frames(header, written, at);
        written = at;
        if (part_at_boundary(block->completed) == PART_TAKE_ENDS) {
            block->cut_short = true;
            return BUFFER_TAKE_DONE;
        }
    }
    write_frames(header, written, frames);
    block->completed++;
    if (fixed_length(block) && block->completed == block->total_buffers) return BUFFER_TAKE_DONE;
    if (part_after_buffer(block->completed) == PART_TAKE_ENDS) {
        block->cut_short = true;
        return BUFFER_TAKE_DONE;
    }
    return BUFFER_GO_ON;
}

/* A buffer that came back short without parts ends the capture: the line says why. */
static void report_short_buffer(CaptureBlock* block, const WAVEHDR* header) {
    BufferProblem problem;
    describe_short_buffer(block->device, header, &problem);
    print_capture_error_line("unknown", problem.text);
    block->error_printed = true;
}

/* Stops, resets and closes the device that failed, taking back every buffer; the ring is empty
   and the headers clear for the device opened next. False when it would not close: it may still
   fill the buffers, so none can be used again. */
static bool close_lost_device(CaptureBlock* block) {
    const RecordingSettings& s = recording_settings;
    const uint32_t queue_count = (uint32_t)s.queue_seconds * (uint32_t)s.buffers_per_second;
    waveInStop(block->device);
    waveInReset(block->device);
    for (uint32_t i = 0; i < queue_count; i++)
        waveInUnprepareHeader(block->device, &block->headers[i], sizeof(WAVEHDR));
    MMRESULT closed = waveInClose(block->device);
    report_mm_error("waveInClose", closed);
    block->device = nullptr;
    if (closed != MMSYSERR_NOERROR) return false;
    block->ring_read = block->ring_start;
    block->ring_write.store(block->ring_start);
    ResetEvent(block->done_event);
    for (uint32_t i = 0; i < queue_count; i++) {
        block->headers[i].dwFlags = 0;
        block->headers[i].dwBytesRecorded = 0;
    }
    return true;
}

/* One try at opening the device that failed again, chosen again by number or by name, and
   starting it with the whole pool queued (context: the block). */
static bool try_reopen(void* context) {
    CaptureBlock* block = (CaptureBlock*)context;
    const RecordingSettings& s = recording_settings;
    UINT device_id;
    char text[ERROR_TEXT_SIZE];
    if (!find_device(&device_id, text, sizeof text)) return false;
    const uint32_t queue_count = (uint32_t)s.queue_seconds * (uint32_t)s.buffers_per_second;
    block->queued = block->completed;
    MMRESULT result = open_device(block, device_id, queue_count, block->completed % queue_count);
    if (result == MMSYSERR_NOERROR) result = waveInStart(block->device);
    if (result == MMSYSERR_NOERROR) return true;
    if (block->device) close_lost_device(block);
    return false;
}

/* What the capture does once the device failed in a take in parts. */
enum LostStep {
    LOST_DEVICE_BACK, /* the device is open again: the take goes on */
    LOST_TAKE_ENDS,   /* a stop, the take's planned end, or a part that could not be prepared */
    LOST_NO_CLOSE     /* the device would not close: the take ends with a capture error */
};

/* The device failed in a take in parts (text: its word for it): the current part is cut back
   and the loss reported (once, when the device failed again before its first buffer), the device
   closed and opened again every second until it is back, a stop is requested or the take's
   planned end comes. */
static LostStep lose_device(CaptureBlock* block, const char* text) {
    if (!block->device_back) {
        if (block->heard_ns == 0) block->heard_ns = system_clock_ns();
        if (part_device_lost(text) == PART_TAKE_ENDS) {
            block->cut_short = true;
            return LOST_TAKE_ENDS;
        }
    }
    block->device_back = false;
    if (!close_lost_device(block)) {
        block->error_printed = true;
        return LOST_NO_CLOSE;
    }
    int64_t give_up_ms = -1;
    if (fixed_length(block)) {
        uint32_t per_second = (uint32_t)recording_settings.buffers_per_second;
        give_up_ms = (int64_t)(block->total_buffers - block->completed) * 1000 / per_second -
                     (system_clock_ns() - block->heard_ns) / 1000000;
        if (give_up_ms < 0) give_up_ms = 0;
    }
    ReconnectEnd end = wait_for_device(try_reopen, block, give_up_ms);
    if (end == RECONNECT_BACK) {
        block->device_back = true;
        return LOST_DEVICE_BACK;
    }
    if (end == RECONNECT_TIME_UP) {
        count_device_gap(frames_left(block));
        block->completed = block->total_buffers;
    } else {
        count_unmeasured_gap();
    }
    return LOST_TAKE_ENDS;
}

/* The device's text for the failure that ends the capture with result. */
static void device_text(MMRESULT result, char* text, size_t text_size) {
    text[0] = '\0';
    waveInGetErrorTextA(result, text, (UINT)text_size);
}

/* Whether the take goes on after the device failed in a take in parts (text: its word for it);
   when it does not, *result is what the capture loop returns. */
static bool goes_on_after_loss(CaptureBlock* block, const char* text, MMRESULT* result) {
    LostStep step = lose_device(block, text);
    *result = step == LOST_NO_CLOSE ? MMSYSERR_ERROR : MMSYSERR_NOERROR;
    return step == LOST_DEVICE_BACK;
}

/* Takes completed buffers into the output and gives them back to the device until the
   recording is complete, the stop request is seen, or something fails. Returns the failure,
   or 0. */
static MMRESULT run_capture_loop(CaptureBlock* block) {
    const RecordingSettings& s = recording_settings;
    for (;;) {
        if (abort_requested.load()) return MMSYSERR_NOERROR;
        show_take_progress(block, false);
        if (ring_is_empty(block)) {
            if (WaitForSingleObject(block->done_event, DEVICE_WAIT_MS) != WAIT_OBJECT_0) {
                if (s.part_seconds == 0) return MMSYSERR_ERROR;
                char text[ERROR_TEXT_SIZE];
                device_text(MMSYSERR_ERROR, text, sizeof text);
                MMRESULT result;
                if (goes_on_after_loss(block, text, &result)) continue;
                return result;
            }
            if (!ResetEvent(block->done_event)) return MMSYSERR_ERROR;
            continue;
        }
        WAVEHDR* header = take_from_ring(block);
        poll_part_commands();
        MMRESULT result = waveInUnprepareHeader(block->device, header, sizeof(WAVEHDR));
        if (result != MMSYSERR_NOERROR) return result;
        if (header->dwBytesRecorded != header->dwBufferLength) {
            if (s.part_seconds == 0) {
                report_short_buffer(block, header);
                return MMSYSERR_ERROR;
            }
            /* In parts a loss cuts the part and the take goes on: the buffer is given back. A
               failure cuts it too, and the take waits for the device. */
            BufferProblem problem;
            describe_short_buffer(block->device, header, &problem);
            if (problem.device_failed) {
                write_buffer_audio(header);
                block->heard_ns +=
                    frames_ns(header->dwBytesRecorded / recording_settings.format.nBlockAlign);
                if (goes_on_after_loss(block, problem.text, &result)) continue;
                return result;
            }
            if (take_loss(block, header, &problem) == PART_TAKE_ENDS) return MMSYSERR_NOERROR;
        } else if (take_full_buffer(block, header) == BUFFER_TAKE_DONE) {
            return MMSYSERR_NOERROR;
        }
        header->dwBytesRecorded = 0;
        if (fixed_length(block) && block->queued >= block->total_buffers) continue;
        header->dwFlags = 0;
        result = queue_buffer(block, header);
        if (result != MMSYSERR_NOERROR) return result;
    }
}

/* After a stop request ended the loop and the device is stopped and reset: writes the full
   buffers it completed before the stop that still wait in the ring, in order, up to the first
   that is not full (the buffers a reset returns hold no audio, or a part of a buffer that is not
   kept) or the end of the take. */
static void take_waiting_buffers(CaptureBlock* block) {
    while (!ring_is_empty(block)) {
        if (fixed_length(block) && block->completed == block->total_buffers) return;
        const WAVEHDR* header = take_from_ring(block);
        if (header->dwBytesRecorded != header->dwBufferLength) return;
        if (take_full_buffer(block, header) == BUFFER_TAKE_DONE) return;
    }
}

/* Stops the device after an early end and takes back every buffer; when the loop ended at a stop
   request (stopped), the full buffers that came in before it are written first. */
static void stop_device(CaptureBlock* block, uint32_t queue_count, bool stopped) {
    report_mm_error("waveInStop (err)", waveInStop(block->device));
    report_mm_error("waveInReset (err)", waveInReset(block->device));
    if (stopped) take_waiting_buffers(block);
    for (uint32_t i = 0; i < queue_count; i++)
        report_mm_error("waveInUnprepareHeader (err)",
                        waveInUnprepareHeader(block->device, &block->headers[i], sizeof(WAVEHDR)));
    if (abort_requested.load()) print_keyboard_abort();
}

/* Cuts the current file back to its audio after `completed` buffers of the take, with a header
   that says so. */
static void cut_back_output(uint32_t completed) {
    rewrite_output_header(current_file_audio(completed));
}

/* Ends the parts, if any, after `completed` buffers of the take. Returns error, or
   MMSYSERR_ERROR when a take in parts lost audio on the way. */
static MMRESULT finish_take(uint32_t completed, MMRESULT error) {
    end_parts(completed);
    return error == MMSYSERR_NOERROR && part_losses() > 0 ? MMSYSERR_ERROR : error;
}

MMRESULT capture_audio(void) {
    const RecordingSettings& s = recording_settings;
    const uint32_t queue_count = (uint32_t)s.queue_seconds * (uint32_t)s.buffers_per_second;
    UINT device_id;
    if (!choose_device(&device_id)) {
        cut_back_output(0);
        return MMSYSERR_BADDEVICEID;
    }
    CaptureBlock* block = allocate_capture_block();
    if (!block) {
        print_capture_error("unknown", MMSYSERR_NOMEM);
        cut_back_output(0);
        return MMSYSERR_NOMEM;
    }

    prepare_second_part();
    MMRESULT error = start_capture(block, device_id, queue_count);
    if (error == MMSYSERR_NOERROR) error = run_capture_loop(block);
    if (error != MMSYSERR_NOERROR && !block->error_printed) print_capture_error("unknown", error);

    show_take_progress(block, true);
    if (abort_requested.load() || error != MMSYSERR_NOERROR || block->cut_short) {
        bool stopped = abort_requested.load() && error == MMSYSERR_NOERROR && !block->cut_short;
        if (block->device)
            stop_device(block, queue_count, stopped);
        else if (stopped)
            print_keyboard_abort(); /* while the take waited for the device */
        cut_back_output(block->completed);
    } else if (parts_aligned()) {
        /* An aligned part's file was prepared with a margin. */
        cut_back_output(block->completed);
    }
    end_progress_line();
    const uint32_t completed = block->completed;
    if (block->device) {
        report_mm_error("waveInReset", waveInReset(block->device));
        report_mm_error("waveInStop", waveInStop(block->device));
        MMRESULT closed = waveInClose(block->device);
        report_mm_error("waveInClose", closed);
        /* A device that would not close may still fill the buffers and signal the event: both
           stay until the process ends. */
        if (closed != MMSYSERR_NOERROR) return finish_take(completed, error);
    }
    if (block->done_event) CloseHandle(block->done_event);
    block->~CaptureBlock();
    free(block);
    return finish_take(completed, error);
}
