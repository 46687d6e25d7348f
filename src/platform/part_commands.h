// The programs run for a take's finished parts: started directly (no shell) with one argument,
// and asked without waiting whether they have ended.
#pragma once

#include <cstdint>

/* A started program, as the platform knows it. */
struct PartCommand {
    int64_t process; /* the process id (POSIX) or the process handle (Windows) */
};

/* How a program ended. */
struct PartCommandEnd {
    bool signalled; /* it was ended by a signal (POSIX only) */
    int32_t code;   /* its exit status, or the signal's number */
};

/* Starts program (a path, UTF-8 on Windows) with argument as its one argument: no shell and no
   expansion, standard input from the null device, standard output and error those of this
   process, none of this process's other descriptors or handles, every signal at its default and
   none blocked. Returns 0 and fills *started, or -1 with errno (the program could not be
   started). Main thread. */
int start_part_command(const char* program, const char* argument, PartCommand* started);

/* Asks whether the started program has ended, without waiting: 1 when it has (its process is
   reaped and *end filled), 0 while it runs, -1 when it cannot be asked (it is forgotten then).
   Main thread. */
int poll_part_command(PartCommand command, PartCommandEnd* end);

/* Sleeps about milliseconds, while the end of the take waits for its programs. Main thread. */
void pause_for_part_commands(int32_t milliseconds);
