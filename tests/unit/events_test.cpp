// Kernel events on POSIX: reset modes, initial state, timed and endless waits, waits across a
// stop of the process.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include "platform/posix/process_stops.h"
#include "platform/win32_compat.h"

TEST(EventWait, TimesOutOnAnUnsignalledEventAfterTheTimeout) {
    HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    ASSERT_NE(nullptr, event);
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(event, 120));
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(120));
    EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(event, 0));
    EXPECT_TRUE(CloseHandle(event));
}

TEST(EventWait, ResetModesDecideWhetherAWaitConsumesTheSignal) {
    struct Case {
        BOOL manual_reset;
        BOOL initial_state;
        DWORD first, second; /* the results of two waits in a row */
    };
    const Case cases[] = {
        {TRUE, TRUE, WAIT_OBJECT_0, WAIT_OBJECT_0},
        {TRUE, FALSE, WAIT_TIMEOUT, WAIT_TIMEOUT},
        {FALSE, TRUE, WAIT_OBJECT_0, WAIT_TIMEOUT},
        {FALSE, FALSE, WAIT_TIMEOUT, WAIT_TIMEOUT},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message()
                     << "manual " << c.manual_reset << " initial " << c.initial_state);
        HANDLE event = CreateEventA(nullptr, c.manual_reset, c.initial_state, nullptr);
        ASSERT_NE(nullptr, event);
        EXPECT_EQ(c.first, WaitForSingleObject(event, 0));
        EXPECT_EQ(c.second, WaitForSingleObject(event, 0));
        EXPECT_TRUE(SetEvent(event));
        EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(event, 0));
        EXPECT_EQ(c.manual_reset ? WAIT_OBJECT_0 : WAIT_TIMEOUT, WaitForSingleObject(event, 0));
        EXPECT_TRUE(SetEvent(event));
        EXPECT_TRUE(ResetEvent(event));
        EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(event, 0));
        EXPECT_TRUE(CloseHandle(event));
    }
}

TEST(EventWait, SetEventWakesWaitersOnOtherThreads) {
    for (BOOL manual_reset : {TRUE, FALSE}) {
        SCOPED_TRACE(manual_reset ? "manual reset" : "auto reset");
        HANDLE event = CreateEventA(nullptr, manual_reset, FALSE, nullptr);
        std::atomic<int> woken{0};
        auto waiter = [&] {
            if (WaitForSingleObject(event, INFINITE) == WAIT_OBJECT_0) woken++;
        };
        std::thread first(waiter), second(waiter);
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        EXPECT_EQ(0, woken.load());
        EXPECT_TRUE(SetEvent(event));
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        /* A manual-reset event releases every waiter, an auto-reset one only one of them. */
        EXPECT_EQ(manual_reset ? 2 : 1, woken.load());
        if (!manual_reset) {
            EXPECT_TRUE(SetEvent(event));
        }
        first.join();
        second.join();
        EXPECT_EQ(2, woken.load());
        EXPECT_TRUE(CloseHandle(event));
    }
}

TEST(EventWait, RefusesWhatIsNotAnEvent) {
    EXPECT_EQ(WAIT_FAILED, WaitForSingleObject(nullptr, 0));
    EXPECT_FALSE(SetEvent(nullptr));
    EXPECT_FALSE(ResetEvent(nullptr));
    EXPECT_FALSE(CloseHandle(nullptr));
}

/* A child process waits 500 ms for an event that another of its threads sets 100 ms after the
   process is continued; the test stops it for 1 s in the middle of the wait. */
TEST(EventWait, TimeTheProcessWasStoppedDoesNotCountTowardsATimeout) {
    pid_t child = fork();
    ASSERT_NE(-1, child);
    if (child == 0) {
        HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        uint32_t before = process_continues();
        std::thread setter([&] {
            while (process_continues() == before)
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
            SetEvent(event);
        });
        DWORD result = WaitForSingleObject(event, 500);
        setter.join();
        _exit(result == WAIT_OBJECT_0 ? 0 : 1);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(150));
    ASSERT_EQ(0, kill(child, SIGSTOP));
    std::this_thread::sleep_for(std::chrono::milliseconds(1000));
    ASSERT_EQ(0, kill(child, SIGCONT));
    int status = 0;
    ASSERT_EQ(child, waitpid(child, &status, 0));
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "wait status " << status;
}
