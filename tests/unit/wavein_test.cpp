// The POSIX wave-input service over the simulated device: queue order, stop and reset, the
// header rules, the reserve, losses, injected faults and the error texts.
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "pcm_format.h"
#include "platform/buffer_problem.h"
#include "platform/posix/wave_source.h"
#include "platform/win32_compat.h"

/* What the device's callback saw, in order. */
struct Recorder {
    std::mutex lock;
    std::condition_variable changed;
    std::vector<UINT> messages;      /* every message */
    std::vector<WAVEHDR*> completed; /* the headers of WIM_DATA */
    std::vector<DWORD> bytes;        /* their dwBytesRecorded at the callback */
    std::vector<DWORD> flags;        /* their dwFlags at the callback */
    bool closed = false;             /* waveInClose has returned */
    int calls_after_close = 0;       /* callbacks that came after that */
    int slow_ms = 0;                 /* each WIM_DATA callback takes this long */
    int interrupts_open = 0;         /* callbacks on a thread that would take SIGINT or SIGQUIT */
};

static void CALLBACK record_message(HWAVEIN, UINT message, DWORD_PTR instance, DWORD_PTR param1,
                                    DWORD_PTR) {
    Recorder* recorder = reinterpret_cast<Recorder*>(instance);
    int slow_ms;
    {
        std::lock_guard<std::mutex> hold(recorder->lock);
        if (recorder->closed) recorder->calls_after_close++;
        sigset_t blocked;
        pthread_sigmask(SIG_BLOCK, nullptr, &blocked);
        if (!sigismember(&blocked, SIGINT) || !sigismember(&blocked, SIGQUIT))
            recorder->interrupts_open++;
        recorder->messages.push_back(message);
        if (message == WIM_DATA) {
            WAVEHDR* header = reinterpret_cast<WAVEHDR*>(param1);
            recorder->completed.push_back(header);
            recorder->bytes.push_back(header->dwBytesRecorded);
            recorder->flags.push_back(header->dwFlags);
        }
        recorder->changed.notify_all();
        slow_ms = message == WIM_DATA ? recorder->slow_ms : 0;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(slow_ms));
}

static bool wait_completed(Recorder* recorder, size_t count) {
    std::unique_lock<std::mutex> hold(recorder->lock);
    return recorder->changed.wait_for(hold, std::chrono::seconds(10),
                                      [&] { return recorder->completed.size() >= count; });
}

static size_t completed_count(Recorder* recorder) {
    std::lock_guard<std::mutex> hold(recorder->lock);
    return recorder->completed.size();
}

/* 8000 Hz mono 16 bits: a tenth of a second, the sim's default buffer, is 1600 bytes. */
static const WAVEFORMATEX mono16 = pcm_format(8000, 1, 16);
static const DWORD tenth = 1600;

/* Buffers with their own audio storage; the headers never move once made. */
struct Pool {
    std::vector<BYTE> audio;
    std::vector<WAVEHDR> headers;
};

static void make_pool(Pool* pool, const std::vector<DWORD>& lengths) {
    size_t total = 0;
    for (DWORD length : lengths)
        total += length;
    pool->audio.assign(total + 1, 0);
    pool->headers.assign(lengths.size(), WAVEHDR{});
    size_t at = 0;
    for (size_t i = 0; i < lengths.size(); i++) {
        pool->headers[i].lpData = reinterpret_cast<LPSTR>(&pool->audio[at]);
        pool->headers[i].dwBufferLength = lengths[i];
        at += lengths[i];
    }
}

static HWAVEIN open_sim(const char* config, Recorder* recorder,
                        const WAVEFORMATEX& format = mono16) {
    setenv("WAVTAP_SIM", config, 1);
    HWAVEIN device = nullptr;
    EXPECT_EQ(MMSYSERR_NOERROR, waveInOpen(&device, WAVE_MAPPER, &format, (DWORD_PTR)record_message,
                                           (DWORD_PTR)recorder, CALLBACK_FUNCTION));
    return device;
}

static void queue(HWAVEIN device, WAVEHDR* header) {
    ASSERT_EQ(MMSYSERR_NOERROR, waveInPrepareHeader(device, header, sizeof *header));
    ASSERT_EQ(MMSYSERR_NOERROR, waveInAddBuffer(device, header, sizeof *header));
}

static void queue_all(HWAVEIN device, Pool* pool) {
    for (WAVEHDR& header : pool->headers)
        queue(device, &header);
}

/* Resets, unprepares and closes, as the capture does at its end. */
static void shut(HWAVEIN device, Pool* pool, Recorder* recorder) {
    EXPECT_EQ(MMSYSERR_NOERROR, waveInReset(device));
    for (WAVEHDR& header : pool->headers)
        EXPECT_EQ(MMSYSERR_NOERROR, waveInUnprepareHeader(device, &header, sizeof header));
    EXPECT_EQ(MMSYSERR_NOERROR, waveInClose(device));
    std::lock_guard<std::mutex> hold(recorder->lock);
    recorder->closed = true;
}

/* The 16-bit mono samples of the completed buffers, in order of completion. */
static std::vector<uint16_t> recorded_samples(Recorder* recorder, size_t first, size_t count) {
    std::lock_guard<std::mutex> hold(recorder->lock);
    std::vector<uint16_t> samples;
    for (size_t i = first; i < first + count && i < recorder->completed.size(); i++) {
        const BYTE* data = reinterpret_cast<const BYTE*>(recorder->completed[i]->lpData);
        for (DWORD b = 0; b + 1 < recorder->bytes[i]; b += 2)
            samples.push_back((uint16_t)(data[b] | data[b + 1] << 8));
    }
    return samples;
}

/* Index of the first sample that does not continue the count from `start`, or size(). */
static size_t first_break(const std::vector<uint16_t>& samples, uint16_t start) {
    for (size_t i = 0; i < samples.size(); i++)
        if (samples[i] != (uint16_t)(start + i)) return i;
    return samples.size();
}

TEST(WaveInQueue, BuffersCompleteInAddOrderFullAndContiguous) {
    Recorder recorder;
    HWAVEIN device = open_sim("speed=0", &recorder);
    ASSERT_NE(nullptr, device);
    Pool pool;
    make_pool(&pool, {tenth, tenth + 2, 0, tenth, 998, tenth});
    queue_all(device, &pool);
    ASSERT_EQ(MMSYSERR_NOERROR, waveInStart(device));
    ASSERT_TRUE(wait_completed(&recorder, pool.headers.size()));
    {
        std::lock_guard<std::mutex> hold(recorder.lock);
        for (size_t i = 0; i < pool.headers.size(); i++) {
            EXPECT_EQ(&pool.headers[i], recorder.completed[i]) << "buffer " << i;
            EXPECT_EQ(pool.headers[i].dwBufferLength, recorder.bytes[i]) << "buffer " << i;
            EXPECT_EQ(WHDR_DONE | WHDR_PREPARED, recorder.flags[i]) << "buffer " << i;
        }
        EXPECT_EQ(std::vector<UINT>(pool.headers.size(), WIM_DATA), recorder.messages);
        EXPECT_EQ(0, recorder.interrupts_open); /* Ctrl+C must reach the main thread */
    }
    std::vector<uint16_t> samples = recorded_samples(&recorder, 0, pool.headers.size());
    EXPECT_EQ((tenth * 4 + 2 + 998) / 2, samples.size());
    EXPECT_EQ(samples.size(), first_break(samples, 0));
    shut(device, &pool, &recorder);
    std::lock_guard<std::mutex> hold(recorder.lock);
    EXPECT_EQ(std::vector<UINT>(recorder.completed.size(), WIM_DATA), recorder.messages);
}

TEST(WaveInStop, ReturnsThePartlyFilledBufferAndKeepsTheRestQueued) {
    Recorder recorder;
    HWAVEIN device = open_sim("speed=1", &recorder);
    Pool pool;
    make_pool(&pool, {tenth * 10, tenth * 10});
    queue_all(device, &pool);
    ASSERT_EQ(MMSYSERR_NOERROR, waveInStart(device));
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    ASSERT_EQ(MMSYSERR_NOERROR, waveInStop(device));
    ASSERT_EQ(1u, completed_count(&recorder)); /* the callback ran before waveInStop returned */
    {
        std::lock_guard<std::mutex> hold(recorder.lock);
        EXPECT_EQ(&pool.headers[0], recorder.completed[0]);
        EXPECT_GT(recorder.bytes[0], 0u);
        EXPECT_LT(recorder.bytes[0], tenth * 10);
    }
    std::vector<uint16_t> samples = recorded_samples(&recorder, 0, 1);
    EXPECT_EQ(samples.size(), first_break(samples, 0));
    EXPECT_EQ(WAVERR_STILLPLAYING,
              waveInUnprepareHeader(device, &pool.headers[1], sizeof(WAVEHDR)));
    EXPECT_EQ(WAVERR_STILLPLAYING, waveInClose(device));
    EXPECT_EQ(MMSYSERR_NOERROR, waveInReset(device));
    ASSERT_EQ(2u, completed_count(&recorder));
    {
        std::lock_guard<std::mutex> hold(recorder.lock);
        EXPECT_EQ(&pool.headers[1], recorder.completed[1]);
        EXPECT_EQ(0u, recorder.bytes[1]);
    }
    shut(device, &pool, &recorder);
}

TEST(WaveInReset, ReturnsEveryQueuedBufferInOrderFromAStalledDevice) {
    Recorder recorder;
    HWAVEIN device = open_sim("speed=0,stall_after=1", &recorder);
    Pool pool;
    make_pool(&pool, {tenth, tenth, tenth, tenth});
    queue_all(device, &pool);
    ASSERT_EQ(MMSYSERR_NOERROR, waveInStart(device));
    ASSERT_TRUE(wait_completed(&recorder, 1));
    char text[256];
    waveInGetErrorTextA(MMSYSERR_ERROR, text, sizeof text);
    EXPECT_STREQ("Undefined external error.", text);
    std::this_thread::sleep_for(std::chrono::milliseconds(1200));
    waveInGetErrorTextA(MMSYSERR_ERROR, text, sizeof text);
    EXPECT_STREQ("The input device stopped delivering audio.", text);
    ASSERT_EQ(MMSYSERR_NOERROR, waveInReset(device));
    ASSERT_EQ(4u, completed_count(&recorder));
    std::lock_guard<std::mutex> hold(recorder.lock);
    for (size_t i = 0; i < 4; i++) {
        EXPECT_EQ(&pool.headers[i], recorder.completed[i]);
        EXPECT_EQ(i == 0 ? tenth : 0u, recorder.bytes[i]);
        EXPECT_EQ(WHDR_DONE | WHDR_PREPARED, pool.headers[i].dwFlags);
    }
}

TEST(WaveInStop, InterruptsAReadThatWaitsForAudio) {
    /* The device thread waits up to half a second for audio from a stalled device; a stop
       must not wait that out. */
    Recorder recorder;
    HWAVEIN device = open_sim("speed=1,stall_after=1", &recorder);
    Pool pool;
    make_pool(&pool, {tenth, tenth, tenth});
    queue_all(device, &pool);
    ASSERT_EQ(MMSYSERR_NOERROR, waveInStart(device));
    ASSERT_TRUE(wait_completed(&recorder, 1));
    for (int i = 0; i < 5; i++) {
        std::this_thread::sleep_for(std::chrono::milliseconds(130));
        auto start = std::chrono::steady_clock::now();
        ASSERT_EQ(MMSYSERR_NOERROR, waveInStop(device));
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(300));
        ASSERT_EQ(MMSYSERR_NOERROR, waveInStart(device));
    }
    shut(device, &pool, &recorder);
}

TEST(WaveInHeaders, FollowThePrepareQueueAndCloseRules) {
    Recorder recorder;
    HWAVEIN device = open_sim("speed=0", &recorder);
    Pool pool;
    make_pool(&pool, {tenth, tenth});
    WAVEHDR* header = &pool.headers[0];
    EXPECT_EQ(WAVERR_UNPREPARED, waveInAddBuffer(device, header, sizeof *header));
    EXPECT_EQ(MMSYSERR_NOERROR, waveInUnprepareHeader(device, header, sizeof *header));
    EXPECT_EQ(MMSYSERR_INVALPARAM, waveInPrepareHeader(device, header, sizeof *header - 1));
    ASSERT_EQ(MMSYSERR_NOERROR, waveInPrepareHeader(device, header, sizeof *header));
    EXPECT_EQ(WHDR_PREPARED, header->dwFlags);
    header->dwFlags |= WHDR_DONE;
    ASSERT_EQ(MMSYSERR_NOERROR, waveInAddBuffer(device, header, sizeof *header));
    EXPECT_EQ(WHDR_PREPARED | WHDR_INQUEUE, header->dwFlags);
    EXPECT_EQ(WAVERR_STILLPLAYING, waveInAddBuffer(device, header, sizeof *header));
    EXPECT_EQ(WAVERR_STILLPLAYING, waveInUnprepareHeader(device, header, sizeof *header));
    EXPECT_EQ(WAVERR_STILLPLAYING, waveInClose(device));
    EXPECT_EQ(MMSYSERR_NOERROR, waveInReset(device));
    EXPECT_EQ(MMSYSERR_NOERROR, waveInUnprepareHeader(device, header, sizeof *header));
    EXPECT_EQ(0u, header->dwFlags & (WHDR_PREPARED | WHDR_INQUEUE));
    EXPECT_EQ(MMSYSERR_NOERROR, waveInClose(device));
    EXPECT_EQ(MMSYSERR_INVALHANDLE, waveInStart(device));
    EXPECT_EQ(MMSYSERR_INVALHANDLE, waveInClose(nullptr));
}

TEST(WaveInClose, NoCallbackRunsAfterCloseReturns) {
    Recorder recorder;
    recorder.slow_ms = 20;
    HWAVEIN device = open_sim("speed=0", &recorder);
    Pool pool;
    make_pool(&pool, {tenth, tenth, tenth, tenth, tenth});
    queue_all(device, &pool);
    ASSERT_EQ(MMSYSERR_NOERROR, waveInStart(device));
    ASSERT_TRUE(wait_completed(&recorder, 1));
    shut(device, &pool, &recorder); /* while the slow callbacks are still being delivered */
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    std::lock_guard<std::mutex> hold(recorder.lock);
    EXPECT_EQ(0, recorder.calls_after_close);
    EXPECT_EQ(5u, recorder.completed.size());
    EXPECT_EQ(std::vector<UINT>(5, WIM_DATA), recorder.messages);
}

TEST(WaveInReserve, AudioReadWhileNoBufferIsQueuedComesFirst) {
    /* The device itself holds only 0.5 s; two idle seconds would overrun it without the reserve. */
    Recorder recorder;
    HWAVEIN device = open_sim("speed=10,overrun=500", &recorder);
    Pool pool;
    make_pool(&pool, std::vector<DWORD>(30, tenth));
    ASSERT_EQ(MMSYSERR_NOERROR, waveInStart(device));
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    queue_all(device, &pool);
    ASSERT_TRUE(wait_completed(&recorder, pool.headers.size()));
    std::vector<uint16_t> samples = recorded_samples(&recorder, 0, pool.headers.size());
    EXPECT_EQ(30 * tenth / 2, samples.size());
    EXPECT_EQ(samples.size(), first_break(samples, 0));
    shut(device, &pool, &recorder);
}

TEST(WaveInReserve, FullReserveLeavesTheOverrunToTheDeviceAndItShowsInOrder) {
    /* 4 s of reserve fill in 0.4 s at ten times real time; the device then overruns after 2 s. */
    Recorder recorder;
    HWAVEIN device = open_sim("speed=10,overrun=2000", &recorder);
    Pool pool;
    make_pool(&pool, std::vector<DWORD>(42, tenth));
    ASSERT_EQ(MMSYSERR_NOERROR, waveInStart(device));
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    queue_all(device, &pool);
    ASSERT_TRUE(wait_completed(&recorder, 41));
    std::vector<uint16_t> samples = recorded_samples(&recorder, 0, 40);
    EXPECT_EQ(40 * tenth / 2, samples.size());
    EXPECT_EQ(samples.size(), first_break(samples, 0));
    {
        std::lock_guard<std::mutex> hold(recorder.lock);
        EXPECT_EQ(0u, recorder.bytes[40]);
    }
    char text[256];
    waveInGetErrorTextA(MMSYSERR_ERROR, text, sizeof text);
    EXPECT_EQ(0, strncmp(text, "Input overran: audio was lost (", 31)) << text;
    shut(device, &pool, &recorder);
}

/* A loss or failure ends the buffer being filled short; the audio after it follows the gap. */
TEST(WaveInLoss, CompletesTheBufferShortAtTheProblem) {
    struct Case {
        const char* config;  /* WAVTAP_SIM */
        bool queue_late;     /* buffers added after the reserve has taken the problem */
        size_t short_buffer; /* the buffer that comes back short */
        DWORD short_bytes;   /* with these bytes */
        bool more_audio;     /* buffers after it are filled */
        const char* text;    /* the short buffer's text, also that of MMSYSERR_ERROR afterwards */
        int64_t lost_frames; /* the short buffer's length of the loss */
    };
    const Case cases[] = {
        {"speed=0,short=2", false, 2, tenth / 2, true, "Input overran: audio was lost (0.8 s)",
         6400},
        {"speed=0,short=2", true, 2, tenth / 2, true, "Input overran: audio was lost (0.8 s)",
         6400},
        {"speed=0,lose_after=3,gap=4000", false, 3, 0, true,
         "Input overran: audio was lost (0.5 s)", 4000},
        {"speed=0,lose_after=3,gap=4000", true, 3, 0, true, "Input overran: audio was lost (0.5 s)",
         4000},
        {"speed=0,die_after=2", false, 2, 0, false,
         "Input device failed: the device stopped working", LOST_FRAMES_UNKNOWN},
        {"speed=0,die_after=2", true, 2, 0, false,
         "Input device failed: the device stopped working", LOST_FRAMES_UNKNOWN},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.config) + (c.queue_late ? " queued late" : ""));
        Recorder recorder;
        HWAVEIN device = open_sim(c.config, &recorder);
        Pool pool;
        make_pool(&pool, std::vector<DWORD>(6, tenth));
        if (!c.queue_late) queue_all(device, &pool);
        ASSERT_EQ(MMSYSERR_NOERROR, waveInStart(device));
        if (c.queue_late) {
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
            queue_all(device, &pool);
        }
        size_t expected = c.more_audio ? pool.headers.size() : c.short_buffer + 1;
        ASSERT_TRUE(wait_completed(&recorder, expected));
        if (!c.more_audio) std::this_thread::sleep_for(std::chrono::milliseconds(100));
        ASSERT_EQ(expected, completed_count(&recorder));
        {
            std::lock_guard<std::mutex> hold(recorder.lock);
            for (size_t i = 0; i < expected; i++)
                EXPECT_EQ(i == c.short_buffer ? c.short_bytes : tenth, recorder.bytes[i]) << i;
        }
        std::vector<uint16_t> before = recorded_samples(&recorder, 0, c.short_buffer + 1);
        EXPECT_EQ(before.size(), first_break(before, 0));
        if (c.more_audio) {
            std::vector<uint16_t> after =
                recorded_samples(&recorder, c.short_buffer + 1, pool.headers.size());
            uint64_t gap = strstr(c.config, "gap=4000") ? 4000 : 6400;
            ASSERT_FALSE(after.empty());
            EXPECT_EQ((uint16_t)(before.size() + gap), after[0]);
            EXPECT_EQ(after.size(), first_break(after, after[0]));
        }
        BufferProblem problem;
        describe_short_buffer(device, &pool.headers[c.short_buffer], &problem);
        EXPECT_STREQ(c.text, problem.text);
        EXPECT_EQ(c.lost_frames, problem.lost_frames);
        char text[256];
        waveInGetErrorTextA(MMSYSERR_ERROR, text, sizeof text);
        EXPECT_STREQ(c.text, text);
        shut(device, &pool, &recorder);
    }
}

/* Two losses of different lengths, both before the caller looks at the first short buffer: 0.1 s
   where buffer 2 begins (it comes back empty), 0.3 s in the middle of the device's buffer 3,
   which is the caller's buffer 4 after the empty one (it comes back half full). */
TEST(WaveInLoss, EachShortBufferKeepsItsOwnProblemWhenLossesComeCloseTogether) {
    for (bool queue_late : {false, true}) {
        SCOPED_TRACE(queue_late ? "through the reserve" : "straight into the buffers");
        Recorder recorder;
        HWAVEIN device = open_sim("speed=0,lose_after=2:800,short=3:2400", &recorder);
        Pool pool;
        make_pool(&pool, std::vector<DWORD>(6, tenth));
        if (!queue_late) queue_all(device, &pool);
        ASSERT_EQ(MMSYSERR_NOERROR, waveInStart(device));
        if (queue_late) {
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
            queue_all(device, &pool);
        }
        ASSERT_TRUE(wait_completed(&recorder, pool.headers.size()));
        {
            std::lock_guard<std::mutex> hold(recorder.lock);
            EXPECT_EQ(0u, recorder.bytes[2]);
            EXPECT_EQ(tenth / 2, recorder.bytes[4]);
        }
        BufferProblem first, second;
        describe_short_buffer(device, &pool.headers[2], &first);
        describe_short_buffer(device, &pool.headers[4], &second);
        EXPECT_STREQ("Input overran: audio was lost (0.1 s)", first.text);
        EXPECT_EQ(800, first.lost_frames);
        EXPECT_STREQ("Input overran: audio was lost (0.3 s)", second.text);
        EXPECT_EQ(2400, second.lost_frames);
        shut(device, &pool, &recorder);
    }
}

TEST(WaveInErrorText, AStallAfterALossReadsAsTheStall) {
    Recorder recorder;
    HWAVEIN device = open_sim("speed=0,lose_after=1,stall_after=2", &recorder);
    Pool pool;
    make_pool(&pool, {tenth, tenth, tenth, tenth});
    queue_all(device, &pool);
    ASSERT_EQ(MMSYSERR_NOERROR, waveInStart(device));
    ASSERT_TRUE(wait_completed(&recorder, 3));
    char text[256];
    waveInGetErrorTextA(MMSYSERR_ERROR, text, sizeof text);
    EXPECT_STREQ("Input overran: audio was lost (0.8 s)", text);
    std::this_thread::sleep_for(std::chrono::milliseconds(1200));
    waveInGetErrorTextA(MMSYSERR_ERROR, text, sizeof text);
    EXPECT_STREQ("The input device stopped delivering audio.", text);
    shut(device, &pool, &recorder);
}

TEST(WaveInFaults, EachInjectedFaultIsReturnedByItsCallWithoutActing) {
    Recorder recorder;
    HWAVEIN device = open_sim("speed=0,fail=prepare:2:11,fail=add:2:7,fail=start:1:4,"
                              "fail=stop:1:5,fail=reset:2:6,fail=unprepare:1:12,fail=close:2:8",
                              &recorder);
    Pool pool;
    make_pool(&pool, {tenth, tenth});
    WAVEHDR* a = &pool.headers[0];
    WAVEHDR* b = &pool.headers[1];
    UINT size = sizeof(WAVEHDR);
    EXPECT_EQ(MMSYSERR_NOERROR, waveInPrepareHeader(device, a, size));
    EXPECT_EQ(11u, waveInPrepareHeader(device, b, size));
    EXPECT_EQ(0u, b->dwFlags);
    EXPECT_EQ(MMSYSERR_NOERROR, waveInPrepareHeader(device, b, size));
    EXPECT_EQ(MMSYSERR_NOERROR, waveInAddBuffer(device, a, size));
    EXPECT_EQ(7u, waveInAddBuffer(device, b, size));
    EXPECT_EQ(WHDR_PREPARED, b->dwFlags);
    EXPECT_EQ(4u, waveInStart(device));
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(0u, completed_count(&recorder)); /* not started */
    EXPECT_EQ(MMSYSERR_NOERROR, waveInStart(device));
    ASSERT_TRUE(wait_completed(&recorder, 1));
    EXPECT_EQ(5u, waveInStop(device));
    EXPECT_EQ(MMSYSERR_NOERROR, waveInStop(device));
    EXPECT_EQ(MMSYSERR_NOERROR, waveInAddBuffer(device, b, size));
    EXPECT_EQ(MMSYSERR_NOERROR, waveInReset(device));
    EXPECT_EQ(MMSYSERR_NOERROR, waveInAddBuffer(device, a, size));
    EXPECT_EQ(6u, waveInReset(device));
    EXPECT_EQ(WAVERR_STILLPLAYING, waveInClose(device)); /* the failed reset returned nothing */
    EXPECT_EQ(MMSYSERR_NOERROR, waveInReset(device));
    EXPECT_EQ(12u, waveInUnprepareHeader(device, a, size));
    EXPECT_EQ(WHDR_PREPARED | WHDR_DONE, a->dwFlags);
    EXPECT_EQ(MMSYSERR_NOERROR, waveInUnprepareHeader(device, a, size));
    EXPECT_EQ(MMSYSERR_NOERROR, waveInUnprepareHeader(device, b, size));
    EXPECT_EQ(8u, waveInClose(device)); /* the close that fails leaves the device open... */
    EXPECT_EQ(MMSYSERR_NOERROR, waveInClose(device)); /* ...and the next one closes it */
}

TEST(WaveInOpen, RefusesWhatTheDeviceOrTheCallerGetsWrong) {
    struct Case {
        const char* config;
        UINT device_id;
        WAVEFORMATEX format;
        DWORD flags;
        MMRESULT expected;
    };
    WAVEFORMATEX inconsistent = mono16;
    inconsistent.nAvgBytesPerSec++;
    const Case cases[] = {
        {"open=4", WAVE_MAPPER, mono16, CALLBACK_FUNCTION, MMSYSERR_ALLOCATED},
        {"devices=1", 1, mono16, CALLBACK_FUNCTION, MMSYSERR_BADDEVICEID},
        {"devices=1", 0, mono16, CALLBACK_FUNCTION, MMSYSERR_NOERROR},
        {"devices=0", WAVE_MAPPER, mono16, CALLBACK_FUNCTION, MMSYSERR_NODRIVER},
        {"speed=fast", WAVE_MAPPER, mono16, CALLBACK_FUNCTION, MMSYSERR_NODRIVER},
        {"", 0, pcm_format(8000, 1, 24), CALLBACK_FUNCTION, WAVERR_BADFORMAT},
        {"", 0, inconsistent, CALLBACK_FUNCTION, WAVERR_BADFORMAT},
        {"", 0, mono16, 0x00050000u, MMSYSERR_INVALFLAG},
        {"", 0, mono16, 0, MMSYSERR_INVALFLAG}, /* the capture always passes its callback */
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.config);
        setenv("WAVTAP_SIM", c.config, 1);
        Recorder recorder;
        HWAVEIN device = nullptr;
        EXPECT_EQ(c.expected, waveInOpen(&device, c.device_id, &c.format, (DWORD_PTR)record_message,
                                         (DWORD_PTR)&recorder, c.flags));
        if (c.expected == MMSYSERR_NOERROR)
            EXPECT_EQ(MMSYSERR_NOERROR, waveInClose(device));
        else
            EXPECT_EQ(nullptr, device);
    }
    setenv("WAVTAP_SIM", "devices=3", 1);
    EXPECT_EQ(3u, waveInGetNumDevs());
    setenv("WAVTAP_SIM", "devices=3,bogus=1", 1);
    EXPECT_EQ(0u, waveInGetNumDevs());
}

TEST(WaveFormat, CapturablePlainPcmOrExtensibleIntegersAndFloatUpTo8Channels) {
    struct Case {
        const char* what;
        WAVEFORMATEXTENSIBLE format;
        bool capturable;
    };
    auto plain = [](WORD channels, WORD bits) {
        WAVEFORMATEXTENSIBLE format = {};
        format.Format = pcm_format(44100, channels, bits);
        return format;
    };
    WAVEFORMATEXTENSIBLE short_extension = extensible_format(44100, 2, 24, false);
    short_extension.Format.cbSize = 21;
    WAVEFORMATEXTENSIBLE fewer_valid_bits = extensible_format(44100, 2, 32, false);
    fewer_valid_bits.Samples.wValidBitsPerSample = 24;
    WAVEFORMATEXTENSIBLE other_subformat = extensible_format(44100, 2, 16, false);
    other_subformat.SubFormat.Data1 = 2; /* ADPCM */
    WAVEFORMATEXTENSIBLE other_suffix = extensible_format(44100, 2, 16, false);
    other_suffix.SubFormat.Data4[7] = 0x72;
    WAVEFORMATEXTENSIBLE wrong_align = extensible_format(44100, 6, 24, false);
    wrong_align.Format.nBlockAlign = 24;
    WAVEFORMATEXTENSIBLE plain_float = plain(2, 32);
    plain_float.Format.wFormatTag = WAVE_FORMAT_IEEE_FLOAT;
    const Case cases[] = {
        {"plain 8-bit mono", plain(1, 8), true},
        {"plain 16-bit stereo", plain(2, 16), true},
        {"plain 16-bit, 3 channels", plain(3, 16), false},
        {"plain 24-bit", plain(2, 24), false},
        {"plain float tag", plain_float, false},
        {"extensible 8-bit mono", extensible_format(44100, 1, 8, false), true},
        {"extensible 16-bit, 6 channels", extensible_format(44100, 6, 16, false, 0x3F), true},
        {"extensible 24-bit stereo", extensible_format(44100, 2, 24, false, 0x3), true},
        {"extensible 32-bit, 8 channels", extensible_format(44100, 8, 32, false, 0x63F), true},
        {"extensible float, 6 channels", extensible_format(44100, 6, 32, true, 0x3F), true},
        {"extensible 9 channels", extensible_format(44100, 9, 16, false), false},
        {"extensible 0 channels", extensible_format(44100, 0, 16, false), false},
        {"extensible 12-bit", extensible_format(44100, 2, 12, false), false},
        {"extensible 24-bit float", extensible_format(44100, 2, 24, true), false},
        {"extensible 64-bit float", extensible_format(44100, 2, 64, true), false},
        {"cbSize 21", short_extension, false},
        {"24 valid bits of 32", fewer_valid_bits, false},
        {"ADPCM sub-format", other_subformat, false},
        {"a GUID of another family", other_suffix, false},
        {"block align of 32-bit", wrong_align, false},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(c.capturable, wave_format_is_capturable(&c.format.Format)) << c.what;
        if (c.capturable) {
            EXPECT_EQ(c.format.SubFormat.Data1 == 3 && c.format.Format.cbSize == 22,
                      wave_format_is_float(&c.format.Format))
                << c.what;
        }
    }
}

TEST(WaveInErrorText, EveryResultHasATextThatFitsTheBuffer) {
    for (MMRESULT result = 0; result <= 40; result++) {
        char text[256] = "";
        MMRESULT rc = waveInGetErrorTextA(result, text, sizeof text);
        bool defined = result <= MMSYSERR_LASTERROR || (result >= 32 && result <= 35);
        EXPECT_EQ(defined ? MMSYSERR_NOERROR : MMSYSERR_BADERRNUM, rc) << result;
        EXPECT_GT(strlen(text), 10u) << result;
    }
    char small[8];
    memset(small, 'x', sizeof small);
    waveInGetErrorTextA(WAVERR_STILLPLAYING, small, sizeof small);
    EXPECT_STREQ("Cannot ", small);
    EXPECT_EQ(MMSYSERR_INVALPARAM, waveInGetErrorTextA(0, small, 0));
}

TEST(WaveInErrorText, AFailedOpenReadsAsTheSourceDescribesItUntilADeviceOpens) {
    setenv("WAVTAP_SIM", "", 1);
    Recorder recorder;
    HWAVEIN device = nullptr;
    UINT id = 0;
    char text[256] = "";
    ASSERT_EQ(MMSYSERR_NOERROR, find_input_device("nosuch", &id, text, sizeof text));
    EXPECT_EQ((UINT)WAVE_MAPPER, id);
    EXPECT_EQ(MMSYSERR_NODRIVER, waveInOpen(&device, id, &mono16, (DWORD_PTR)record_message,
                                            (DWORD_PTR)&recorder, CALLBACK_FUNCTION));
    waveInGetErrorTextA(MMSYSERR_NODRIVER, text, sizeof text);
    EXPECT_STREQ("The simulated device has no PCM \"nosuch\".", text);
    waveInGetErrorTextA(MMSYSERR_ALLOCATED, text, sizeof text);
    EXPECT_STREQ("The specified device is already in use. Wait until it is free, and then try "
                 "again.",
                 text);

    ASSERT_EQ(MMSYSERR_NOERROR, find_input_device("sim", &id, text, sizeof text));
    ASSERT_EQ(MMSYSERR_NOERROR, waveInOpen(&device, id, &mono16, (DWORD_PTR)record_message,
                                           (DWORD_PTR)&recorder, CALLBACK_FUNCTION));
    EXPECT_EQ(MMSYSERR_NOERROR, waveInClose(device));
    waveInGetErrorTextA(MMSYSERR_NODRIVER, text, sizeof text);
    EXPECT_STREQ("There is no driver installed on your system.", text);
}
