// Unit tests of the wait for a device that failed: when it tries, how soon a stop or the take's
// end ends it, and the buffers and frames that the time the device was gone stands for.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "capture/reconnect.h"
#include "driver/interrupt.h"
#include "platform/monotonic_ms.h"
#include "settings/settings.h"

namespace {

/* The tries of one wait: the one that opens the device, the one that asks for a stop (0: none),
   and how many were made and when. */
struct Tries {
    int opens_at;
    int stops_at;
    int made;
    int64_t start_ms;
    int64_t at_ms[4];
};

bool try_open(void* context) {
    Tries* t = static_cast<Tries*>(context);
    t->at_ms[t->made < 4 ? t->made : 3] = monotonic_milliseconds() - t->start_ms;
    t->made++;
    if (t->made == t->stops_at) abort_requested = 1;
    return t->made == t->opens_at;
}

TEST(WaitForDevice, TriesAtOnceThenEverySecondUntilItOpensAStopComesOrTheTakeEnds) {
    struct Case {
        int opens_at;
        int stops_at;
        int64_t give_up_ms;
        ReconnectEnd end;
        int tries;
        int64_t min_ms; /* the wait took at least this long... */
        int64_t max_ms; /* ...and at most this long */
    };
    const Case cases[] = {
        {1, 0, -1, RECONNECT_BACK, 1, 0, 200},          {2, 0, -1, RECONNECT_BACK, 2, 1000, 1300},
        {0, 1, -1, RECONNECT_STOPPED, 1, 0, 200},       {0, 0, 300, RECONNECT_TIME_UP, 1, 300, 600},
        {0, 0, 1200, RECONNECT_TIME_UP, 2, 1200, 1500}, {0, 0, 0, RECONNECT_TIME_UP, 1, 0, 200},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "opens at " << c.opens_at << ", stops at " << c.stops_at
                                        << ", gives up after " << c.give_up_ms);
        abort_requested = 0;
        Tries tries = {c.opens_at, c.stops_at, 0, monotonic_milliseconds(), {0, 0, 0, 0}};
        EXPECT_EQ(c.end, wait_for_device(try_open, &tries, c.give_up_ms));
        int64_t took_ms = monotonic_milliseconds() - tries.start_ms;
        EXPECT_EQ(c.tries, tries.made);
        EXPECT_GE(took_ms, c.min_ms);
        EXPECT_LE(took_ms, c.max_ms);
        EXPECT_LT(tries.at_ms[0], 100) << "the first try waits";
        if (tries.made > 1) {
            EXPECT_GE(tries.at_ms[1], RECONNECT_TRY_MS);
        }
    }
    abort_requested = 0;
}

/* A stop that comes between two tries ends the wait within RECONNECT_STEP_MS or so. */
TEST(WaitForDevice, SeesAStopBetweenTwoTriesWithinAFractionOfASecond) {
    abort_requested = 0;
    Tries tries = {0, 0, 0, monotonic_milliseconds(), {0, 0, 0, 0}};
    std::thread stopper([] {
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        abort_requested = 1;
    });
    EXPECT_EQ(RECONNECT_STOPPED, wait_for_device(try_open, &tries, -1));
    int64_t took_ms = monotonic_milliseconds() - tries.start_ms;
    stopper.join();
    EXPECT_EQ(1, tries.made);
    EXPECT_GE(took_ms, 300);
    EXPECT_LT(took_ms, 300 + 4 * RECONNECT_STEP_MS);
    abort_requested = 0;
}

TEST(GapBuffers, CountsTheNearestBufferOrWholeSecondWhereTheBuffersDoNotDivideTheRate) {
    struct Case {
        uint32_t rate;
        int32_t per_second;
        int64_t gone_ns;
        uint32_t buffers;
        uint64_t frames;
    };
    const Case cases[] = {
        {44100, 10, 1500000000, 15, 66150},
        {44100, 10, 1549000000, 15, 68311},
        {44100, 10, 1551000000, 16, 68399},
        {44100, 10, 0, 0, 0},
        {44100, 10, -5, 0, 0},
        {11025, 4, 1200000000, 4, 13230},
        {11025, 4, 1600000000, 8, 17640},
        {48000, 20, 25000000, 1, 1200},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message()
                     << c.rate << " Hz, " << c.per_second << " a second, " << c.gone_ns << " ns");
        recording_settings = default_settings;
        recording_settings.format.nSamplesPerSec = c.rate;
        recording_settings.buffers_per_second = c.per_second;
        EXPECT_EQ(c.buffers, gap_buffers(c.gone_ns));
        EXPECT_EQ(c.frames, gap_frames(c.gone_ns));
    }
    recording_settings = default_settings;
}

} // namespace
