// The part commands on POSIX systems: posix_spawn with the null device as standard input, every
// descriptor above standard error closed, signals at their defaults and unblocked; waitpid
// without waiting to reap them.
#include "platform/posix/part_commands_posix.h"

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <ctime>
#include <sys/wait.h>

#include "platform/part_commands.h"

extern char** environ;

const PartCommandCalls system_part_command_calls = {posix_spawn, waitpid};

PartCommandCalls part_command_calls = system_part_command_calls;

/* Prepares what the child is given: the null device as its standard input and no descriptor
   above standard error (the output's locks, the take's name, the device stay this process's),
   every signal at its default and none blocked. False with errno when a step fails. */
static bool child_setup(posix_spawn_file_actions_t* actions, posix_spawnattr_t* attributes) {
    sigset_t all, none;
    sigfillset(&all);
    sigemptyset(&none);
    int error = posix_spawn_file_actions_addopen(actions, 0, "/dev/null", O_RDONLY, 0);
    if (error == 0) error = posix_spawn_file_actions_addclosefrom_np(actions, 3);
    if (error == 0) error = posix_spawnattr_setsigdefault(attributes, &all);
    if (error == 0) error = posix_spawnattr_setsigmask(attributes, &none);
    if (error == 0)
        error =
            posix_spawnattr_setflags(attributes, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);
    errno = error;
    return error == 0;
}

int start_part_command(const char* program, const char* argument, PartCommand* started) {
    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attributes;
    if (posix_spawn_file_actions_init(&actions) != 0) return -1;
    if (posix_spawnattr_init(&attributes) != 0) {
        posix_spawn_file_actions_destroy(&actions);
        return -1;
    }
    char* argv[] = {const_cast<char*>(program), const_cast<char*>(argument), nullptr};
    pid_t pid = -1;
    int error = child_setup(&actions, &attributes) ? 0 : errno;
    if (error == 0)
        error = part_command_calls.spawn(&pid, program, &actions, &attributes, argv, environ);
    posix_spawnattr_destroy(&attributes);
    posix_spawn_file_actions_destroy(&actions);
    if (error != 0) {
        errno = error;
        return -1;
    }
    started->process = pid;
    return 0;
}

int poll_part_command(PartCommand command, PartCommandEnd* end) {
    int status = 0;
    pid_t pid;
    do {
        pid = part_command_calls.wait_process((pid_t)command.process, &status, WNOHANG);
    } while (pid < 0 && errno == EINTR);
    if (pid < 0) return -1;
    if (pid == 0) return 0;
    end->signalled = WIFSIGNALED(status);
    end->code = end->signalled ? WTERMSIG(status) : WEXITSTATUS(status);
    return 1;
}

void pause_for_part_commands(int32_t milliseconds) {
    struct timespec pause = {milliseconds / 1000, (long)(milliseconds % 1000) * 1000000L};
    nanosleep(&pause, nullptr);
}
