// The take's clock: aligned boundaries placed at the frame the capture's time stamps put at
// them, the files' start times, and the sound card's rate against the system clock.
#include "capture/take_clock.h"

#include <cmath>
#include <cstdint>

#include "capture/messages.h"
#include "capture/parts.h"
#include "settings/settings.h"
#include "wave/file_start.h"
#include "wave/take_files.h"
#include "wave/write_buffer.h"

#define NS_PER_S 1000000000LL
/* A part's rate is reported when it moved by REPORT_STEP_PPM, and only over REPORT_MIN_NS of
   audio at least: time stamps jitter by a millisecond or so. */
#define REPORT_STEP_PPM 10.0
#define REPORT_MIN_NS (60 * NS_PER_S)

/* A point of the take's audio on the system clock. */
struct ClockStamp {
    bool set;        /* the stamp below holds */
    uint64_t frame;  /* the frame's count in the take's audio since the last loss */
    int64_t unix_ns; /* when it was captured */
};

/* The take's clock. Main thread only. */
struct TakeClock {
    int64_t next_ns;       /* the boundary the current part ends at (aligned parts) */
    uint64_t frames;       /* frames noted since the last loss */
    ClockStamp buffer;     /* the first frame of the buffer last noted */
    ClockStamp part_start; /* the first stamp of the current part's rate measurement */
    ClockStamp take_start; /* the first stamp of the take's (since the last loss) */
    bool file_pending;     /* the next buffer noted begins a file */
    double reported_ppm;   /* the rate last reported (0 before any report) */
};

static TakeClock take_clock;

static bool aligned(void) {
    return recording_settings.part_seconds > 0 && recording_settings.align_parts != 0;
}

void start_take_clock(int64_t start_ns) {
    TakeClock& c = take_clock;
    c = TakeClock();
    c.file_pending = true;
    if (aligned()) c.next_ns = next_aligned_boundary(start_ns);
}

/* Sets the current file's start to unix_ns, whose frame count since the zone's midnight is
   frames_since_midnight. */
static void set_start(int64_t unix_ns, uint64_t frames_since_midnight) {
    ZoneTime zone = zone_time(unix_ns / NS_PER_S);
    FileStart start = {true, unix_ns, zone.offset_s, frames_since_midnight, current_part_number()};
    set_file_start(&start);
}

/* The frames since the zone's midnight of the instant unix_ns. */
static uint64_t frames_since_midnight(int64_t unix_ns) {
    int64_t s = unix_ns / NS_PER_S;
    int64_t day_s = zone_time(s).local_s % 86400;
    if (day_s < 0) day_s += 86400;
    long double since = (long double)day_s + (long double)(unix_ns - s * NS_PER_S) / NS_PER_S;
    return (uint64_t)llroundl(since * recording_settings.format.nSamplesPerSec);
}

void clock_note_buffer(bool timed, int64_t first_ns, uint32_t frames) {
    TakeClock& c = take_clock;
    c.buffer = ClockStamp{timed, c.frames, first_ns};
    if (timed && !c.part_start.set) c.part_start = c.buffer;
    if (timed && !c.take_start.set) c.take_start = c.buffer;
    if (c.file_pending && timed) set_start(first_ns, frames_since_midnight(first_ns));
    c.file_pending = false;
    c.frames += frames;
}

uint32_t clock_boundary_frame(uint32_t frames) {
    const TakeClock& c = take_clock;
    if (!aligned() || !c.buffer.set) return frames;
    int64_t ahead_ns = c.next_ns - c.buffer.unix_ns;
    if (ahead_ns <= 0) return 0;
    long double frame = ceill((long double)ahead_ns * recording_settings.format.nSamplesPerSec /
                              (long double)NS_PER_S);
    return frame < (long double)frames ? (uint32_t)frame : frames;
}

bool clock_buffer_start_ns(int64_t* unix_ns) {
    if (!take_clock.buffer.set) return false;
    *unix_ns = take_clock.buffer.unix_ns;
    return true;
}

int64_t clock_next_boundary_s(void) {
    return take_clock.next_ns / NS_PER_S;
}

int64_t clock_following_boundary_s(void) {
    return next_aligned_boundary(take_clock.next_ns) / NS_PER_S;
}

/* The rate of the audio between stamps from and to against the system clock, in ppm. False when
   they are too close to tell. */
static bool measure_ppm(const ClockStamp& from, const ClockStamp& to, double* ppm) {
    if (!from.set || !to.set || to.unix_ns <= from.unix_ns || to.frame <= from.frame) return false;
    long double seconds = (long double)(to.unix_ns - from.unix_ns) / NS_PER_S;
    long double rate = (long double)(to.frame - from.frame) / seconds;
    *ppm = (double)((rate / recording_settings.format.nSamplesPerSec - 1.0L) * 1e6L);
    return true;
}

int64_t clock_pass_boundary(void) {
    TakeClock& c = take_clock;
    double ppm;
    bool long_enough = c.buffer.unix_ns - c.part_start.unix_ns >= REPORT_MIN_NS;
    if (long_enough && measure_ppm(c.part_start, c.buffer, &ppm) &&
        fabs(ppm - c.reported_ppm) > REPORT_STEP_PPM) {
        print_part_clock(disk_write_buffer.path, ppm);
        c.reported_ppm = ppm;
    }
    c.part_start = c.buffer;
    int64_t passed = c.next_ns;
    c.next_ns = next_aligned_boundary(c.next_ns);
    return passed;
}

void clock_begin_file_at(int64_t boundary_ns) {
    /* A buffer that begins after the boundary (the first audio came late, or after a gap) goes
       to the new file whole: its first frame is the file's. */
    const ClockStamp& b = take_clock.buffer;
    int64_t first_ns = b.set && b.unix_ns > boundary_ns ? b.unix_ns : boundary_ns;
    set_start(first_ns, frames_since_midnight(first_ns));
}

void clock_file_switched(bool after_loss) {
    TakeClock& c = take_clock;
    c.file_pending = true;
    if (!after_loss) return;
    c.part_start = ClockStamp();
    c.take_start = ClockStamp();
    c.buffer = ClockStamp();
    c.frames = 0;
}

void clock_after_gap(int64_t first_ns) {
    if (aligned()) take_clock.next_ns = next_aligned_boundary(first_ns);
}

void end_take_clock(void) {
    const TakeClock& c = take_clock;
    double ppm;
    if (aligned() && measure_ppm(c.take_start, c.buffer, &ppm)) print_take_clock(ppm);
}
