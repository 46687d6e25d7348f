// Unit tests of the take's zone time and the boundaries of aligned parts.
#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <string>

#include "settings/settings.h"
#include "wave/take_files.h"

namespace {

const int64_t NS = 1000000000;
const int64_t MARCH_1 = 1772323200; /* 2026-03-01 00:00:00 UTC, day J60 */

/* Runs with TZ set to zone, and back to UTC afterwards. */
struct ZoneScope {
    explicit ZoneScope(const char* zone) {
        setenv("TZ", zone, 1);
        tzset();
    }
    ~ZoneScope() {
        setenv("TZ", "UTC0", 1);
        tzset();
    }
};

TEST(NextAlignedBoundary, IsTheFirstMultipleOfThePartAfterTheInstantInTheNamesZone) {
    /* Summer time (UTC+1) from 01:00 to 02:00 UTC on J60: local 02:00..03:00 comes twice. */
    ZoneScope zone("STD0DST-1,J60/1,J60/3");
    struct Case {
        int32_t part_seconds;
        int32_t utc;
        int64_t from_ns;
        int64_t boundary_s;
    } cases[] = {
        {3600, 0, (MARCH_1 - 1) * NS, MARCH_1},
        {3600, 0, MARCH_1 * NS, MARCH_1 + 3600},
        {3600, 0, MARCH_1 * NS - 1, MARCH_1},
        {3600, 0, MARCH_1 * NS + 1, MARCH_1 + 3600},
        {900, 0, (MARCH_1 + 3599) * NS, MARCH_1 + 3600},
        {900, 0, (MARCH_1 + 3600) * NS, MARCH_1 + 4500},
        /* 01:59:59 UTC is 02:59:59 summer time; 02:00 UTC is 02:00 standard time again. */
        {3600, 0, (MARCH_1 + 7199) * NS, MARCH_1 + 7200},
        {86400, 0, (MARCH_1 + 5) * NS, MARCH_1 + 86400},
        {3600, 1, (MARCH_1 + 3700) * NS, MARCH_1 + 7200},
        {1, 1, MARCH_1 * NS + 5, MARCH_1 + 1},
        {7200, 1, (MARCH_1 - 1) * NS, MARCH_1},
    };
    for (const Case& c : cases) {
        recording_settings = default_settings;
        recording_settings.part_seconds = c.part_seconds;
        recording_settings.align_parts = 1;
        recording_settings.utc = c.utc;
        EXPECT_EQ(c.boundary_s * NS, next_aligned_boundary(c.from_ns))
            << c.part_seconds << " s parts from " << c.from_ns << " ns, utc " << c.utc;
    }
    recording_settings = default_settings;
}

TEST(NextAlignedBoundary, FollowsALocalZoneAheadOfUtc) {
    /* UTC+5:30 all year: local midnight is 18:30 UTC the day before. */
    ZoneScope zone("IST-5:30");
    recording_settings = default_settings;
    recording_settings.part_seconds = 86400;
    recording_settings.align_parts = 1;
    EXPECT_EQ((MARCH_1 + 86400 - 19800) * NS, next_aligned_boundary(MARCH_1 * NS));
    recording_settings.part_seconds = 3600;
    EXPECT_EQ((MARCH_1 + 1800) * NS, next_aligned_boundary(MARCH_1 * NS));
    recording_settings.utc = 1;
    EXPECT_EQ((MARCH_1 + 3600) * NS, next_aligned_boundary(MARCH_1 * NS));
    recording_settings = default_settings;
}

TEST(ZoneTime, GivesTheOffsetInForceAtTheInstant) {
    ZoneScope zone("STD0DST-1,J60/1,J60/3");
    recording_settings = default_settings;
    EXPECT_EQ(0, zone_time(MARCH_1 + 3599).offset_s);
    EXPECT_EQ(3600, zone_time(MARCH_1 + 3600).offset_s);
    EXPECT_EQ(MARCH_1 + 7200 + 3599, zone_time(MARCH_1 + 7199).local_s);
    EXPECT_EQ(0, zone_time(MARCH_1 + 7200).offset_s);
    recording_settings.utc = 1;
    EXPECT_EQ(0, zone_time(MARCH_1 + 3600).offset_s);
    recording_settings = default_settings;
}

} // namespace
