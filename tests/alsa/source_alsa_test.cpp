// The ALSA source's handling of what a running stream's calls return: overruns, suspends,
// resumes that take a while or fail, a lost device, each through ALSA's "null" PCM with the
// stream's calls (alsa_calls.h) made to return what a device would.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <string>
#include <vector>

#include "platform/alsa/alsa_calls.h"
#include "platform/posix/wave_source.h"

/* What the stand-in calls return, in order; once a list is used up, the call does what a
   quiet device does (nothing available, a wait that times out, success). */
static struct {
    std::vector<snd_pcm_sframes_t> avail;
    std::vector<snd_pcm_sframes_t> readi;
    std::vector<int> wait;
    std::vector<int> prepare;
    std::vector<int> resume;
    int prepares, resumes, starts; /* calls so far */
} script;

template <typename T> static T next(std::vector<T>& results, T otherwise) {
    if (results.empty()) return otherwise;
    T result = results.front();
    results.erase(results.begin());
    return result;
}

static snd_pcm_sframes_t fake_avail(snd_pcm_t*) {
    return next<snd_pcm_sframes_t>(script.avail, 0);
}
static snd_pcm_sframes_t fake_readi(snd_pcm_t*, void* buffer, snd_pcm_uframes_t frames) {
    snd_pcm_sframes_t got = next<snd_pcm_sframes_t>(script.readi, (snd_pcm_sframes_t)frames);
    if (got > 0) memset(buffer, 0x5a, (size_t)got * 4);
    return got;
}
static int fake_wait(snd_pcm_t*, int, int) {
    return next(script.wait, 0);
}
static int fake_prepare(snd_pcm_t*) {
    script.prepares++;
    return next(script.prepare, 0);
}
static int fake_resume(snd_pcm_t*) {
    script.resumes++;
    return next(script.resume, 0);
}
static int fake_start(snd_pcm_t*) {
    script.starts++;
    return 0;
}
static snd_pcm_state_t fake_state(snd_pcm_t*) {
    return SND_PCM_STATE_PREPARED;
}

struct Case {
    const char* name;
    std::vector<snd_pcm_sframes_t> avail, readi;
    std::vector<int> wait, prepare, resume;
    int32_t first;                 /* what the first read returns */
    const char* problem;           /* the start of the problem text after it */
    int32_t second;                /* what the read after it returns */
    int prepares, resumes, starts; /* calls made by the two reads (the start not counted) */
};

TEST(AlsaSource, ReportsEveryOverrunSuspendAndFailureOfTheRunningStream) {
    const Case cases[] = {
        {"an overrun seen by avail",
         {-EPIPE},
         {},
         {},
         {},
         {},
         WAVE_SOURCE_LOST,
         "input overran, about ",
         0,
         1,
         0,
         1},
        {"an overrun seen by the read",
         {100},
         {-EPIPE},
         {},
         {},
         {},
         WAVE_SOURCE_LOST,
         "input overran, about ",
         0,
         1,
         0,
         1},
        {"an overrun seen by the wait",
         {0},
         {},
         {-EPIPE},
         {},
         {},
         WAVE_SOURCE_LOST,
         "input overran, about ",
         0,
         1,
         0,
         1},
        {"a suspend, resumed at once",
         {-ESTRPIPE},
         {},
         {},
         {},
         {0},
         WAVE_SOURCE_LOST,
         "device suspended, audio lost",
         0,
         0,
         1,
         1},
        {"a suspend, resumed after three tries",
         {-ESTRPIPE},
         {},
         {},
         {},
         {-EAGAIN, -EAGAIN, -EAGAIN, 0},
         WAVE_SOURCE_LOST,
         "device suspended, audio lost",
         0,
         0,
         4,
         1},
        {"a suspend the device cannot resume from: prepared anew",
         {-ESTRPIPE},
         {},
         {},
         {},
         {-ENOSYS},
         WAVE_SOURCE_LOST,
         "device suspended, audio lost",
         0,
         1,
         1,
         1},
        {"a suspend during the read",
         {100},
         {-ESTRPIPE},
         {},
         {},
         {0},
         WAVE_SOURCE_LOST,
         "device suspended, audio lost",
         0,
         0,
         1,
         1},
        {"an overrun that cannot be restarted",
         {-EPIPE},
         {},
         {},
         {-EIO},
         {},
         WAVE_SOURCE_LOST,
         "input overran, about ",
         WAVE_SOURCE_FAILED,
         1,
         0,
         0},
        {"a device that is gone",
         {-ENODEV},
         {},
         {},
         {},
         {},
         WAVE_SOURCE_FAILED,
         "device disconnected",
         WAVE_SOURCE_FAILED,
         0,
         0,
         0},
        {"a read that fails",
         {100},
         {-EIO},
         {},
         {},
         {},
         WAVE_SOURCE_FAILED,
         "device failed: ",
         WAVE_SOURCE_FAILED,
         0,
         0,
         0},
        {"an interrupted call", {-EINTR}, {}, {}, {}, {}, 0, "no problem", 0, 0, 0, 0},
        {"audio as usual", {100}, {}, {}, {}, {}, 400, "no problem", 0, 0, 0, 0},
    };
    setenv("AUDIODEV", "null", 1);
    const AlsaCalls real = alsa_calls;
    WAVEFORMATEX format = {WAVE_FORMAT_PCM, 2, 44100, 176400, 4, 16, 0};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        WaveSource* source = nullptr;
        ASSERT_EQ(MMSYSERR_NOERROR, wave_source_open(WAVE_MAPPER, &format, &source));
        alsa_calls = {fake_avail,  fake_readi, fake_wait,  real.delay, fake_prepare,
                      fake_resume, fake_start, fake_state, real.drop};
        script = {};
        ASSERT_EQ(MMSYSERR_NOERROR, wave_source_start(source));
        script = {c.avail, c.readi, c.wait, c.prepare, c.resume, 0, 0, 0};
        char buffer[4096];
        EXPECT_EQ(c.first, wave_source_read(source, buffer, sizeof buffer, 10));
        char problem[256];
        wave_source_describe_problem(source, problem, sizeof problem);
        EXPECT_EQ(0, strncmp(c.problem, problem, strlen(c.problem))) << problem;
        EXPECT_EQ(c.second, wave_source_read(source, buffer, sizeof buffer, 10));
        EXPECT_EQ(c.prepares, script.prepares);
        EXPECT_EQ(c.resumes, script.resumes);
        EXPECT_EQ(c.starts, script.starts);
        alsa_calls = real;
        wave_source_close(source);
    }
}

static int drop_result;
static int fake_drop(snd_pcm_t*) {
    return drop_result;
}

TEST(AlsaSource, ReportsAStopThatFailsAndTakesAStopOfAStreamNotRunning) {
    const struct {
        int drop;         /* what snd_pcm_drop returns */
        MMRESULT result;  /* what the stop returns */
        const char* text; /* the start of the problem text after it */
    } cases[] = {
        {0, MMSYSERR_NOERROR, "no problem"},
        {-EBADFD, MMSYSERR_NOERROR, "no problem"},
        {-EIO, MMSYSERR_ERROR, "cannot stop the device: "},
        {-ENODEV, MMSYSERR_NODRIVER, "cannot stop the device: "},
    };
    setenv("AUDIODEV", "null", 1);
    const AlsaCalls real = alsa_calls;
    WAVEFORMATEX format = {WAVE_FORMAT_PCM, 2, 44100, 176400, 4, 16, 0};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.drop);
        WaveSource* source = nullptr;
        ASSERT_EQ(MMSYSERR_NOERROR, wave_source_open(WAVE_MAPPER, &format, &source));
        ASSERT_EQ(MMSYSERR_NOERROR, wave_source_start(source));
        alsa_calls.drop = fake_drop;
        drop_result = c.drop;
        EXPECT_EQ(c.result, wave_source_stop(source));
        char problem[256];
        wave_source_describe_problem(source, problem, sizeof problem);
        EXPECT_EQ(0, strncmp(c.text, problem, strlen(c.text))) << problem;
        alsa_calls = real;
        wave_source_close(source);
    }
}
