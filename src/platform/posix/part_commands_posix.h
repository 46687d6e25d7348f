// The system calls behind the part commands on POSIX systems, in one table so that tests can put
// failing versions in their place.
#pragma once

#include <spawn.h>
#include <sys/types.h>

struct PartCommandCalls {
    int (*spawn)(pid_t* pid, const char* path, const posix_spawn_file_actions_t* actions,
                 const posix_spawnattr_t* attributes, char* const argv[],
                 char* const environment[]);                    /* posix_spawn: an error number */
    pid_t (*wait_process)(pid_t pid, int* status, int options); /* waitpid */
};

/* The calls the part commands make. Holds the system's own functions; only tests change it, from
   the main thread while no command is started or polled. */
extern PartCommandCalls part_command_calls;

/* The system's own functions, for tests to put back. */
extern const PartCommandCalls system_part_command_calls;
