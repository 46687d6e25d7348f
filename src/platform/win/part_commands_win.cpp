// The part commands on Windows: CreateProcessW with the program and its one argument quoted as
// the C runtime splits a command line, the null device as standard input and this process's
// standard output and error as the only handles it inherits; reaped by a wait of 0 ms.
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <cwchar>

#include "platform/part_commands.h"
#include "platform/platform.h"

#define WIDE_COMMAND_SIZE 2200 /* UTF-16 units of a command line: two quoted paths and more */

/* Converts UTF-8 text to UTF-16 in wide (size units). False when it is not UTF-8 or too long. */
static bool widen(const char* text, wchar_t* wide, int size) {
    return MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text, -1, wide, size) != 0;
}

/* Appends text to line (at *used of WIDE_COMMAND_SIZE units) in quotes, so that the C runtime's
   split gives it back whole: backslashes before a quote, and before the closing quote, are
   doubled, and each quote is escaped. False when it does not fit. */
static bool append_quoted(wchar_t* line, size_t* used, const wchar_t* text) {
    size_t at = *used;
    auto put = [&](wchar_t c) {
        if (at + 1 >= WIDE_COMMAND_SIZE) return false;
        line[at++] = c;
        return true;
    };
    if (!put(L'"')) return false;
    for (const wchar_t* p = text;; p++) {
        size_t backslashes = 0;
        while (*p == L'\\') {
            backslashes++;
            p++;
        }
        size_t copies = (*p == L'"' || *p == L'\0') ? backslashes * 2 : backslashes;
        for (size_t i = 0; i < copies; i++)
            if (!put(L'\\')) return false;
        if (*p == L'\0') break;
        if (*p == L'"' && !put(L'\\')) return false;
        if (!put(*p)) return false;
    }
    if (!put(L'"')) return false;
    line[at] = L'\0';
    *used = at;
    return true;
}

/* The standard handle `which` made inheritable, or null when there is none. */
static HANDLE inheritable_standard(DWORD which) {
    HANDLE handle = GetStdHandle(which);
    if (handle == NULL || handle == INVALID_HANDLE_VALUE) return NULL;
    SetHandleInformation(handle, HANDLE_FLAG_INHERIT, HANDLE_FLAG_INHERIT);
    return handle;
}

int start_part_command(const char* program, const char* argument, PartCommand* started) {
    static wchar_t wide_program[1024], wide_argument[1024], line[WIDE_COMMAND_SIZE];
    size_t used = 0;
    if (!widen(program, wide_program, 1024) || !widen(argument, wide_argument, 1024) ||
        !append_quoted(line, &used, wide_program) || used + 2 >= WIDE_COMMAND_SIZE) {
        errno = EINVAL;
        return -1;
    }
    line[used++] = L' ';
    if (!append_quoted(line, &used, wide_argument)) {
        errno = EINVAL;
        return -1;
    }
    SECURITY_ATTRIBUTES inherit = {sizeof inherit, NULL, TRUE};
    HANDLE null_input = CreateFileW(L"NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                    &inherit, OPEN_EXISTING, 0, NULL);
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = null_input != INVALID_HANDLE_VALUE ? null_input : NULL;
    startup.hStdOutput = inheritable_standard(STD_OUTPUT_HANDLE);
    startup.hStdError = inheritable_standard(STD_ERROR_HANDLE);
    PROCESS_INFORMATION process = {};
    BOOL made =
        CreateProcessW(wide_program, line, NULL, NULL, TRUE, 0, NULL, NULL, &startup, &process);
    DWORD error = made ? 0 : GetLastError();
    if (null_input != INVALID_HANDLE_VALUE) CloseHandle(null_input);
    if (!made) {
        errno = error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ? ENOENT
                : error == ERROR_ACCESS_DENIED                                 ? EACCES
                : error == ERROR_BAD_EXE_FORMAT                                ? ENOEXEC
                                                                               : EINVAL;
        return -1;
    }
    CloseHandle(process.hThread);
    started->process = (int64_t)(intptr_t)process.hProcess;
    return 0;
}

int poll_part_command(PartCommand command, PartCommandEnd* end) {
    HANDLE process = (HANDLE)(intptr_t)command.process;
    DWORD waited = WaitForSingleObject(process, 0);
    if (waited == WAIT_TIMEOUT) return 0;
    DWORD code = 0;
    bool told = waited == WAIT_OBJECT_0 && GetExitCodeProcess(process, &code);
    CloseHandle(process);
    if (!told) return -1;
    end->signalled = false;
    end->code = (int32_t)code;
    return 1;
}

void pause_for_part_commands(int32_t milliseconds) {
    Sleep((DWORD)milliseconds);
}
