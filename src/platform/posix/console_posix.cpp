// SetConsoleCtrlHandler for POSIX systems: the terminal's interrupt keys and the requests to end
// as console control events.
//
// SIGINT (Ctrl+C) is CTRL_C_EVENT and SIGQUIT (Ctrl+\, the nearest thing to Ctrl+Break) is
// CTRL_BREAK_EVENT. SIGHUP (the terminal went away) is CTRL_CLOSE_EVENT and SIGTERM (the
// system, a service manager or another program asks the process to end) is
// CTRL_SHUTDOWN_EVENT. As on Windows, the registered handlers run newest first on a thread of
// their own, the control thread: the signal handler only passes the signal's number to it
// through a pipe. When none of them returns TRUE, the signal's default action happens, as the
// platform's default handler would end the process on Windows. No other signal is touched,
// except two that are ignored from start-up: SIGPIPE, so that a write to a closed pipe fails with
// EPIPE and is reported instead of killing the program without a word, and SIGXFSZ, so that a
// write past the file size limit fails with EFBIG and is reported the same way.
#include <atomic>
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <pthread.h>
#include <unistd.h>

#include "platform/platform.h"

#define MAX_CTRL_HANDLERS 8

struct CtrlHandlerList {
    std::atomic<PHANDLER_ROUTINE> handlers[MAX_CTRL_HANDLERS]; /* registration order */
    std::atomic<int> count;                                    /* handlers in use */
    bool signals_installed; /* the control thread and our sigaction are in place
                               (main thread only) */
    int pipe_read;          /* the control thread reads signal numbers here */
    int pipe_write;         /* the signal handler writes them here (non-blocking) */
};

static CtrlHandlerList ctrl_handlers = {{}, {0}, false, -1, -1};

static const int console_signals[] = {SIGINT, SIGQUIT, SIGHUP, SIGTERM};

static bool ignore_signal(int signal_number) {
    struct sigaction action = {};
    action.sa_handler = SIG_IGN;
    sigemptyset(&action.sa_mask);
    return sigaction(signal_number, &action, nullptr) == 0;
}

static const bool start_up_signals_ignored = ignore_signal(SIGPIPE) && ignore_signal(SIGXFSZ);

static DWORD event_of_signal(int signal_number) {
    switch (signal_number) {
    case SIGINT:
        return CTRL_C_EVENT;
    case SIGQUIT:
        return CTRL_BREAK_EVENT;
    case SIGHUP:
        return CTRL_CLOSE_EVENT;
    default:
        return CTRL_SHUTDOWN_EVENT;
    }
}

/* Signal context: hands the signal to the control thread. */
static void on_console_signal(int signal_number) {
    int saved_errno = errno;
    unsigned char number = (unsigned char)signal_number;
    ssize_t written = write(ctrl_handlers.pipe_write, &number, 1);
    (void)written; /* a full pipe already holds more requests than anyone needs */
    errno = saved_errno;
}

/* Control thread: runs the handlers for one signal, newest first; when none takes it, the
   signal's default action ends the process. */
static void dispatch_signal(int signal_number) {
    DWORD event = event_of_signal(signal_number);
    for (int i = ctrl_handlers.count.load() - 1; i >= 0; i--) {
        PHANDLER_ROUTINE handler = ctrl_handlers.handlers[i].load();
        if (handler && handler(event)) return;
    }
    struct sigaction action = {};
    action.sa_handler = SIG_DFL;
    sigemptyset(&action.sa_mask);
    sigaction(signal_number, &action, nullptr);
    /* To the process: this thread blocks every signal, another one takes it. */
    kill(getpid(), signal_number);
}

static void* control_thread(void*) {
    for (;;) {
        unsigned char number;
        ssize_t n = read(ctrl_handlers.pipe_read, &number, 1);
        if (n == 1)
            dispatch_signal(number);
        else if (n == 0 || errno != EINTR)
            return nullptr;
    }
}

/* Starts the control thread with every signal blocked, so that no signal handler ever
   interrupts a control handler on its own thread. */
static bool start_control_thread(void) {
    int ends[2];
    if (pipe(ends) != 0) return false;
    fcntl(ends[0], F_SETFD, FD_CLOEXEC);
    fcntl(ends[1], F_SETFD, FD_CLOEXEC);
    fcntl(ends[1], F_SETFL, O_NONBLOCK);
    ctrl_handlers.pipe_read = ends[0];
    ctrl_handlers.pipe_write = ends[1];
    sigset_t all, previous;
    sigfillset(&all);
    pthread_sigmask(SIG_BLOCK, &all, &previous);
    pthread_t thread;
    int rc = pthread_create(&thread, nullptr, control_thread, nullptr);
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    if (rc != 0) return false;
    pthread_detach(thread);
    return true;
}

static bool install_signal_handlers(void) {
    if (!start_control_thread()) return false;
    struct sigaction action = {};
    action.sa_handler = on_console_signal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (int signal_number : console_signals)
        if (sigaction(signal_number, &action, nullptr) != 0) return false;
    return true;
}

/* Adds a handler (main thread). Only what the program asks for is provided: a handler is
   added and stays; the null handler and the removal of a handler are refused with FALSE. */
BOOL WINAPI SetConsoleCtrlHandler(PHANDLER_ROUTINE handler, BOOL add) {
    (void)start_up_signals_ignored;
    if (!handler || !add) return FALSE;
    int n = ctrl_handlers.count.load();
    if (n == MAX_CTRL_HANDLERS) return FALSE;
    ctrl_handlers.handlers[n].store(handler);
    ctrl_handlers.count.store(n + 1);
    if (!ctrl_handlers.signals_installed) {
        if (!install_signal_handlers()) return FALSE;
        ctrl_handlers.signals_installed = true;
    }
    return TRUE;
}
