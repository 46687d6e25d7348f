// The key press that starts a recording, read raw from the controlling terminal.
//
// The terminal itself (/dev/tty) is read, not standard input, so a redirected standard input
// does not answer the prompt. For the wait the terminal is put in non-canonical mode without
// echo, without signal keys and without flow control: Ctrl+C, Ctrl+\ and Ctrl+S then arrive as
// keys that start the recording. Modifier keys alone send no bytes, so they never count. The
// previous mode comes back after the key, and also when a stop request ends the wait: the
// signals themselves are handled in console_posix.cpp, whose control handlers set the request.
#include <cerrno>
#include <ctime>
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include "platform/key_prompt.h"
#include "platform/posix/monotonic_clock.h"

#define KEY_SEQUENCE_GAP_MS                                                                        \
    30                       /* the bytes of one key (an escape sequence) come closer than this    \
                              */
#define KEY_DRAIN_MAX_MS 200 /* longest time spent swallowing the rest of a key */

/* The terminal being waited on; main thread. */
struct KeyPromptState {
    int tty;       /* /dev/tty while in raw mode, else -1 */
    termios saved; /* its mode before the wait */
};

static KeyPromptState key_prompt = {-1, {}};

static long elapsed_ms(double since) {
    return (long)((monotonic_seconds() - since) * 1000);
}

/* Swallows the rest of a key that sends several bytes (cursor and function keys send escape
   sequences, other keys multi-byte characters), so none of it reaches the shell afterwards. */
static void drain_key(int tty) {
    double start = monotonic_seconds();
    for (;;) {
        long left = KEY_DRAIN_MAX_MS - elapsed_ms(start);
        if (left <= 0) return;
        struct pollfd ready = {tty, POLLIN, 0};
        int rc = poll(&ready, 1, left < KEY_SEQUENCE_GAP_MS ? (int)left : KEY_SEQUENCE_GAP_MS);
        if (rc < 0 && errno == EINTR) continue;
        if (rc <= 0 || !(ready.revents & POLLIN)) return;
        char rest[64];
        if (read(tty, rest, sizeof rest) <= 0) return;
    }
}

/* Blocks until one byte arrives. False on end of file, a read error, or a stop request. */
static bool read_key(int tty, const std::atomic<int>* stop) {
    for (;;) {
        if (stop->load()) return false;
        struct pollfd ready = {tty, POLLIN, 0};
        int rc = poll(&ready, 1, KEY_STOP_POLL_MS);
        if (rc == 0 || (rc < 0 && errno == EINTR)) continue;
        if (rc < 0) return false;
        char key;
        ssize_t n = read(tty, &key, 1);
        if (n == 1) return true;
        if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
        return false;
    }
}

void wait_for_key_press(const std::atomic<int>* stop) {
    int tty = open("/dev/tty", O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (tty < 0) return;
    termios raw;
    if (tcgetattr(tty, &key_prompt.saved) != 0) {
        close(tty);
        return;
    }
    raw = key_prompt.saved;
    raw.c_lflag &= ~(tcflag_t)(ICANON | ECHO | ECHONL | ISIG | IEXTEN);
    raw.c_iflag &= ~(tcflag_t)(IXON | ICRNL | INLCR | IGNCR);
    raw.c_cc[VMIN] = 1;
    raw.c_cc[VTIME] = 0;
    key_prompt.tty = tty;
    if (tcsetattr(tty, TCSANOW, &raw) == 0) {
        if (read_key(tty, stop)) drain_key(tty);
        tcsetattr(tty, TCSANOW, &key_prompt.saved);
    }
    key_prompt.tty = -1;
    close(tty);
}
