// SetConsoleCtrlHandler for POSIX systems: the terminal's interrupt keys as console control events.
//
// SIGINT (Ctrl+C) is CTRL_C_EVENT and SIGQUIT (Ctrl+\, the nearest thing to Ctrl+Break) is
// CTRL_BREAK_EVENT. The registered handlers run newest first inside the signal handler, so they
// must do no more than a Windows control handler that sets a flag. When none of them returns
// TRUE, the signal's default action happens, as the platform's default handler would end the
// process on Windows. No other signal is touched, except SIGPIPE, which is ignored from start-up
// so that a write to a closed pipe fails with EPIPE and is reported instead of killing the
// program without a word.
#include <atomic>
#include <csignal>

#include "platform/platform.h"

#define MAX_CTRL_HANDLERS 8

struct CtrlHandlerList {
    std::atomic<PHANDLER_ROUTINE> handlers[MAX_CTRL_HANDLERS]; /* registration order */
    std::atomic<int> count;                                    /* handlers in use */
    std::atomic<int> ignore_interrupt; /* SetConsoleCtrlHandler(NULL, TRUE) was called */
    bool signals_installed;            /* our sigaction is in place (main thread only) */
};

static CtrlHandlerList ctrl_handlers;

static bool ignore_sigpipe(void) {
    struct sigaction action = {};
    action.sa_handler = SIG_IGN;
    sigemptyset(&action.sa_mask);
    return sigaction(SIGPIPE, &action, nullptr) == 0;
}

static const bool sigpipe_ignored = ignore_sigpipe();

/* Runs in signal context: only lock-free atomics, sigaction and raise are used. */
static void on_console_signal(int signal_number) {
    DWORD event = signal_number == SIGINT ? CTRL_C_EVENT : CTRL_BREAK_EVENT;
    if (event == CTRL_C_EVENT && ctrl_handlers.ignore_interrupt.load()) return;
    for (int i = ctrl_handlers.count.load() - 1; i >= 0; i--) {
        PHANDLER_ROUTINE handler = ctrl_handlers.handlers[i].load();
        if (handler && handler(event)) return;
    }
    struct sigaction action = {};
    action.sa_handler = SIG_DFL;
    sigemptyset(&action.sa_mask);
    sigaction(signal_number, &action, nullptr);
    raise(signal_number);
}

static bool install_signal_handlers(void) {
    struct sigaction action = {};
    action.sa_handler = on_console_signal;
    sigemptyset(&action.sa_mask);
    sigaddset(&action.sa_mask, SIGINT);
    sigaddset(&action.sa_mask, SIGQUIT);
    action.sa_flags = SA_RESTART;
    return sigaction(SIGINT, &action, nullptr) == 0 && sigaction(SIGQUIT, &action, nullptr) == 0;
}

BOOL WINAPI SetConsoleCtrlHandler(PHANDLER_ROUTINE handler, BOOL add) {
    (void)sigpipe_ignored;
    if (!handler) {
        ctrl_handlers.ignore_interrupt.store(add ? 1 : 0);
    } else if (add) {
        int n = ctrl_handlers.count.load();
        if (n == MAX_CTRL_HANDLERS) return FALSE;
        ctrl_handlers.handlers[n].store(handler);
        ctrl_handlers.count.store(n + 1);
    } else {
        int n = ctrl_handlers.count.load();
        int found = -1;
        for (int i = n - 1; i >= 0 && found < 0; i--)
            if (ctrl_handlers.handlers[i].load() == handler) found = i;
        if (found < 0) return FALSE;
        for (int i = found; i + 1 < n; i++)
            ctrl_handlers.handlers[i].store(ctrl_handlers.handlers[i + 1].load());
        ctrl_handlers.count.store(n - 1);
    }
    if (!ctrl_handlers.signals_installed) {
        if (!install_signal_handlers()) return FALSE;
        ctrl_handlers.signals_installed = true;
    }
    return TRUE;
}
