// Runs the key prompt on its own, for the end-to-end script that drives it through a terminal:
// waits for the key, then prints "pressed". As in the program, the console's control handler
// turns SIGHUP and SIGTERM into a stop request that ends the wait; the probe then ends by the
// signal it got, the terminal's mode restored.
#include <atomic>
#include <csignal>
#include <cstdio>

#include "platform/platform.h"

static std::atomic<int> stop_signal{0};

/* Control thread: a close or shutdown event ends the wait. */
static BOOL WINAPI on_control(DWORD event) {
    if (event == CTRL_CLOSE_EVENT) stop_signal.store(SIGHUP);
    if (event == CTRL_SHUTDOWN_EVENT) stop_signal.store(SIGTERM);
    return stop_signal.load() != 0;
}

int main() {
    SetConsoleCtrlHandler(on_control, TRUE);
    wait_for_key_press(&stop_signal);
    if (int signal_number = stop_signal.load()) {
        signal(signal_number, SIG_DFL);
        raise(signal_number);
    }
    printf("pressed\n");
    return 0;
}
