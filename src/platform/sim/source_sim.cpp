// The simulated capture device: an audio source (wave_source.h) for the test builds, with a
// signal that shows every gap and repeat, real-time pacing, and faults chosen by the environment.
//
// SIGNAL
//   Sample frames are numbered from 0, counting the frames a loss skips. In frame f, channel c
//   (counted from 0) holds
//     32 bits: the signed little-endian sample whose bit pattern is (f + c * 2^29) mod 2^32
//     24 bits: the packed signed little-endian sample whose bit pattern is (f + c * 2^21) mod
//              2^24
//     16 bits: the signed little-endian sample whose bit pattern is (f + c * 16384) mod 65536
//      8 bits: the unsigned byte (h(f) + c * 64) mod 256, where h(f) is the low byte of the
//              32-bit mix of f mod 2^32: x ^= x >> 16; x *= 0x7feb352d; x ^= x >> 15;
//              x *= 0x846ca68b; x ^= x >> 16
//     float:   the 24-bit sample's value over 2^23, exact in a 32-bit float (-1.0 up to 1.0)
//   so with 16 bits and more each channel is a counter that goes up by one per frame: audio
//   that arrives in order climbs by exactly 1 per frame, and a gap or a repeat breaks the count
//   (a gap of a multiple of 2^24 frames, or 65536 with 16 bits, would not show; the default
//   gap does). An 8-bit counter would wrap every 256 frames, so 8-bit frames carry a byte of a
//   hash of their number instead, which a checker told the first frame recomputes: any shift
//   shows within a few frames. A stop and a new start go on with the next frame number.
//
// PACING
//   Frames become available at speed times the sample rate, measured from the start, in
//   periods of 1/50 s of audio; a read takes what is available, waiting up to its timeout for
//   the next period. speed=0 hands out every read in full at once.
//
// WAVTAP_SIM
//   A comma-separated list of key=value items, read when a device is opened (and by
//   waveInGetNumDevs). Unset or empty: real-time pacing, two devices, no faults. A value with a '/'
//   and no '=' (the harness exports the program's own path under the same name) is the same
//   as unset. An item that is not understood is reported on standard error as
//   "WAVTAP_SIM: cannot use 'ITEM'", and then no device opens (MMSYSERR_NODRIVER) and the device
//   count is 0. Numbers are decimal. Counts of buffers mean capture buffers as the capture cuts
//   them: with B buffers a second (bps), buffer k holds rate/B frames, plus rate mod B more when
//   k is a multiple of B; "after N buffers" is the frame where buffer N begins.
//
//     speed=S            pace at S times real time; 0 = unpaced (default 1)
//     devices=N          device ids 0..N-1 exist, WAVE_MAPPER too when N > 0 (default 2);
//                        an id >= N gives MMSYSERR_BADDEVICEID, N = 0 gives MMSYSERR_NODRIVER
//     bps=B              buffers a second, as the program's -#b switch (default 10)
//     open=CODE          opening fails with MMRESULT CODE (nonzero)
//     stall_after=N      after N buffers the device delivers nothing more (reads return 0)
//     lose_after=N[:F]   audio is lost where buffer N begins: that read returns
//                        WAVE_SOURCE_LOST, and the frame count then jumps by the gap (F frames
//                        when given), so buffer N comes back with 0 bytes
//     short=K[:F]        audio is lost in the middle of buffer K (at its first frame plus half
//                        its frames, rounded down), so buffer K comes back half full
//     gap=F              frames a loss skips when it gives no length of its own (default 4/5
//                        of the rate: 0.8 s)
//     die_after=N        after N buffers the device fails for good (WAVE_SOURCE_FAILED)
//     back_after=MS      a device that failed (die_after) or stalled (stall_after) is gone:
//                        opens fail (MMSYSERR_NODRIVER for WAVE_MAPPER, MMSYSERR_BADDEVICEID
//                        for an id) until MS ms of real time have passed since the failure or
//                        the stall's first empty read, then open again; the device opened then
//                        neither fails nor stalls, and its frames go on from the frame captured
//                        MS ms after the failure on the device's clock (the frames between are
//                        skipped, as by a loss; buffer counts go on from the failed device's).
//                        The process remembers the failure from one open to the next only
//                        while back_after is given: an open without it forgets it
//     interrupt_after=N  after N buffers the device sends the process SIGINT, once, as Ctrl+C
//                        would: a stop at a known point of the audio
//     overrun=MS         the device holds at most MS ms of unread audio (paced only): a reader
//                        further behind loses everything held (WAVE_SOURCE_LOST) and goes on
//                        with the newest frame (default: the device holds any amount)
//     tell=FD            after every read that hands out frames, the count of frames handed
//                        out so far is written at offset 0 of descriptor FD (an open file), as
//                        20 decimal digits and a newline, so that a test can tell how much the
//                        program had captured when it was killed
//     clock=T            the device's clock reads T (seconds since 1970 UTC) at frame 0 and
//                        stands in for the system clock from the open on; before a device
//                        opens the system clock reads T (default: the system clock at the
//                        open, and the real system clock before it)
//     late=MS            the device's frame 0 is captured MS ms after T on its clock, as a
//                        sound server's first audio comes late: the stand-in system clock reads
//                        T before the open and T + MS from the open on
//     ppm=P              the device delivers rate * (1 + P / 10^6) frames a second of its
//                        clock (P may be negative, |P| < 10^6; default 0): frame f is captured
//                        at T + f / (rate * (1 + P / 10^6)) seconds, losses' frames counted
//     fail=CALL:N[:CODE] the N-th call (from 1) of waveInPrepareHeader, waveInAddBuffer,
//                        waveInStart, waveInUnprepareHeader, waveInStop, waveInReset or
//                        waveInClose (CALL = prepare, add, start, unprepare, stop, reset, close)
//                        returns CODE (nonzero, default 1 = MMSYSERR_ERROR) without acting;
//                        calls are counted per open device; may be given up to 16 times
//     silence=FROM:LENGTH the frames numbered from FROM ms for LENGTH ms (f from FROM * rate /
//                        1000 up to, not with, (FROM + LENGTH) * rate / 1000, rounded down) are
//                        at rest: every sample 0 (128 with 8 bits), level 0; may be given up to
//                        8 times
//
//   lose_after and short may be given up to 8 times together; of the other keys the last one
//   given counts. Problem texts (a short buffer's, describe_short_buffer): "Input overran: audio
//   was lost (X.X s)" with the seconds skipped (and the frames skipped as its length), and
//   "Input device failed: the device stopped working". After a stall the wave-input service itself
//   says "The input device stopped delivering audio." once a second has passed without audio.
//
//   Example: WAVTAP_SIM=speed=20,stall_after=37,fail=add:51:11
//
// NAMES
//   The device list shows WAVE_MAPPER as "sim" and device id n as "sim n+1". A device named
//   with -i opens WAVE_MAPPER when the name is "sim"; any other name fails to open with
//   MMSYSERR_NODRIVER and a text that names it.
#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <csignal>
#include <new>
#include <unistd.h>

#include "platform/posix/monotonic_clock.h"
#include "platform/posix/wave_source.h"
#include "platform/sim/sim_config.h"
#include "wave/wave_header.h"

#define NO_FRAME UINT64_MAX

struct WaveSource {
    SimConfig config;      /* from WAVTAP_SIM at open */
    uint32_t rate;         /* frames a second */
    unsigned channels;     /* samples a frame */
    unsigned sample_bytes; /* 1, 2, 3 or 4 */
    bool float_samples;    /* 32-bit floats rather than integers */
    uint32_t frame_bytes;  /* bytes a frame */
    uint64_t period;       /* frames the paced device hands over at a time */
    bool started;          /* between start and stop */
    uint64_t delivered;    /* frames handed out by reads */
    uint64_t skipped;      /* frames jumped over by losses: frame number = delivered + skipped */
    uint64_t opened_at;    /* delivered at the open: earlier frames were an earlier open's */
    uint64_t consumed;     /* frames gone from the paced flow: delivered + overrun losses */
    uint64_t pace_base;    /* consumed when the pace last began */
    timespec pace_start;   /* when the pace last began (monotonic) */
    uint64_t losses[SIM_MAX_LOSSES]; /* delivered counts where scripted losses lie, ascending */
    uint64_t gaps[SIM_MAX_LOSSES];   /* frames each of them skips */
    unsigned loss_count;             /* entries in losses */
    unsigned next_loss;              /* the first loss still to come */
    uint64_t gap;                    /* frames a scripted loss without a length skips */
    uint64_t quiet_from[SIM_MAX_SILENCES]; /* first frame number of each scripted silence */
    uint64_t quiet_to[SIM_MAX_SILENCES];   /* the frame number after each */
    uint64_t stall_at;                     /* delivered count where the flow stops, or NO_FRAME */
    uint64_t die_at;                       /* delivered count where the device fails, or NO_FRAME */
    uint64_t interrupt_at;                 /* delivered count where SIGINT goes out, or NO_FRAME */
    char problem[160];                     /* the last loss or failure */
    int64_t lost_frames;                   /* frames the last loss skipped, -1 after a failure */
    std::atomic<bool> interrupted;         /* wave_source_interrupt was called: the wait ends */
    int64_t clock_base_ns;                 /* the device's clock at frame 0, ns since 1970 UTC */
    long double frames_per_ns;             /* frames the device delivers per ns of its clock */
};

/* What the device went through in this process, kept from one open to the next: a device that
   failed or stalled is gone until back_after has passed. Written by the device thread at the
   failure, read by the opener once the failed device is closed. */
static struct {
    bool died;             /* die_after has failed: it does not fail again */
    bool stalled;          /* stall_after has stalled: it does not stall again */
    bool gone;             /* the device failed or stalled, and has not opened again since */
    timespec gone_at;      /* when (monotonic) */
    uint64_t delivered;    /* the gone device's delivered count then */
    uint64_t skipped;      /* its skipped count then */
    unsigned next_loss;    /* its first scripted loss still to come */
    int64_t clock_base_ns; /* its clock at frame 0 */
} sim_history;

/* The clock that stands in for the system clock: the last opened device's, at the frame it
   captures next. Written by the device thread (at each read) and the opener, read by any. */
static struct {
    std::atomic<bool> running;   /* a device has been opened: now_ns is its clock */
    std::atomic<int64_t> now_ns; /* the device's clock at its next frame */
} sim_clock;

static int64_t real_clock_ns(void) {
    timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    return (int64_t)now.tv_sec * 1000000000 + now.tv_nsec;
}

/* The device's clock at frame number f (losses' frames counted). */
static int64_t frame_clock_ns(const WaveSource* source, uint64_t f) {
    return source->clock_base_ns + (int64_t)llroundl((long double)f / source->frames_per_ns);
}

/* Moves the stand-in system clock to the frame the device captures next. */
static void advance_clock(const WaveSource* source) {
    sim_clock.now_ns.store(frame_clock_ns(source, source->delivered + source->skipped));
}

static bool read_config(SimConfig* config) {
    char error[160];
    if (sim_config_parse(getenv("WAVTAP_SIM"), config, error, sizeof error)) return true;
    fprintf(stderr, "%s\n", error);
    return false;
}

int64_t wave_source_clock_ns(void) {
    if (sim_clock.running.load()) return sim_clock.now_ns.load();
    SimConfig config;
    if (read_config(&config) && config.clock_start != SIM_NEVER)
        return config.clock_start * 1000000000;
    return real_clock_ns();
}

bool wave_source_frame_time(WaveSource* source, uint64_t frame, int64_t* unix_ns) {
    /* The frames skipped before frame: all so far but the scripted gaps that lie after it. */
    uint64_t skipped = source->skipped;
    frame += source->opened_at;
    for (unsigned i = 0; i < source->next_loss; i++)
        if (source->losses[i] > frame) skipped -= source->gaps[i];
    *unix_ns = frame_clock_ns(source, frame + skipped);
    return true;
}

UINT wave_source_count(void) {
    SimConfig config;
    return read_config(&config) ? config.devices : 0;
}

/* The name given for WAVE_MAPPER and the last open's failure; main thread. */
static struct {
    char mapper_name[128];  /* "" for the plain WAVE_MAPPER */
    char open_failure[192]; /* "" when the open failure has only its standard text */
} naming;

void wave_source_list(FILE* out) {
    UINT count = wave_source_count();
    if (count == 0) {
        fprintf(out, "No input device was found.\n");
        return;
    }
    fprintf(out, " 0  sim  (the simulated default device)\n");
    for (UINT id = 0; id < count; id++)
        fprintf(out, "%2u  sim %u  simulated device\n", id + 1, id + 1);
}

void wave_source_name_mapper(const char* name) {
    snprintf(naming.mapper_name, sizeof naming.mapper_name, "%s", name);
}

void wave_source_describe_open_failure(char* text, size_t text_size) {
    if (text_size > 0) snprintf(text, text_size, "%s", naming.open_failure);
}

static uint64_t buffer_frame(const SimConfig* config, uint32_t rate, int64_t buffer) {
    return buffer == SIM_NEVER
               ? NO_FRAME
               : capture_buffer_start(rate, config->buffers_per_second, (uint64_t)buffer);
}

/* Places the scripted losses in delivered frames, in ascending order. */
static void place_losses(WaveSource* source) {
    const SimConfig* config = &source->config;
    for (unsigned i = 0; i < config->loss_count; i++) {
        uint64_t at = capture_buffer_start(source->rate, config->buffers_per_second,
                                           config->losses[i].buffer);
        if (config->losses[i].middle)
            at += (capture_buffer_start(source->rate, config->buffers_per_second,
                                        config->losses[i].buffer + 1) -
                   at) /
                  2;
        uint64_t gap =
            config->losses[i].gap == SIM_NEVER ? source->gap : (uint64_t)config->losses[i].gap;
        unsigned j = source->loss_count++;
        for (; j > 0 && source->losses[j - 1] > at; j--) {
            source->losses[j] = source->losses[j - 1];
            source->gaps[j] = source->gaps[j - 1];
        }
        source->losses[j] = at;
        source->gaps[j] = gap;
    }
}

/* Whether the device is gone (failed or stalled, and back_after not passed yet). */
static bool device_gone(const SimConfig* config) {
    if (!sim_history.gone) return false;
    if (config->back_after_ms == SIM_NEVER) return true;
    timespec now = monotonic_now();
    int64_t gone_ms = (int64_t)(now.tv_sec - sim_history.gone_at.tv_sec) * 1000 +
                      (now.tv_nsec - sim_history.gone_at.tv_nsec) / 1000000;
    return gone_ms < config->back_after_ms;
}

/* Remembers the failure or stall that source has just met, for the device opened after it. */
static void note_gone(const WaveSource* source) {
    sim_history.gone = true;
    sim_history.gone_at = monotonic_now();
    sim_history.delivered = source->delivered;
    sim_history.skipped = source->skipped;
    sim_history.next_loss = source->next_loss;
    sim_history.clock_base_ns = source->clock_base_ns;
}

/* A device opened after one that was gone goes on from that one's counts, MS ms later on its
   clock, and neither fails nor stalls again. */
static void come_back(WaveSource* source) {
    sim_history.gone = false;
    source->delivered = source->consumed = source->opened_at = sim_history.delivered;
    source->next_loss = sim_history.next_loss;
    source->clock_base_ns = sim_history.clock_base_ns;
    source->skipped =
        sim_history.skipped + (uint64_t)llroundl((long double)source->config.back_after_ms * 1e6L *
                                                 source->frames_per_ns);
}

MMRESULT wave_source_open(UINT device_id, const WAVEFORMATEX* format, WaveSource** result) {
    naming.open_failure[0] = '\0';
    if (device_id == WAVE_MAPPER && naming.mapper_name[0] != '\0' &&
        strcmp(naming.mapper_name, "sim") != 0) {
        snprintf(naming.open_failure, sizeof naming.open_failure,
                 "The simulated device has no PCM \"%s\".", naming.mapper_name);
        return MMSYSERR_NODRIVER;
    }
    SimConfig config;
    if (!read_config(&config)) return MMSYSERR_NODRIVER;
    if (config.open_result != MMSYSERR_NOERROR) return config.open_result;
    if (config.devices == 0) return MMSYSERR_NODRIVER;
    if (device_id != WAVE_MAPPER && device_id >= config.devices) return MMSYSERR_BADDEVICEID;
    if (!wave_format_is_capturable(format)) return WAVERR_BADFORMAT;
    if (config.back_after_ms == SIM_NEVER) sim_history = {};
    if (device_gone(&config))
        return device_id == WAVE_MAPPER ? MMSYSERR_NODRIVER : MMSYSERR_BADDEVICEID;
    WaveSource* source = new (std::nothrow) WaveSource();
    if (!source) return MMSYSERR_NOMEM;
    source->config = config;
    source->rate = format->nSamplesPerSec;
    source->channels = format->nChannels;
    source->sample_bytes = format->wBitsPerSample / 8;
    source->float_samples = wave_format_is_float(format);
    source->frame_bytes = source->channels * source->sample_bytes;
    source->period = source->rate / 50 > 0 ? source->rate / 50 : 1;
    source->gap = config.gap_frames == SIM_NEVER ? (uint64_t)source->rate * 4 / 5
                                                 : (uint64_t)config.gap_frames;
    source->stall_at =
        sim_history.stalled ? NO_FRAME : buffer_frame(&config, source->rate, config.stall_after);
    source->die_at =
        sim_history.died ? NO_FRAME : buffer_frame(&config, source->rate, config.die_after);
    source->interrupt_at = buffer_frame(&config, source->rate, config.interrupt_after);
    place_losses(source);
    for (unsigned i = 0; i < config.silence_count; i++) {
        source->quiet_from[i] = config.silences[i].from_ms * source->rate / 1000;
        source->quiet_to[i] =
            (config.silences[i].from_ms + config.silences[i].length_ms) * source->rate / 1000;
    }
    source->clock_base_ns =
        (config.clock_start != SIM_NEVER ? config.clock_start * 1000000000 : real_clock_ns()) +
        config.late_ms * 1000000;
    source->frames_per_ns = (long double)source->rate * (1.0L + config.ppm / 1e6L) / 1e9L;
    if (sim_history.gone) come_back(source);
    advance_clock(source);
    sim_clock.running.store(true);
    *result = source;
    return MMSYSERR_NOERROR;
}

MMRESULT wave_source_start(WaveSource* source) {
    source->started = true;
    source->pace_start = monotonic_now();
    source->pace_base = source->consumed;
    return MMSYSERR_NOERROR;
}

MMRESULT wave_source_stop(WaveSource* source) {
    source->started = false;
    return MMSYSERR_NOERROR;
}

/* Frames the paced flow has produced up to now, counted like consumed. The device hands
   them over a period at a time. */
static uint64_t produced_frames(const WaveSource* source, timespec now) {
    long double seconds = (long double)(now.tv_sec - source->pace_start.tv_sec) +
                          (long double)(now.tv_nsec - source->pace_start.tv_nsec) / 1e9L;
    if (seconds < 0) seconds = 0;
    uint64_t frames = (uint64_t)floorl(seconds * source->rate * (long double)source->config.speed);
    return source->pace_base + frames - frames % source->period;
}

/* Sleeps until the monotonic time wake, in short steps, or until the source is interrupted. */
static void sleep_until(WaveSource* source, timespec wake) {
    for (;;) {
        if (source->interrupted.exchange(false)) return;
        timespec now = monotonic_now();
        int64_t left_ns =
            (int64_t)(wake.tv_sec - now.tv_sec) * 1000000000 + (wake.tv_nsec - now.tv_nsec);
        if (left_ns <= 0) return;
        timespec step = {0, (long)(left_ns < 5000000 ? left_ns : 5000000)};
        nanosleep(&step, nullptr);
    }
}

/* Sleeps until the paced flow has produced more than consumed, the timeout passes or the
   source is interrupted. */
static void sleep_until_produced(WaveSource* source, uint32_t timeout_ms) {
    uint64_t needed = source->consumed + 1 - source->pace_base;
    needed += (source->period - needed % source->period) % source->period;
    long double seconds = (long double)needed / ((long double)source->rate * source->config.speed);
    timespec now = monotonic_now();
    long double limit = (long double)(now.tv_sec - source->pace_start.tv_sec) +
                        (long double)(now.tv_nsec - source->pace_start.tv_nsec) / 1e9L +
                        timeout_ms / 1000.0L;
    if (seconds > limit) seconds = limit;
    long double whole = floorl(seconds);
    timespec wake = source->pace_start;
    wake.tv_sec += (time_t)whole;
    wake.tv_nsec += (long)((seconds - whole) * 1e9L);
    if (wake.tv_nsec >= 1000000000) {
        wake.tv_sec++;
        wake.tv_nsec -= 1000000000;
    }
    sleep_until(source, wake);
}

static void sleep_ms(WaveSource* source, uint32_t milliseconds) {
    timespec wake = monotonic_now();
    wake.tv_sec += (time_t)(milliseconds / 1000);
    wake.tv_nsec += (long)(milliseconds % 1000) * 1000000;
    if (wake.tv_nsec >= 1000000000) {
        wake.tv_sec++;
        wake.tv_nsec -= 1000000000;
    }
    sleep_until(source, wake);
}

static int32_t report_loss(WaveSource* source, uint64_t frames) {
    source->skipped += frames;
    advance_clock(source);
    source->lost_frames = (int64_t)frames;
    snprintf(source->problem, sizeof source->problem, "Input overran: audio was lost (%.1f s)",
             (double)frames / source->rate);
    return WAVE_SOURCE_LOST;
}

/* The 32-bit mix of frame number f (mod 2^32) whose low byte the 8-bit signal carries. */
static uint32_t frame_hash(uint64_t f) {
    uint32_t x = (uint32_t)f;
    x ^= x >> 16;
    x *= 0x7feb352dU;
    x ^= x >> 15;
    x *= 0x846ca68bU;
    x ^= x >> 16;
    return x;
}

/* The bit pattern of channel c in frame f for samples of bytes bytes (float: 4). */
static uint32_t sample_pattern(uint64_t f, unsigned c, unsigned bytes, bool float_samples) {
    switch (float_samples ? 3 : bytes) {
    case 1:
        return (frame_hash(f) + c * 64) & 0xFF;
    case 2:
        return (uint32_t)((f + c * 16384) & 0xFFFF);
    case 3:
        return (uint32_t)((f + c * (1u << 21)) & 0xFFFFFF);
    default:
        return (uint32_t)(f + c * (1u << 29));
    }
}

/* The 32-bit float whose value is the 24-bit pattern read as a signed sample, over 2^23. */
static uint32_t float_pattern(uint32_t pattern24) {
    int32_t value = pattern24 >= 0x800000 ? (int32_t)pattern24 - 0x1000000 : (int32_t)pattern24;
    float sample = (float)value / 8388608.0f;
    uint32_t bits;
    memcpy(&bits, &sample, sizeof bits);
    return bits;
}

/* Whether frame number f lies in a scripted silence. */
static bool frame_at_rest(const WaveSource* source, uint64_t f) {
    for (unsigned i = 0; i < source->config.silence_count; i++)
        if (f >= source->quiet_from[i] && f < source->quiet_to[i]) return true;
    return false;
}

static void fill_frames(const WaveSource* source, BYTE* dest, uint64_t frames) {
    uint64_t first = source->delivered + source->skipped;
    for (uint64_t i = 0; i < frames; i++) {
        if (frame_at_rest(source, first + i)) {
            memset(dest, source->sample_bytes == 1 ? 128 : 0, source->frame_bytes);
            dest += source->frame_bytes;
            continue;
        }
        for (unsigned c = 0; c < source->channels; c++) {
            uint32_t value =
                sample_pattern(first + i, c, source->sample_bytes, source->float_samples);
            if (source->float_samples) value = float_pattern(value);
            for (unsigned b = 0; b < source->sample_bytes; b++)
                *dest++ = (BYTE)(value >> (8 * b));
        }
    }
}

static uint64_t smaller(uint64_t a, uint64_t b) {
    return a < b ? a : b;
}

/* Tells the frames delivered so far to the descriptor that tell= names, if any. */
static void tell_delivered(const WaveSource* source) {
    if (source->config.tell_fd < 0) return;
    char text[24];
    int length = snprintf(text, sizeof text, "%020llu\n", (unsigned long long)source->delivered);
    if (pwrite(source->config.tell_fd, text, (size_t)length, 0) != length) return;
}

int32_t wave_source_read(WaveSource* source, void* dest, uint32_t max_bytes, uint32_t timeout_ms) {
    uint64_t frames = smaller(max_bytes, 0x7FFFFFFF) / source->frame_bytes;
    if (frames == 0 || !source->started) return 0;
    uint64_t next_loss =
        source->next_loss < source->loss_count ? source->losses[source->next_loss] : NO_FRAME;
    if (source->delivered == next_loss) {
        return report_loss(source, source->gaps[source->next_loss++]);
    }
    if (source->delivered >= source->die_at) {
        snprintf(source->problem, sizeof source->problem,
                 "Input device failed: the device stopped working");
        source->lost_frames = -1;
        if (!sim_history.died && source->config.back_after_ms != SIM_NEVER) note_gone(source);
        sim_history.died = source->config.back_after_ms != SIM_NEVER;
        return WAVE_SOURCE_FAILED;
    }
    if (source->delivered >= source->stall_at) {
        if (!sim_history.stalled && source->config.back_after_ms != SIM_NEVER) note_gone(source);
        sim_history.stalled = source->config.back_after_ms != SIM_NEVER;
        sleep_ms(source, timeout_ms);
        return 0;
    }
    frames = smaller(frames, next_loss - source->delivered);
    frames = smaller(frames, source->die_at - source->delivered);
    frames = smaller(frames, source->stall_at - source->delivered);
    if (source->interrupt_at > source->delivered)
        frames = smaller(frames, source->interrupt_at - source->delivered);
    if (source->config.speed > 0) {
        uint64_t held = produced_frames(source, monotonic_now()) - source->consumed;
        uint64_t capacity = (uint64_t)source->rate * source->config.overrun_ms / 1000;
        if (source->config.overrun_ms > 0 && held > capacity) {
            source->consumed += held;
            return report_loss(source, held);
        }
        if (held == 0) {
            sleep_until_produced(source, timeout_ms);
            held = produced_frames(source, monotonic_now()) - source->consumed;
            if (held == 0) return 0;
        }
        frames = smaller(frames, held);
    }
    fill_frames(source, static_cast<BYTE*>(dest), frames);
    source->delivered += frames;
    source->consumed += frames;
    advance_clock(source);
    tell_delivered(source);
    if (source->delivered == source->interrupt_at) kill(getpid(), SIGINT);
    return (int32_t)(frames * source->frame_bytes);
}

void wave_source_interrupt(WaveSource* source) {
    source->interrupted.store(true);
}

void wave_source_describe_problem(WaveSource* source, char* text, size_t text_size) {
    snprintf(text, text_size, "%s", source->problem);
}

int64_t wave_source_lost_frames(WaveSource* source) {
    return source->lost_frames;
}

MMRESULT wave_source_injected_fault(WaveSource* source, const char* call, unsigned n) {
    for (unsigned i = 0; i < source->config.fault_count; i++) {
        const SimFault* fault = &source->config.faults[i];
        if (fault->n == n && strcmp(fault->call, call) == 0) return fault->code;
    }
    return MMSYSERR_NOERROR;
}

void wave_source_close(WaveSource* source) {
    delete source;
}
