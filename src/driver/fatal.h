// How every subsystem ends the process on a fatal error.
#pragma once

/* Writes the formatted message to standard error in one print and ends the process through the
   runtime's normal exit with status -1, so that open streams are flushed. */
[[noreturn]] void fatal_error(const char* format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 1, 2)))
#endif
    ;
