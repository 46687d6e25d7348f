// The loss detector of the ALSA source (see loss_detector.h).
//
// A device paced in real time that was started at time T0 and has handed over F frames holds,
// at time t, about rate * (t - T0) - F frames. The deficit rate * (t - T0) - F - held is
// therefore a constant (the start-up latency) plus a slow drift (the device's clock against
// the system's, up to DRIFT of the time) plus jitter of about one block the device delivers
// at a time. It rises in two ways:
//   - the source delivers nothing for a while (a suspended sink, a sound server's own underrun,
//     a server that is late): the reader, waiting on the device, sees no frames. Nothing the
//     device held went missing, so this is a pause of the source and never a loss. A late
//     server catches up later, and the deficit falls back.
//   - frames go missing while the reader is away (busy, blocked, its process stopped): a
//     plugin or a server drops what its client left unread. This is a loss.
// So the baseline follows the deficit down at once, and up only as far as a rise came in an
// interval the reader spent waiting (and by the drift). A sound server may hold audio beyond
// what the device's buffer shows, and its estimate of how much runs high: that estimate only
// lowers the rise, it never pulls the baseline down. A rise above the baseline of LOSS_MIN_PERIODS
// periods or more that lasts LOSS_CONFIRM_S is a loss. The wait for confirmation lets a server that
// delivers a backlog in parts (after a freeze, or after the process was stopped) catch up before
// anything is said.
#include "platform/alsa/loss_detector.h"

#include <algorithm>

#define DRIFT 0.0015         /* clock drift absorbed, as a share of the time: 0.1 % and half */
#define LOSS_MIN_PERIODS 0.5 /* least rise counted as a loss, in periods */
#define WARM_UP_S 0.5        /* seconds after the first frame read in which the baseline is set */
#define RUN_AHEAD_S 0.25     /* how far ahead of the clock a paced device may seem to run */

void loss_detector_start(LossDetector* detector, double now, double rate, double period_frames,
                         bool paced) {
    *detector = LossDetector();
    detector->on = paced;
    detector->rate = rate;
    detector->period = period_frames;
    detector->started = now;
    detector->last_check = now;
}

LossVerdict loss_detector_check(LossDetector* detector, const LossReading* reading) {
    LossVerdict verdict = {LOSS_NONE, 0};
    if (!detector->on) return verdict;
    const double rate = detector->rate;
    const double elapsed = reading->now - detector->started;
    const double since = std::max(0.0, reading->now - detector->last_check);
    const double waited = std::min(std::max(0.0, reading->waited), since);
    detector->last_check = reading->now;
    if (reading->frames_read > 0 && detector->first_frame == 0)
        detector->first_frame = reading->now;
    const double deficit = rate * elapsed - (double)reading->frames_read - reading->held;
    const double least = deficit - std::max(0.0, reading->held_beyond); /* the deficit at least */

    /* A device that holds more than the clock allows is not paced after all. */
    if (deficit < -(rate * (RUN_AHEAD_S + 0.01 * elapsed) + detector->period)) {
        detector->on = false;
        return verdict;
    }
    if (detector->first_frame == 0 || reading->now - detector->first_frame < WARM_UP_S) {
        detector->baseline = deficit;
        return verdict;
    }
    /* The time the reader waited, plus the drift, explains a rise; it is taken into the
       baseline, except while a loss is suspected. */
    detector->explained += rate * (waited + DRIFT * since);
    if (detector->suspected == 0) {
        detector->baseline = std::min(deficit, detector->baseline + detector->explained);
        detector->explained = 0;
    }
    detector->baseline = std::min(detector->baseline, deficit);
    const double rise = least - detector->baseline;
    if (rise < LOSS_MIN_PERIODS * detector->period) {
        detector->suspected = 0;
        return verdict;
    }
    verdict.frames = rise;
    /* A rise that shrinks is a backlog coming in: the confirmation starts again. */
    if (detector->suspected == 0 || rise < detector->suspected_rise - detector->period / 4) {
        detector->suspected = reading->now;
        detector->suspected_rise = rise;
    }
    if (reading->now - detector->suspected < LOSS_CONFIRM_S) {
        verdict.kind = LOSS_SUSPECTED;
        return verdict;
    }
    verdict.kind = LOSS_FOUND;
    detector->baseline = least;
    detector->suspected = 0;
    return verdict;
}
