// The fatal-error exit shared by the parser, the write buffer and output preparation.
#include "driver/fatal.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>

void fatal_error(const char* format, ...) {
    va_list args;
    va_start(args, format);
    vfprintf(stderr, format, args);
    va_end(args);
    exit(-1);
}
