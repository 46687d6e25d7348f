// The simulated device's settings, read from the WAVTAP_SIM environment variable (the syntax is
// described at the top of source_sim.cpp).
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/win32_compat.h"

#define SIM_MAX_FAULTS 16  /* fail= items */
#define SIM_MAX_LOSSES 8   /* lose_after= and short= items together */
#define SIM_MAX_SILENCES 8 /* silence= items */
#define SIM_NEVER (-1)     /* a count that is not set */

/* The n-th call of a wave-input call that fails. */
struct SimFault {
    char call[12]; /* "prepare", "add", "start", "unprepare", "stop", "reset" or "close" */
    unsigned n;    /* which call, counted from 1 */
    MMRESULT code; /* what it returns */
};

/* A scripted loss of audio, placed in capture buffers. */
struct SimLoss {
    uint64_t buffer; /* the loss lies at the start of this buffer (counted from 0)... */
    bool middle;     /* ...or in its middle */
    int64_t gap;     /* frames it skips, or SIM_NEVER for the gap= length */
};

/* A scripted stretch of silence, in ms of the device's frame numbers. */
struct SimSilence {
    uint64_t from_ms;   /* where it begins */
    uint64_t length_ms; /* how long it lasts */
};

struct SimConfig {
    unsigned speed;                 /* pace: times real time; 0 = as fast as it is read */
    unsigned devices;               /* number of devices */
    unsigned buffers_per_second;    /* the buffer size that buffer counts refer to */
    MMRESULT open_result;           /* what opening returns */
    int64_t stall_after;            /* buffers delivered before the flow stops, or SIM_NEVER */
    int64_t die_after;              /* buffers delivered before the device fails, or SIM_NEVER */
    int64_t interrupt_after;        /* buffers delivered before SIGINT is sent, or SIM_NEVER */
    int64_t back_after_ms;          /* a failed device opens again this long after, or SIM_NEVER */
    int64_t gap_frames;             /* frames skipped by a loss, or SIM_NEVER for 0.8 s */
    unsigned overrun_ms;            /* audio the device holds unread; 0 = any amount */
    int tell_fd;                    /* descriptor told the frames delivered, or -1 */
    int64_t clock_start;            /* the device's clock at its first frame, s since 1970 UTC,
                                       or SIM_NEVER for the system clock at the open */
    int32_t ppm;                    /* the device's rate against its clock, in ppm (+: fast) */
    int64_t late_ms;                /* its first frame is captured this long after the open */
    SimLoss losses[SIM_MAX_LOSSES]; /* scripted losses, as given */
    unsigned loss_count;            /* entries in losses */
    SimSilence silences[SIM_MAX_SILENCES]; /* scripted silences, as given */
    unsigned silence_count;                /* entries in silences */
    SimFault faults[SIM_MAX_FAULTS];       /* injected call failures */
    unsigned fault_count;                  /* entries in faults */
};

/* Fills config from text (null or empty: the defaults). A path (a text with a '/' and no '=')
   configures nothing either. Returns false with a one-line reason in error when an item is not
   understood. */
bool sim_config_parse(const char* text, SimConfig* config, char* error, size_t error_size);
