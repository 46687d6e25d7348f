// A program for -x under Wine: appends "ARGC:ARG1" (its argument count, less its own name, and
// its first argument, as the C runtime splits its UTF-16 command line) to the file that
// WAVTAP_ARGS_LOG names, one line a call, and then exits with the status WAVTAP_ARGS_STATUS says
// (0 without it).
#include <cstdio>
#include <cstdlib>

#include <windows.h>

#include <shellapi.h>

int main(void) {
    int count = 0;
    wchar_t** arguments = CommandLineToArgvW(GetCommandLineW(), &count);
    const char* log = getenv("WAVTAP_ARGS_LOG");
    if (!arguments || !log) return 100;
    char first[4096] = "";
    if (count > 1)
        WideCharToMultiByte(CP_UTF8, 0, arguments[1], -1, first, sizeof first, nullptr, nullptr);
    FILE* out = fopen(log, "ab");
    if (!out) return 101;
    fprintf(out, "%d:%s\n", count - 1, first);
    fclose(out);
    const char* status = getenv("WAVTAP_ARGS_STATUS");
    return status ? atoi(status) : 0;
}
