// Kernel event objects for POSIX systems: CreateEventA, SetEvent, ResetEvent,
// WaitForSingleObject and CloseHandle on a mutex and a condition variable.
//
// A HANDLE from CreateEventA points to an Event record. Waits are timed on the monotonic
// clock, so a change of the wall clock neither shortens nor stretches them.
#include <cerrno>
#include <cstdint>
#include <ctime>
#include <new>
#include <pthread.h>

#include "platform/win32_compat.h"

#define EVENT_MAGIC 0x45564e54u /* "EVNT": tells an event handle from a stray pointer */

struct Event {
    uint32_t magic;       /* EVENT_MAGIC while the event exists */
    pthread_mutex_t lock; /* guards signalled */
    pthread_cond_t wake;  /* broadcast (manual reset) or signalled once (auto reset) on SetEvent */
    bool manual_reset;    /* stays signalled until ResetEvent; otherwise one wait consumes it */
    bool signalled;       /* the event's state */
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
    event->signalled = initial_state != FALSE;
    event->magic = EVENT_MAGIC;
    return event;
}

BOOL WINAPI SetEvent(HANDLE handle) {
    Event* event = event_from_handle(handle);
    if (!event) return FALSE;
    pthread_mutex_lock(&event->lock);
    event->signalled = true;
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
    pthread_mutex_lock(&event->lock);
    event->signalled = false;
    pthread_mutex_unlock(&event->lock);
    return TRUE;
}

/* The monotonic time milliseconds from now. */
static timespec deadline_after(DWORD milliseconds) {
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    int64_t nanoseconds = now.tv_nsec + (int64_t)(milliseconds % 1000) * 1000000;
    timespec deadline;
    deadline.tv_sec =
        now.tv_sec + (time_t)(milliseconds / 1000) + (time_t)(nanoseconds / 1000000000);
    deadline.tv_nsec = (long)(nanoseconds % 1000000000);
    return deadline;
}

DWORD WINAPI WaitForSingleObject(HANDLE handle, DWORD milliseconds) {
    Event* event = event_from_handle(handle);
    if (!event) return WAIT_FAILED;
    timespec deadline = deadline_after(milliseconds == INFINITE ? 0 : milliseconds);
    DWORD result = WAIT_OBJECT_0;
    pthread_mutex_lock(&event->lock);
    while (!event->signalled) {
        int rc = milliseconds == INFINITE
                     ? pthread_cond_wait(&event->wake, &event->lock)
                     : pthread_cond_timedwait(&event->wake, &event->lock, &deadline);
        if (rc == ETIMEDOUT && !event->signalled) {
            result = WAIT_TIMEOUT;
            break;
        }
        if (rc != 0 && rc != ETIMEDOUT) {
            result = WAIT_FAILED;
            break;
        }
    }
    if (result == WAIT_OBJECT_0 && !event->manual_reset) event->signalled = false;
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
