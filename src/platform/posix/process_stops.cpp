// Counts continues of the stopped process (see process_stops.h).
#include "platform/posix/process_stops.h"

#include <atomic>
#include <csignal>
#include <pthread.h>

#define LATE_WAKE_MS 250 /* a wait woken this far past its deadline was cut by a stop */

/* Written by the SIGCONT handler, read by any thread; lock-free, so safe in a handler. */
static struct {
    std::atomic<uint32_t> continues; /* SIGCONTs seen */
    pthread_once_t installed;        /* the handler is installed once */
} process_stops = {{0}, PTHREAD_ONCE_INIT};

static void note_continue(int signal_number) {
    (void)signal_number;
    process_stops.continues.fetch_add(1);
}

static void install_handler(void) {
    struct sigaction action = {};
    action.sa_handler = note_continue;
    action.sa_flags = SA_RESTART;
    sigemptyset(&action.sa_mask);
    sigaction(SIGCONT, &action, nullptr);
}

void watch_process_stops(void) {
    pthread_once(&process_stops.installed, install_handler);
}

uint32_t process_continues(void) {
    return process_stops.continues.load();
}

bool stopped_during_wait(uint32_t continues, double late_ms) {
    return process_continues() != continues || late_ms >= LATE_WAKE_MS;
}
