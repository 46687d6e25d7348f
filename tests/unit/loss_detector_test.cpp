// The ALSA source's loss detector, driven by synthetic timelines of a paced device and its
// reader: which losses it reports, how large, and which stalls of the source or the reader it
// must take for what they are.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <vector>

#include "platform/alsa/loss_detector.h"

/* A span of system time, seconds. */
struct Span {
    double from, to;
    bool covers(double t) const { return t >= from && t < to; }
};

/* One timeline: a device paced at rate (off by drift) that delivers in blocks, a reader that
   reads whatever is there and otherwise waits up to 50 ms, and what goes wrong. */
struct Timeline {
    const char* name;
    double length = 60;       /* seconds simulated */
    double period = 4800;     /* the device's period, frames */
    double block = 1024;      /* frames the device delivers at a time */
    double drift = 0;         /* the device's clock against the system's: -0.001 = 0.1 % slow */
    double capacity = 0;      /* frames the device holds at most, keeping the oldest; 0 = any */
    double server = 0;        /* frames a sound server keeps beyond a full device buffer */
    double overstated = 0;    /* frames its estimate of them runs high while it keeps any */
    double every = 0;         /* the reader comes only once every this many seconds (0: always) */
    Span away = {-1, -1};     /* the reader neither reads nor waits */
    Span stopped = {-1, -1};  /* the whole process is stopped (reader and plugin thread) */
    Span silent = {-1, -1};   /* the source delivers nothing, and the frames are gone for good */
    Span frozen = {-1, -1};   /* the source delivers nothing, then the backlog in three parts */
    double catch_up = 0.1;    /* seconds between the parts (0: all at once) */
    double expected_lost = 0; /* seconds reported lost (0: no report at all) */
};

static const double RATE = 48000;
static const double STEP = 0.001; /* the simulation's time step */

/* Runs a timeline; returns the reports of LOSS_FOUND in frames, in order. */
static std::vector<double> run(const Timeline& t) {
    LossDetector detector;
    loss_detector_start(&detector, 0, RATE, t.period, true);
    double produced = 0;  /* frames the source has produced (including silent ones) */
    double delivered = 0; /* frames it delivered into the device (blocks) */
    double held = 0, read = 0, waited = 0, wait_left = 0, kept = 0; /* kept: by the server */
    bool waiting = false, stopped_in_wait = false;
    double catch_up_from = -1; /* when a frozen backlog starts to come in */
    double backlog_from = 0;   /* delivered then */
    std::vector<double> found;
    for (double now = 0; now < t.length; now += STEP) {
        /* The source. */
        double ideal = std::floor(RATE * (1 + t.drift) * now);
        double fresh = ideal - produced;
        produced = ideal;
        if (t.silent.covers(now)) delivered += fresh; /* skipped: never reaches the device */
        bool frozen = t.frozen.covers(now) || (t.stopped.covers(now) && !t.silent.covers(now));
        if (frozen) {
            catch_up_from = -1;
        } else {
            if (catch_up_from < 0 && delivered + 2 * t.block < produced) {
                catch_up_from = now;
                backlog_from = delivered;
            }
            double due = produced;
            if (catch_up_from >= 0) { /* a backlog comes in three parts */
                double parts =
                    t.catch_up > 0
                        ? std::min(3.0, std::floor((now - catch_up_from) / t.catch_up) + 1)
                        : 3;
                due = backlog_from + (produced - backlog_from) * parts / 3;
                if (parts >= 3) catch_up_from = -1;
            }
            while (delivered + t.block <= due) {
                delivered += t.block;
                held += t.block;
            }
            if (t.capacity > 0 && held > t.capacity) { /* the server keeps some, drops the rest */
                kept = std::min(t.server, kept + held - t.capacity);
                held = t.capacity;
            }
        }
        if (t.capacity > 0 && held < t.capacity && kept > 0) { /* the server hands more over */
            double moved = std::min(kept, t.capacity - held);
            held += moved;
            kept -= moved;
        }
        /* The reader, as the ALSA source reads: a reading, then what the device holds, or a
           wait of up to 50 ms and a reading as it ends, then what came. A wait that the process
           was stopped in counts as no wait at all. */
        if (t.stopped.covers(now)) {
            stopped_in_wait = waiting;
            continue;
        }
        if (waiting && held == 0 && wait_left > 0) {
            wait_left -= STEP;
            waited += STEP;
            continue;
        }
        bool lazy = t.every > 0 && std::fmod(now, t.every) >= STEP;
        if (!waiting && (t.away.covers(now) || lazy)) continue;
        LossReading reading = {now, (uint64_t)read, held, kept > 0 ? kept + t.overstated : 0,
                               stopped_in_wait ? 0 : waited};
        LossVerdict verdict = loss_detector_check(&detector, &reading);
        if (verdict.kind == LOSS_FOUND) found.push_back(verdict.frames);
        waited = 0;
        stopped_in_wait = false;
        waiting = held == 0 && !waiting;
        wait_left = 0.05;
        read += held;
        held = 0;
    }
    return found;
}

TEST(LossDetector, ReportsEveryLossOfAPeriodOrMoreAndNoOther) {
    std::vector<Timeline> cases;
    auto add = [&cases](const char* name) -> Timeline& {
        cases.push_back(Timeline());
        cases.back().name = name;
        return cases.back();
    };
    add("steady");
    {
        Timeline& c = add("0.1 % slow for an hour, read once a second");
        c.length = 3600;
        c.every = 1;
        c.drift = -0.001;
    }
    {
        Timeline& c = add("0.1 % fast for an hour, read once a second");
        c.length = 3600;
        c.every = 1;
        c.drift = 0.001;
    }
    {
        Timeline& c = add("blocks of a whole period, as the pulse plugin delivers");
        c.block = 4800;
        c.away = {10, 12};
    }
    add("a reader away 3 s, the device keeps it all").away = {10, 13};
    {
        Timeline& c = add("during a pause of the reader, a drop of one period (1024 frames)");
        c.period = 1024;
        c.away = {10, 12};
        c.silent = {11, 11 + 1024 / RATE};
        c.expected_lost = 1024 / RATE;
    }
    {
        Timeline& c = add("during a pause of the reader, a drop of 0.1 s");
        c.away = {10, 12};
        c.silent = {11, 11.1};
        c.expected_lost = 0.1;
    }
    {
        Timeline& c = add("during a pause of the reader, a drop of 1 s");
        c.away = {10, 13};
        c.silent = {11, 12};
        c.expected_lost = 1;
    }
    {
        Timeline& c = add("during a normal wait the process stops and a drop of one period");
        c.period = 1024;
        c.stopped = {10.01, 10.01 + 1024 / RATE};
        c.silent = c.stopped;
        c.expected_lost = 1024 / RATE;
    }
    {
        Timeline& c = add("during a normal wait the process stops and a drop of 0.1 s");
        c.stopped = {10.01, 10.11};
        c.silent = c.stopped;
        c.expected_lost = 0.1;
    }
    {
        Timeline& c = add("during a normal wait the process stops and a drop of 1 s");
        c.stopped = {10.01, 11.01};
        c.silent = c.stopped;
        c.expected_lost = 1;
    }
    {
        Timeline& c = add("a process stopped 4 s, the server keeps its audio and catches up");
        c.stopped = {10.01, 14.01};
        c.capacity = RATE * 4;
    }
    {
        Timeline& c =
            add("a process stopped 4 s on a busy machine: the server catches up in 0.9 s");
        c.stopped = {10.01, 14.01};
        c.catch_up = 0.3;
    }
    {
        Timeline& c = add("a process stopped 6 s, the server keeps what the 4 s buffer cannot and "
                          "overstates it by 0.4 s");
        c.stopped = {10.01, 16.01};
        c.catch_up = 0; /* the backlog comes at once */
        c.capacity = RATE * 4;
        c.server = RATE * 20;
        c.overstated = RATE * 0.4;
    }
    {
        Timeline& c = add("a 4 s buffer and 20 s in the server overflow in a reader pause of 30 s");
        c.away = {10, 40};
        c.capacity = RATE * 4;
        c.server = RATE * 20;
        c.expected_lost = 6 - 0.0015 * 30; /* less the drift allowed over the 30 s */
    }
    {
        Timeline& c = add("a process stopped 3 s, the server drops what it did not deliver");
        c.stopped = {10.01, 13.01};
        c.silent = c.stopped;
        c.expected_lost = 3;
    }
    {
        Timeline& c = add("a 4 s device buffer overflows in a reader pause of 6 s");
        c.capacity = RATE * 4;
        c.away = {10, 16};
        c.expected_lost = 2;
    }
    add("a freeze of 1 s while the reader waits, caught up in parts").frozen = {10, 11};
    {
        Timeline& c = add("a freeze of 1 s while the reader is away, caught up in parts");
        c.frozen = {10, 11};
        c.away = {9.9, 11.02};
    }
    add("the sound server's own underrun: nothing for 0.3 s while the reader waits").silent = {
        10, 10.3};
    add("a suspended source: nothing for 1 s while the reader waits").silent = {10, 11};

    for (const Timeline& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<double> found = run(c);
        if (c.expected_lost == 0) {
            EXPECT_TRUE(found.empty())
                << found.size() << " report(s), the first of " << found[0] / RATE << " s";
            continue;
        }
        ASSERT_EQ(1u, found.size());
        EXPECT_NEAR(c.expected_lost, found[0] / RATE, (c.block + RATE * 0.002) / RATE);
    }
}

TEST(LossDetector, DecidesOnlyAfterTheLossHasLastedItsConfirmationTime) {
    LossDetector detector;
    loss_detector_start(&detector, 0, RATE, 4800, true);
    LossReading reading = {0, 0, 0, 0, 0};
    for (int i = 1; i <= 10; i++) { /* 1 s of steady reads, a wait of 0.1 s each */
        reading = {i * 0.1, (uint64_t)((i - 1) * 4800), 4800, 0, 0.1};
        ASSERT_EQ(LOSS_NONE, loss_detector_check(&detector, &reading).kind);
    }
    /* Back after 1 s away with only 0.5 s held. */
    reading = {2.0, 48000, RATE * 0.5, 0, 0};
    LossVerdict first = loss_detector_check(&detector, &reading);
    EXPECT_EQ(LOSS_SUSPECTED, first.kind);
    EXPECT_NEAR(RATE * 0.5, first.frames, RATE * 0.002);
    reading = {2.0 + LOSS_CONFIRM_S / 2, 48000 + (uint64_t)(RATE * 0.5), RATE * LOSS_CONFIRM_S / 2,
               0, 0};
    EXPECT_EQ(LOSS_SUSPECTED, loss_detector_check(&detector, &reading).kind);
    reading.now = 2.0 + LOSS_CONFIRM_S + 0.001;
    reading.held += RATE * LOSS_CONFIRM_S / 2;
    LossVerdict found = loss_detector_check(&detector, &reading);
    EXPECT_EQ(LOSS_FOUND, found.kind);
    EXPECT_NEAR(RATE * 0.5, found.frames, RATE * 0.002);
    /* The next reading goes on from the new baseline. */
    reading.now += 0.1;
    reading.held += RATE * 0.1;
    EXPECT_EQ(LOSS_NONE, loss_detector_check(&detector, &reading).kind);
}

TEST(LossDetector, NeverChecksAnUnpacedDeviceOrOneThatRunsAheadOfTheClock) {
    LossDetector detector;
    loss_detector_start(&detector, 0, RATE, 4800, false);
    LossReading reading = {5, 0, 0, 0, 0}; /* 5 s and nothing at all */
    EXPECT_EQ(LOSS_NONE, loss_detector_check(&detector, &reading).kind);

    loss_detector_start(&detector, 0, RATE, 4800, true);
    reading = {1, 0, RATE * 10, 0, 0}; /* holds 10 s after 1 s: a file, not a clock */
    EXPECT_EQ(LOSS_NONE, loss_detector_check(&detector, &reading).kind);
    reading = {5, (uint64_t)(RATE * 10), 0, 0, 0}; /* then 4 s with nothing */
    EXPECT_EQ(LOSS_NONE, loss_detector_check(&detector, &reading).kind);
    reading.now = 6;
    EXPECT_EQ(LOSS_NONE, loss_detector_check(&detector, &reading).kind);
}
