// The command line on Windows: switches start with "-" or "/", and the arguments are taken from
// the UTF-16 command line, so that file names outside the ANSI code page arrive whole.
#include <cstdlib>

#include "platform/platform.h"

#include <shellapi.h>

const char switch_prefixes[] = "-/";

/* The UTF-8 form of text, in memory that lives until the process ends; null when memory is
   short. */
static char* to_utf8(const wchar_t* text) {
    int size = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
    if (size <= 0) return nullptr;
    char* utf8 = (char*)malloc((size_t)size);
    if (utf8) WideCharToMultiByte(CP_UTF8, 0, text, -1, utf8, size, nullptr, nullptr);
    return utf8;
}

char** command_line_arguments(int* argc, char** argv) {
    int count = 0;
    wchar_t** wide = CommandLineToArgvW(GetCommandLineW(), &count);
    if (!wide) return argv;
    char** utf8 = (char**)calloc((size_t)count + 1, sizeof *utf8);
    bool whole = utf8 != nullptr;
    for (int i = 0; whole && i < count; i++)
        whole = (utf8[i] = to_utf8(wide[i])) != nullptr;
    LocalFree(wide);
    if (!whole) return argv; /* memory is short: the ANSI arguments are better than none */
    *argc = count;
    return utf8;
}
