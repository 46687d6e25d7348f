// Unit tests of the take's clock: where an aligned boundary falls in a buffer, and the start
// that each file gets.
#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>

#include "capture/take_clock.h"
#include "settings/settings.h"
#include "wave/file_start.h"

namespace {

const int64_t NS = 1000000000;
const int64_t NEW_YEAR = 1767225600; /* 2026-01-01 00:00:00 UTC */

/* Settings of 8 frames a second in aligned hourly parts, in the zone TZ names. */
void aligned_hours(const char* zone, int32_t utc) {
    setenv("TZ", zone, 1);
    tzset();
    recording_settings = default_settings;
    recording_settings.format.nSamplesPerSec = 8;
    recording_settings.part_seconds = 3600;
    recording_settings.align_parts = 1;
    recording_settings.utc = utc;
}

TEST(TakeClock, SplitsTheBufferAtTheFirstFrameCapturedAtOrAfterTheBoundary) {
    aligned_hours("UTC0", 1);
    struct Case {
        int64_t first_ns; /* the buffer's first frame, from the hour */
        uint32_t frames;
        uint32_t at; /* where the boundary falls */
    } cases[] = {
        {-2 * NS, 8, 8}, {-NS, 8, 8},    {-NS / 2, 8, 4}, {-NS / 2 - 1, 8, 5}, {-NS / 2 + 1, 8, 4},
        {0, 8, 0},       {NS / 4, 8, 0}, {-NS + 1, 8, 8}, {-NS / 8, 1, 1},     {-NS / 8 + 1, 1, 1},
    };
    for (const Case& c : cases) {
        start_take_clock((NEW_YEAR - 10) * NS);
        clock_note_buffer(true, NEW_YEAR * NS + c.first_ns, c.frames);
        EXPECT_EQ(c.at, clock_boundary_frame(c.frames)) << c.first_ns << " ns";
    }
    recording_settings = default_settings;
}

/* After the device was gone for hours, the part that goes on runs to the first boundary after its
   first frame, and the file switched to begins at that frame. */
TEST(TakeClock, AfterAGapTheNextBoundaryIsTheFirstAfterTheNewFirstFrame) {
    aligned_hours("UTC0", 1);
    struct Case {
        int64_t first_ns;   /* the new device's first frame, from the hour */
        int64_t boundary_s; /* the boundary the part runs to, from the hour */
    } cases[] = {
        {-NS, 0}, {-NS / 8, 0}, {-1, 0}, {0, 3600}, {1, 3600}, {NS, 3600},
    };
    for (const Case& c : cases) {
        start_take_clock((NEW_YEAR - 5 * 3600 - 10) * NS);
        clock_note_buffer(true, (NEW_YEAR - 5 * 3600 - 10) * NS, 8);
        clock_file_switched(true);
        clock_after_gap(NEW_YEAR * NS + c.first_ns);
        EXPECT_EQ(NEW_YEAR + c.boundary_s, clock_next_boundary_s()) << c.first_ns << " ns";
        clock_note_buffer(true, NEW_YEAR * NS + c.first_ns, 8);
        EXPECT_EQ(NEW_YEAR * NS + c.first_ns, current_file_start()->unix_ns);
        EXPECT_LT(0u, clock_boundary_frame(8)) << "a part without audio";
    }
    recording_settings = default_settings;
}

/* The first audio of the take may come after the first boundary (a sound server that starts
   late): the part switched to there begins at the audio's first frame, not at the boundary. */
TEST(TakeClock, APartBegunAtABoundaryItsAudioCameAfterBeginsAtItsFirstFrame) {
    aligned_hours("UTC0", 1);
    struct Case {
        int64_t first_ns; /* the buffer's first frame, from the hour */
        int64_t start_ns; /* the start of the file switched to, from the hour */
    } cases[] = {
        {-NS / 2, 0}, {-1, 0}, {0, 0}, {1, 1}, {NS + 4 * NS / 10, NS + 4 * NS / 10},
    };
    for (const Case& c : cases) {
        start_take_clock((NEW_YEAR - 1) * NS);
        clock_note_buffer(true, NEW_YEAR * NS + c.first_ns, 8);
        ASSERT_EQ(NEW_YEAR * NS, clock_pass_boundary());
        clock_begin_file_at(NEW_YEAR * NS);
        EXPECT_EQ(NEW_YEAR * NS + c.start_ns, current_file_start()->unix_ns) << c.first_ns;
    }
    recording_settings = default_settings;
}

TEST(TakeClock, GivesTheFirstFileItsFirstFramesTimeAndEachPartItsBoundary) {
    struct Case {
        const char* zone;
        int32_t utc;
        int32_t offset_s;        /* the zone's offset */
        uint64_t first_midnight; /* the first file's frames since the zone's midnight */
        uint64_t part_midnight;  /* the part's, at its boundary */
        int64_t boundary_s;      /* the next hour of the zone */
    } cases[] = {
        {"UTC0", 1, 0, (86400 - 10) * 8 + 4, 0, NEW_YEAR},
        /* 05:29:50.5 local: the next hour is 06:00 local, 00:30 UTC. */
        {"IST-5:30", 0, 19800, (19800 - 10) * 8 + 4, 21600 * 8, NEW_YEAR + 1800},
        {"IST-5:30", 1, 0, (86400 - 10) * 8 + 4, 0, NEW_YEAR},
    };
    for (const Case& c : cases) {
        aligned_hours(c.zone, c.utc);
        SCOPED_TRACE(c.zone);
        int64_t start = (NEW_YEAR - 10) * NS + NS / 2;
        start_take_clock(start);
        clock_note_buffer(true, start, 8);
        const FileStart* first = current_file_start();
        EXPECT_TRUE(first->known);
        EXPECT_EQ(start, first->unix_ns);
        EXPECT_EQ(c.offset_s, first->utc_offset_s);
        EXPECT_EQ(c.first_midnight, first->frames_since_midnight);
        int64_t boundary = c.boundary_s;
        EXPECT_EQ(boundary, clock_next_boundary_s());
        EXPECT_EQ(boundary * NS, clock_pass_boundary());
        /* Until the output has switched, the finished part keeps its own start. */
        EXPECT_EQ(start, current_file_start()->unix_ns);
        clock_begin_file_at(boundary * NS);
        const FileStart* part = current_file_start();
        EXPECT_EQ(boundary * NS, part->unix_ns);
        EXPECT_EQ(c.part_midnight, part->frames_since_midnight);
        EXPECT_EQ(boundary + 3600, clock_next_boundary_s());
    }
    setenv("TZ", "UTC0", 1);
    tzset();
    recording_settings = default_settings;
}

} // namespace
