// The key press that starts a recording, read raw from the Windows console.
#include "platform/platform.h"

#define STALE_INPUT_WAIT_MS 100 /* how long the prompt looks for keys typed before it */
#define STALE_INPUT_ROUNDS 10   /* most times it empties the console's input for them */

/* True when a key-down event gives the program a key: a character, or one of the keys that
   have an extended key code of their own (function keys, the cursor block, Insert and
   Delete). Modifier and lock keys alone (Shift, Ctrl, Alt, CapsLock, NumLock, the Windows
   keys) give neither. */
static bool yields_key(const KEY_EVENT_RECORD* key) {
    if (!key->bKeyDown) return false;
    if (key->uChar.AsciiChar != 0) return true;
    WORD code = key->wVirtualKeyCode;
    if (code >= VK_F1 && code <= VK_F12) return true;
    switch (code) {
    case VK_PRIOR:
    case VK_NEXT:
    case VK_END:
    case VK_HOME:
    case VK_LEFT:
    case VK_UP:
    case VK_RIGHT:
    case VK_DOWN:
    case VK_INSERT:
    case VK_DELETE:
    case VK_CLEAR:
        return true;
    default:
        return false;
    }
}

/* Reads the console's own input (CONIN$), not standard input, so a redirected standard input
   does not answer the prompt. Processed input is switched off for the wait: Ctrl+C then arrives
   as a key instead of a control event; one sent to the process still ends the wait through
   *stop. */
void wait_for_key_press(const std::atomic<int>* stop) {
    HANDLE input = CreateFileA("CONIN$", GENERIC_READ | GENERIC_WRITE,
                               FILE_SHARE_READ | FILE_SHARE_WRITE, NULL, OPEN_EXISTING, 0, NULL);
    if (input == INVALID_HANDLE_VALUE) return;
    DWORD previous_mode;
    if (GetConsoleMode(input, &previous_mode)) {
        DWORD raw_mode = previous_mode &
                         ~(DWORD)(ENABLE_PROCESSED_INPUT | ENABLE_LINE_INPUT | ENABLE_ECHO_INPUT);
        if (SetConsoleMode(input, raw_mode)) {
            /* Keys typed before the prompt appeared (while the output was prepared) do not
               answer it. A console fed by a terminal (Wine's) takes in what waits there only
               while someone waits for input, so the buffer is emptied until a short wait
               finds nothing more (or, with a steady stream of mouse events, a few times). */
            for (int round = 0; round < STALE_INPUT_ROUNDS; round++)
                if (WaitForSingleObject(input, STALE_INPUT_WAIT_MS) != WAIT_OBJECT_0 ||
                    !FlushConsoleInputBuffer(input))
                    break;
            INPUT_RECORD record;
            DWORD count;
            for (;;) {
                if (stop->load()) break;
                DWORD waited = WaitForSingleObject(input, KEY_STOP_POLL_MS);
                if (waited == WAIT_TIMEOUT) continue;
                if (waited != WAIT_OBJECT_0) break;
                if (!ReadConsoleInputA(input, &record, 1, &count) || count != 1) break;
                if (record.EventType == KEY_EVENT && yields_key(&record.Event.KeyEvent)) break;
            }
            SetConsoleMode(input, previous_mode);
        }
    }
    CloseHandle(input);
}
