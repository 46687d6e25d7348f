// Takes in parts: when the capture moves on to the next part (its buffers done, an aligned
// boundary, a loss), which part is prepared after it, and the losses that cut a part short.
#include "capture/parts.h"

#include <cerrno>
#include <cstdio>

#include "capture/messages.h"
#include "capture/take_clock.h"
#include "platform/file_services.h"
#include "settings/settings.h"
#include "wave/output_file.h"
#include "wave/take_files.h"
#include "wave/wave_header.h"
#include "wave/write_buffer.h"

#define NS_PER_S 1000000000LL

/* The take in parts. Main thread only. */
struct TakeParts {
    uint32_t number;       /* the current part, from 1 */
    uint32_t first_buffer; /* the take's buffer count where the current part began */
    uint64_t recorded;     /* frames of the take in the finished parts */
    uint32_t buffers;      /* buffers in the current part when full (nominal when aligned) */
    uint32_t next_buffers; /* buffers of the part prepared ahead */
    bool created;          /* this run created the current part's file */
    uint64_t lost_frames;  /* audio lost so far, as the device measured it */
    uint32_t losses;       /* losses so far */
    uint32_t unmeasured;   /* losses whose length the device did not say */
    bool device_gone;      /* the device failed: the current part is cut back, the take waits */
    uint64_t gone_frames;  /* frames of the times the device was gone, counted as buffers done */
};

static TakeParts take_parts = {1, 0, 0, 0, 0, false, 0, 0, 0, false, 0};

static bool in_parts(void) {
    return recording_settings.part_seconds > 0;
}

bool parts_aligned(void) {
    return in_parts() && recording_settings.align_parts != 0;
}

static uint32_t take_buffers(void) {
    return (uint32_t)recording_settings.seconds * (uint32_t)recording_settings.buffers_per_second;
}

static uint32_t full_part_buffers(void) {
    return (uint32_t)recording_settings.part_seconds *
           (uint32_t)recording_settings.buffers_per_second;
}

/* Buffers of a part that begins after `done` buffers of the take: a full part, or what is left
   of a take of fixed length (0: there is no such part). */
static uint32_t buffers_after(uint32_t done) {
    uint32_t total = take_buffers();
    if (total == 0) return full_part_buffers();
    uint32_t left = total > done ? total - done : 0;
    return left < full_part_buffers() ? left : full_part_buffers();
}

/* The time (s since 1970 UTC) at which a part that begins after `done` buffers of the take
   begins, counted from the take's start. */
static int64_t start_after(uint32_t done) {
    const TakeParts& t = take_parts;
    uint32_t per_second = (uint32_t)recording_settings.buffers_per_second;
    return take_start_ns() / NS_PER_S + (int64_t)(done / per_second) +
           (int64_t)(t.lost_frames / recording_settings.format.nSamplesPerSec);
}

/* Whether the audio of the take goes on past unix_s, `completed` buffers of it being done: the
   buffers left run from the first frame of the buffer the clock noted last (the one being taken),
   when it has one, else the whole take from its start. A take without end always does. */
static bool take_goes_past(uint32_t completed, int64_t unix_s) {
    uint32_t total = take_buffers();
    if (total == 0) return true;
    int64_t from_ns = 0;
    uint32_t left = total > completed ? total - completed : 0;
    if (!clock_buffer_start_ns(&from_ns)) {
        from_ns = take_start_ns();
        left = total;
    }
    int64_t left_ns =
        (int64_t)((uint64_t)left * NS_PER_S / (uint32_t)recording_settings.buffers_per_second);
    return unix_s * NS_PER_S < from_ns + left_ns;
}

/* Prepares the part after the current one, unless the take ends first: it begins after `done`
   buffers of the take and at unix_s, or aligned at the boundary unix_s, `done` being the buffers
   done before the one being taken. */
static void prepare_part(uint32_t done, int64_t unix_s) {
    TakeParts& t = take_parts;
    if (parts_aligned()) {
        if (!take_goes_past(done, unix_s)) return;
        t.next_buffers = full_part_buffers();
    } else {
        t.next_buffers = buffers_after(done);
        if (t.next_buffers == 0) return;
    }
    prepare_next_file(t.number + 1, unix_s, part_file_length(t.next_buffers));
}

/* Prepares the part after the one that became the output at `completed` buffers of the take:
   aligned, it begins at the current part's boundary; otherwise once the current part is full. */
static void prepare_part_after(uint32_t completed) {
    const TakeParts& t = take_parts;
    if (parts_aligned())
        prepare_part(completed, clock_next_boundary_s());
    else
        prepare_part(completed + t.buffers, start_after(completed + t.buffers));
}

void prepare_second_part(void) {
    start_take_clock(take_start_ns());
    if (!in_parts()) return;
    TakeParts& t = take_parts;
    t.buffers = (uint32_t)first_file_buffers();
    if (parts_aligned())
        prepare_part(0, clock_next_boundary_s());
    else
        prepare_part(t.buffers, start_after(t.buffers));
}

uint32_t part_buffers_done(uint32_t completed) {
    return completed - take_parts.first_buffer;
}

uint32_t current_part_number(void) {
    return in_parts() ? take_parts.number : 0;
}

uint32_t part_buffer_count(void) {
    return in_parts() ? take_parts.buffers : take_buffers();
}

/* Writes out the staged bytes and returns the bytes of audio the current file holds. */
static uint64_t written_audio(void) {
    flush_output();
    int64_t end = tell_stream(disk_write_buffer.stream);
    return end > (int64_t)wave_header_size() ? (uint64_t)end - wave_header_size() : 0;
}

uint64_t current_file_audio(uint32_t completed) {
    if ((parts_aligned() || take_parts.device_gone) && disk_write_buffer.stream)
        return written_audio();
    return wave_data_size(part_buffers_done(completed));
}

/* Makes the prepared part, which begins after `completed` buffers, the output: the current
   file, which holds data_size bytes of audio, is closed, the new one's header staged. */
static void switch_part(uint32_t completed, uint64_t data_size) {
    TakeParts& t = take_parts;
    t.recorded += data_size / recording_settings.format.nBlockAlign;
    t.created = switch_to_next_file((int32_t)t.next_buffers);
    t.number++;
    t.first_buffer = completed;
    t.buffers = t.next_buffers;
}

PartStep part_after_buffer(uint32_t completed) {
    TakeParts& t = take_parts;
    if (!in_parts() || parts_aligned() || completed - t.first_buffer < t.buffers) return PART_GO_ON;
    if (take_files_failed()) return PART_TAKE_ENDS;
    if (!next_file_ready()) return PART_GO_ON; /* the take's last part */
    switch_part(completed, wave_data_size(t.buffers));
    clock_file_switched(false);
    prepare_part_after(completed);
    return PART_GO_ON;
}

/* Rewrites the current file's header for every byte of audio written to it and cuts the file
   to match. Returns those bytes. */
static uint64_t cut_back_part(void) {
    uint64_t data_size = written_audio();
    rewrite_output_header(data_size);
    return data_size;
}

PartStep part_at_boundary(uint32_t completed) {
    TakeParts& t = take_parts;
    if (take_files_failed()) return PART_TAKE_ENDS;
    int64_t following = clock_following_boundary_s();
    int64_t boundary_ns = clock_pass_boundary();
    if (!next_file_ready()) {
        /* The audio goes on past the end the take was thought to have (a sound server's first
           audio came late, or the card runs slow): the part for this boundary is prepared now. */
        t.next_buffers = full_part_buffers();
        if (!prepare_next_file(t.number + 1, boundary_ns / NS_PER_S,
                               part_file_length(t.next_buffers)))
            return PART_TAKE_ENDS;
    }
    /* The finished part keeps its own start in its final header; the next one begins at the
       boundary. */
    switch_part(completed, cut_back_part());
    clock_begin_file_at(boundary_ns);
    prepare_part(completed, following);
    return PART_GO_ON;
}

PartStep part_after_loss(uint32_t completed, const char* text, int64_t lost_frames) {
    TakeParts& t = take_parts;
    const RecordingSettings& s = recording_settings;
    uint64_t data_size = cut_back_part();
    t.losses++;
    if (lost_frames >= 0)
        t.lost_frames += (uint64_t)lost_frames;
    else
        t.unmeasured++;
    print_audio_lost(t.recorded + data_size / s.format.nBlockAlign, disk_write_buffer.path, text);
    if (take_files_failed()) return PART_TAKE_ENDS;
    /* The new part starts after the gap and is a full part again, unless the take ends first.
       When the current part was the take's last, the new one is prepared now. Aligned, it runs
       to the boundary the current part would have ended at. */
    uint32_t buffers = parts_aligned() ? full_part_buffers() : buffers_after(completed);
    int64_t name_s = parts_aligned() ? clock_next_boundary_s() : start_after(completed);
    if (!next_file_ready()) {
        prepare_part(completed, name_s);
        if (take_files_failed()) return PART_TAKE_ENDS;
    } else if (buffers != t.next_buffers) {
        if (!resize_next_file(part_file_length(buffers))) return PART_TAKE_ENDS;
        t.next_buffers = buffers;
    }
    switch_part(completed, data_size);
    clock_file_switched(true);
    print_take_goes_on(disk_write_buffer.path);
    prepare_part_after(completed);
    return PART_GO_ON;
}

PartStep part_device_lost(const char* text) {
    TakeParts& t = take_parts;
    uint64_t data_size = cut_back_part();
    t.recorded += data_size / recording_settings.format.nBlockAlign;
    t.losses++;
    t.device_gone = true;
    print_audio_lost(t.recorded, disk_write_buffer.path, text);
    return take_files_failed() ? PART_TAKE_ENDS : PART_GO_ON;
}

void count_device_gap(uint64_t gone_frames) {
    take_parts.gone_frames += gone_frames;
}

void count_unmeasured_gap(void) {
    take_parts.unmeasured++;
}

PartStep part_device_back(uint32_t completed, int64_t first_s) {
    TakeParts& t = take_parts;
    t.device_gone = false;
    /* The part that begins now runs to the next boundary (aligned: named by its first frame's
       time, as the take's first part is) or is a full part, unless the take ends first. The part
       prepared ahead is sized for it; named by a time before the gap, it is prepared again under
       the new time's name (a name of its own: the dropped one counts as used). */
    uint32_t buffers = parts_aligned() ? full_part_buffers() : buffers_after(completed);
    if (parts_named_by_time() || !next_file_ready()) {
        drop_next_file();
        int64_t name_s = parts_aligned() ? first_s : start_after(completed);
        prepare_next_file(t.number + 1, name_s, part_file_length(buffers));
    } else if (buffers != t.next_buffers) {
        resize_next_file(part_file_length(buffers));
    }
    t.next_buffers = buffers;
    if (take_files_failed()) return PART_TAKE_ENDS;
    switch_part(completed, 0);
    clock_file_switched(true);
    print_take_goes_on(disk_write_buffer.path);
    prepare_part_after(completed);
    return PART_GO_ON;
}

uint32_t part_losses(void) {
    return take_parts.losses;
}

void end_parts(uint32_t completed) {
    TakeParts& t = take_parts;
    if (!in_parts()) return;
    drop_next_file();
    if (t.number > 1 && t.created && completed == t.first_buffer) {
        close_output();
        remove_file(disk_write_buffer.path);
    }
    if (t.losses > 0) print_loss_summary(t.losses, t.unmeasured, t.lost_frames + t.gone_frames);
    end_take_clock();
    end_take_files();
}
