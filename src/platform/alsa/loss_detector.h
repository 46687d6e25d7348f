// The loss detector of the ALSA source: finds audio that a paced capture device dropped without
// reporting it, from the frames read and held against the monotonic clock. Pure arithmetic on
// the readings the source passes in, so that it runs without ALSA.
#pragma once

#include <cstdint>

/* One run of the detector, from a start of the stream. Owned by the source's device thread. */
struct LossDetector {
    bool on;               /* the device is paced and the check applies to this run */
    double rate;           /* frames a second */
    double period;         /* the device's period, frames */
    double started;        /* monotonic time the stream was started, seconds */
    double first_frame;    /* monotonic time the first frame was read, 0 before that */
    double baseline;       /* the device's usual deficit, frames */
    double explained;      /* frames of rise that waits and drift explain, not yet taken in */
    double last_check;     /* monotonic time of the last check (or the start) */
    double suspected;      /* monotonic time a loss was suspected (or last shrank), 0: none is */
    double suspected_rise; /* the rise then, frames */
};

/* What the source tells the detector before a read hands over anything. */
struct LossReading {
    double now;           /* monotonic time, seconds, taken before held was read */
    uint64_t frames_read; /* frames handed over since the start */
    double held;          /* frames the device holds now, as its buffer shows them */
    double held_beyond;   /* frames a sound server may hold beyond those, by its own estimate
                             (which may run high); 0 when unknown */
    double waited;        /* seconds since the last check the reader spent waiting on the
                             device while the process ran (a wait the process was stopped in
                             does not count) */
};

enum LossKind {
    LOSS_NONE,      /* nothing missing */
    LOSS_SUSPECTED, /* frames are missing; a check LOSS_CONFIRM_S later, with no fewer
                       missing meanwhile, decides */
    LOSS_FOUND      /* frames were lost: the frames held when it was first suspected came
                       before the gap, later ones after it */
};

struct LossVerdict {
    LossKind kind; /* see LossKind */
    double frames; /* frames missing, 0 with LOSS_NONE */
};

#define LOSS_CONFIRM_S 0.5 /* a suspected loss that lasts this long is a loss */

/* Starts a run at time now. paced says whether the device delivers in real time; an unpaced
   one (ALSA's file and null PCMs) is never checked. */
void loss_detector_start(LossDetector* detector, double now, double rate, double period_frames,
                         bool paced);

/* Checks one reading; see LossKind. Readings come in time order. */
LossVerdict loss_detector_check(LossDetector* detector, const LossReading* reading);
