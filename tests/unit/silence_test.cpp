// The dead-air check: which stretches are quiet, and which runs of them make a silence that is
// reported, once, with its end.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "capture/silence.h"

TEST(StretchIsQuiet, NeedsEveryChannelsTruncatedAverageAtOrBelowTheLevel) {
    struct Case {
        uint32_t sums[8];
        unsigned channels;
        uint32_t frames, level;
        bool quiet;
    } cases[] = {
        {{100}, 1, 10, 10, true},
        {{109}, 1, 10, 10, true},
        {{110}, 1, 10, 10, false},
        {{0, 110}, 2, 10, 10, false},
        {{0, 0}, 2, 10, 0, true},
        {{1, 0}, 2, 1, 0, false},
        {{0, 0}, 2, 0, 128, false},
        {{1280, 1280}, 2, 10, 128, true},
        {{0, 0, 0, 0, 0, 0, 0, 50}, 8, 10, 4, false},
        {{0, 0, 0, 0, 0, 0, 0, 50}, 7, 10, 4, true},
    };
    for (const Case& c : cases)
        EXPECT_EQ(c.quiet, stretch_is_quiet(c.sums, c.channels, c.frames, c.level))
            << c.sums[0] << "/" << c.frames << " at level " << c.level;
}

/* Runs stretches ("q10" quiet, "l5" loud, frames after the letter, space-separated) through a
   fresh run that needs `needed` frames, and tells what they report: "began F" at a silence
   since frame F, "ended F after N" at sound again at frame F after N frames of silence. */
static std::string run_stretches(const char* stretches, uint64_t needed) {
    SilenceRun run = SilenceRun();
    std::string lines;
    for (const char* p = stretches; *p;) {
        bool quiet = *p++ == 'q';
        char* end;
        uint32_t frames = (uint32_t)strtoul(p, &end, 10);
        p = *end == ' ' ? end + 1 : end;
        uint64_t first = run.frames, silent = 0;
        char line[64] = "";
        switch (silence_step(&run, quiet, frames, needed, &silent)) {
        case SILENCE_BEGAN:
            snprintf(line, sizeof line, "began %llu", (unsigned long long)run.first_frame);
            break;
        case SILENCE_ENDED:
            snprintf(line, sizeof line, "ended %llu after %llu", (unsigned long long)first,
                     (unsigned long long)silent);
            break;
        case SILENCE_SAME:
            break;
        }
        if (*line) lines += (lines.empty() ? "" : "; ") + std::string(line);
    }
    return lines;
}

TEST(SilenceStep, ReportsASilenceOnceWhenItHasLastedAndItsEndWhenSoundReturns) {
    struct Case {
        const char* stretches;
        uint64_t needed;
        const char* lines;
    } cases[] = {
        {"l4 q9 l1", 10, ""},
        {"l4 q10 l1", 10, "began 4; ended 14 after 10"},
        {"q4 q4 q4 q4 l2", 10, "began 0; ended 16 after 16"},
        {"l1 q4 q20", 10, "began 1"},
        {"q10 l0 q5 l1", 10, "began 0; ended 15 after 15"},
        {"q10 l1 q10 l1", 10, "began 0; ended 10 after 10; began 11; ended 21 after 10"},
        {"q9 l1 q9 l1 q9", 10, ""},
        {"q1 l3 l3", 1, "began 0; ended 1 after 1"},
        {"l5 q1 q1", 2, "began 5"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(c.lines, run_stretches(c.stretches, c.needed)) << c.stretches;
}
