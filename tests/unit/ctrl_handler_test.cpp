// Unit tests of the console control handler: which events become a stop request, and the wait in
// the events after which the system ends the process (close, logoff, shutdown), which Wine cannot
// deliver to a console program.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "driver/interrupt.h"

namespace {

/* Runs ctrl_handler(type) on a thread of its own, as the console does. */
struct HandlerRun {
    std::atomic<bool> returned{false};
    std::atomic<BOOL> result{FALSE};
    std::thread thread;
    explicit HandlerRun(DWORD type)
        : thread([this, type] {
              result = ctrl_handler(type);
              returned = true;
          }) {}
};

class CtrlHandler : public ::testing::Test {
  protected:
    void SetUp() override {
        abort_requested = 0;
        prepare_output_done();
        ASSERT_NE(output_done_wait.done_event, nullptr);
    }
    void TearDown() override {
        CloseHandle(output_done_wait.done_event);
        output_done_wait = {nullptr, saved_wait.longest_ms};
        abort_requested = 0;
    }
    OutputDoneWait saved_wait = output_done_wait;
};

TEST_F(CtrlHandler, TakesTheInterruptKeysAsAStopAndPassesUnknownEventsOn) {
    for (DWORD type : {CTRL_C_EVENT, CTRL_BREAK_EVENT}) {
        abort_requested = 0;
        EXPECT_EQ(ctrl_handler(type), TRUE) << type;
        EXPECT_EQ(abort_requested.load(), 1) << type;
    }
    abort_requested = 0;
    for (DWORD type : {3u, 4u, 7u}) {
        EXPECT_EQ(ctrl_handler(type), FALSE) << type;
        EXPECT_EQ(abort_requested.load(), 0) << type;
    }
}

TEST_F(CtrlHandler, StopsAndHoldsTheProcessInACloseEventUntilTheOutputIsDone) {
    for (DWORD type : {CTRL_CLOSE_EVENT, CTRL_LOGOFF_EVENT, CTRL_SHUTDOWN_EVENT}) {
        abort_requested = 0;
        ResetEvent(output_done_wait.done_event);
        HandlerRun run(type);
        /* The stop request is raised at once, so the capture can end and cut the file back. */
        while (abort_requested.load() == 0)
            std::this_thread::yield();
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        EXPECT_FALSE(run.returned) << type << ": returned before the output was done";
        output_done();
        run.thread.join();
        EXPECT_EQ(run.result.load(), TRUE) << type;
    }
}

TEST_F(CtrlHandler, GivesUpWaitingForTheOutputAfterItsBound) {
    output_done_wait.longest_ms = 50;
    HandlerRun run(CTRL_CLOSE_EVENT);
    run.thread.join();
    EXPECT_EQ(run.result.load(), TRUE);
    EXPECT_EQ(abort_requested.load(), 1);
}

} // namespace
