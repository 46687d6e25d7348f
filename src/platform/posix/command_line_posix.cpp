// The command line on POSIX systems: switches start with "-" only, and the arguments are the
// bytes the program was given.
#include "platform/platform.h"

const char switch_prefixes[] = "-";

char** command_line_arguments(int* argc, char** argv) {
    (void)argc;
    return argv;
}
