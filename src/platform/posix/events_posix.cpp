// Kernel event objects for POSIX systems: CreateEventA, SetEvent, ResetEvent,
// WaitForSingleObject and CloseHandle on an atomic flag, with a mutex and a condition variable
// for waits that sleep.
//
// A HANDLE from CreateEventA points to an Event record. Waits are timed on the monotonic
// clock, so a change of the wall clock neither shortens nor stretches them.
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <ctime>
#include <new>
#include <pthread.h>

#include "platform/posix/monotonic_clock.h"
#include "platform/posix/process_stops.h"
#include "platform/win32_compat.h"

#define EVENT_MAGIC 0x45564e54u /* "EVNT": tells an event handle from a stray pointer */

/* The state is an atomic flag, so that setting an event nobody waits for and a wait on a set
   event make no system call; only a wait that must sleep takes the lock. A waiter counts
   itself in waiters before it looks at the flag, and SetEvent sets the flag before it looks
   at waiters, so one of the two always sees the other (sequentially consistent order). */
struct Event {
    uint32_t magic;                /* EVENT_MAGIC while the event exists */
    bool manual_reset;             /* stays signalled until ResetEvent; otherwise a wait takes it */
    std::atomic<bool> signalled;   /* the event's state */
    std::atomic<unsigned> waiters; /* threads in a sleeping wait (changed with lock held) */
    pthread_mutex_t lock;          /* for sleeping waits only */
    pthread_cond_t wake;           /* broadcast (manual reset) or signalled once (auto reset) */
};

static Event* event_from_handle(HANDLE handle) {
    Event* event = static_cast<Event*>(handle);
    if (!event || event->magic != EVENT_MAGIC) return nullptr;
    return event;
}

HANDLE WINAPI CreateEventA(LPSECURITY_ATTRIBUTES attributes, BOOL manual_reset, BOOL initial_state,
                           LPCSTR name) {
    (void)attributes;
    if (name) return nullptr; /* named events are shared between processes: not provided */
    watch_process_stops();
    Event* event = new (std::nothrow) Event;
    if (!event) return nullptr;
    pthread_condattr_t attr;
    if (pthread_condattr_init(&attr) != 0) {
        delete event;
        return nullptr;
    }
    bool ok = pthread_condattr_setclock(&attr, CLOCK_MONOTONIC) == 0 &&
              pthread_cond_init(&event->wake, &attr) == 0;
    pthread_condattr_destroy(&attr);
    if (!ok) {
        delete event;
        return nullptr;
    }
    if (pthread_mutex_init(&event->lock, nullptr) != 0) {
        pthread_cond_destroy(&event->wake);
        delete event;
        return nullptr;
    }
    event->manual_reset = manual_reset != FALSE;
    event->signalled.store(initial_state != FALSE);
    event->waiters.store(0);
    event->magic = EVENT_MAGIC;
    return event;
}

BOOL WINAPI SetEvent(HANDLE handle) {
    Event* event = event_from_handle(handle);
    if (!event) return FALSE;
    if (event->signalled.exchange(true)) return TRUE; /* already set: no waiter sleeps */
    if (event->waiters.load() == 0) return TRUE;
    pthread_mutex_lock(&event->lock);
    if (event->manual_reset)
        pthread_cond_broadcast(&event->wake);
    else
        pthread_cond_signal(&event->wake);
    pthread_mutex_unlock(&event->lock);
    return TRUE;
}

BOOL WINAPI ResetEvent(HANDLE handle) {
    Event* event = event_from_handle(handle);
    if (!event) return FALSE;
    event->signalled.store(false);
    return TRUE;
}

/* Takes the signal if the event has it: a manual-reset event keeps it, an auto-reset one is
   reset by the taking. */
static bool take_signal(Event* event) {
    if (event->manual_reset) return event->signalled.load();
    bool expected = true;
    return event->signalled.compare_exchange_strong(expected, false);
}

/* The timespec of a monotonic time in nanoseconds. */
static timespec deadline_at(int64_t at_ns) {
    timespec deadline;
    deadline.tv_sec = (time_t)(at_ns / 1000000000);
    deadline.tv_nsec = (long)(at_ns % 1000000000);
    return deadline;
}

static int64_t monotonic_ns(void) {
    timespec now = monotonic_now();
    return (int64_t)now.tv_sec * 1000000000 + now.tv_nsec;
}

/* A timed wait counts only time in which the process ran: when the process was stopped and
   continued during it, it waits the full time again from its wake, since the thread that
   would set the event had no chance to run while the process was stopped (stopped_during_wait
   tells). */
DWORD WINAPI WaitForSingleObject(HANDLE handle, DWORD milliseconds) {
    Event* event = event_from_handle(handle);
    if (!event) return WAIT_FAILED;
    if (take_signal(event)) return WAIT_OBJECT_0;
    if (milliseconds == 0) return WAIT_TIMEOUT;
    uint32_t continues = process_continues();
    int64_t deadline_ns = monotonic_ns() + (int64_t)milliseconds * 1000000;
    timespec deadline = deadline_at(deadline_ns);
    DWORD result = WAIT_OBJECT_0;
    pthread_mutex_lock(&event->lock);
    event->waiters.fetch_add(1);
    while (!take_signal(event)) {
        int rc = milliseconds == INFINITE
                     ? pthread_cond_wait(&event->wake, &event->lock)
                     : pthread_cond_timedwait(&event->wake, &event->lock, &deadline);
        if (rc == ETIMEDOUT) {
            int64_t now = monotonic_ns();
            if (stopped_during_wait(continues, (double)(now - deadline_ns) / 1e6)) {
                continues = process_continues();
                deadline_ns = now + (int64_t)milliseconds * 1000000;
                deadline = deadline_at(deadline_ns);
                continue;
            }
            if (!take_signal(event)) result = WAIT_TIMEOUT;
            break;
        }
        if (rc != 0) {
            result = WAIT_FAILED;
            break;
        }
    }
    event->waiters.fetch_sub(1);
    pthread_mutex_unlock(&event->lock);
    return result;
}

/* Only events are handles here. The caller promises that no thread still waits on it. */
BOOL WINAPI CloseHandle(HANDLE handle) {
    Event* event = event_from_handle(handle);
    if (!event) return FALSE;
    event->magic = 0;
    pthread_cond_destroy(&event->wake);
    pthread_mutex_destroy(&event->lock);
    delete event;
    return TRUE;
}
