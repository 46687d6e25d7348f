// A take's finished parts told apart and handed on: marked names, the rename of a complete part
// to its final name, and the programs run for finished parts, which run beside the capture and
// are reaped by polling.
#include "wave/part_handoff.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "capture/messages.h"
#include "platform/file_services.h"
#include "platform/monotonic_ms.h"
#include "platform/part_commands.h"
#include "settings/settings.h"
#include "wave/durable_header.h"
#include "wave/write_buffer.h"

#define END_POLL_MS 10 /* the take's end asks its programs this often */

/* The final names of the parts that are open. Main thread only. */
struct HandoffNames {
    char current[OUTPUT_PATH_SIZE]; /* the part being written */
    char ahead[OUTPUT_PATH_SIZE];   /* the part prepared ahead */
};

/* A program started for a finished part. */
struct RunningCommand {
    PartCommand command;         /* as the platform knows it */
    char path[OUTPUT_PATH_SIZE]; /* the part it was given */
};

/* The programs for finished parts: those running, and the parts that wait for one to end (a
   ring). At the take's end every waiting one starts, so running holds them all. Main thread. */
struct PartCommands {
    RunningCommand running[PART_COMMANDS_RUNNING + PART_COMMANDS_WAITING]; /* running_count used */
    uint32_t running_count;                                                /* programs running */
    char waiting[PART_COMMANDS_WAITING][OUTPUT_PATH_SIZE]; /* parts waiting, oldest first_waiting */
    uint32_t first_waiting;                                /* the oldest waiting part's slot */
    uint32_t waiting_count;                                /* parts waiting */
};

static HandoffNames handoff_names;
static PartCommands part_commands;

static bool marking(void) {
    return recording_settings.mark_parts != 0;
}

static bool commanding(void) {
    return recording_settings.part_command[0] != '\0';
}

/* Writes final's marked name into marked (OUTPUT_PATH_SIZE bytes). False when it does not fit. */
static bool marked_name(const char* final_name, char* marked) {
    int n = snprintf(marked, OUTPUT_PATH_SIZE, "%s" PART_MARKER, final_name);
    return n > 0 && n < OUTPUT_PATH_SIZE;
}

bool mark_part_name(char* path, bool ahead) {
    char* final_name = ahead ? handoff_names.ahead : handoff_names.current;
    char marked[OUTPUT_PATH_SIZE];
    if (marking() && !marked_name(path, marked)) {
        errno = ENAMETOOLONG;
        return false;
    }
    if (!marking()) {
        snprintf(final_name, OUTPUT_PATH_SIZE, "%s", path);
        return true;
    }
    /* An earlier run's part is reused in place under the marked name; a marked one left by a
       run that was ended is replaced, as it would have been rewritten. What the part could not
       be written over unmarked is left where it is: a file another recording holds, and a device,
       a FIFO or a link to one, which the marked part's rename would replace (a directory stays
       and makes the rename fail). */
    if (is_special_file(path)) {
        errno = EINVAL;
        return false;
    }
    FILE* earlier = open_file_stream(path, "rb");
    if (earlier) {
        fclose(earlier);
        if (output_file_in_use(path)) {
            errno = EWOULDBLOCK;
            return false;
        }
        rename_file(path, marked);
    }
    snprintf(final_name, OUTPUT_PATH_SIZE, "%s", path);
    memcpy(path, marked, strlen(marked) + 1);
    return true;
}

/* Starts the program for the part at path; a failure is reported. */
static void start_command(const char* path) {
    PartCommands& c = part_commands;
    RunningCommand& r = c.running[c.running_count];
    if (start_part_command(recording_settings.part_command, path, &r.command) != 0) {
        int reason = errno;
        end_progress_line();
        fprintf(stderr, "*** Could not run %s: %s\n", recording_settings.part_command,
                strerror(reason));
        return;
    }
    snprintf(r.path, sizeof r.path, "%s", path);
    c.running_count++;
}

/* Starts the program for the part at path when fewer than PART_COMMANDS_RUNNING run, keeps the
   part waiting when there is room, skips it (reported) otherwise. */
static void hand_on(const char* path) {
    PartCommands& c = part_commands;
    if (c.running_count < PART_COMMANDS_RUNNING && c.waiting_count == 0) {
        start_command(path);
    } else if (c.waiting_count < PART_COMMANDS_WAITING) {
        uint32_t slot = (c.first_waiting + c.waiting_count) % PART_COMMANDS_WAITING;
        snprintf(c.waiting[slot], OUTPUT_PATH_SIZE, "%s", path);
        c.waiting_count++;
    } else {
        end_progress_line();
        fprintf(stderr, "*** Not running %s for %s: %u commands still running\n",
                recording_settings.part_command, path, c.running_count + c.waiting_count);
    }
}

/* Starts the oldest waiting part's program. */
static void start_waiting(void) {
    PartCommands& c = part_commands;
    const char* path = c.waiting[c.first_waiting];
    c.first_waiting = (c.first_waiting + 1) % PART_COMMANDS_WAITING;
    c.waiting_count--;
    start_command(path);
}

void hand_on_finished_part(void) {
    HandoffNames& n = handoff_names;
    char marked[OUTPUT_PATH_SIZE];
    const char* complete = n.current;
    if (marking() && marked_name(n.current, marked)) {
        if (rename_file(marked, n.current) != 0) {
            int reason = errno;
            end_progress_line();
            fprintf(stderr, "*** Could not rename %s to %s: %s\n", marked, n.current,
                    strerror(reason));
            complete = marked;
        } else if (sync_file_directory(n.current) != 0) {
            int reason = errno;
            end_progress_line();
            fprintf(stderr, "*** Could not sync the directory of %s: %s\n", n.current,
                    strerror(reason));
        }
    }
    if (commanding()) hand_on(complete);
    memcpy(n.current, n.ahead, sizeof n.current);
}

void unmark_given_up_part(void) {
    char marked[OUTPUT_PATH_SIZE];
    if (marking() && marked_name(handoff_names.ahead, marked))
        rename_file(marked, handoff_names.ahead);
}

/* Reports how the program for path ended, when that was not with status 0. */
static void report_end(const char* path, const PartCommandEnd& end) {
    if (!end.signalled && end.code == 0) return;
    end_progress_line();
    fprintf(stderr, "*** %s %s %s %d\n", recording_settings.part_command, path,
            end.signalled ? "was ended by signal" : "exited with status", end.code);
}

void poll_part_commands(void) {
    PartCommands& c = part_commands;
    for (uint32_t i = 0; i < c.running_count;) {
        PartCommandEnd end = {false, 0};
        int ended = poll_part_command(c.running[i].command, &end);
        if (ended == 0) {
            i++;
            continue;
        }
        if (ended > 0) report_end(c.running[i].path, end);
        c.running[i] = c.running[--c.running_count];
    }
    while (c.waiting_count > 0 && c.running_count < PART_COMMANDS_RUNNING)
        start_waiting();
}

void finish_part_handoff(void) {
    PartCommands& c = part_commands;
    if (!marking() && !commanding()) return;
    if (disk_write_buffer.stream) {
        settle_output();
        close_output();
        hand_on_finished_part();
    }
    if (!commanding()) return;
    poll_part_commands();
    while (c.waiting_count > 0)
        start_waiting();
    const int64_t give_up_ms = monotonic_milliseconds() + PART_COMMANDS_END_WAIT_MS;
    for (;;) {
        poll_part_commands();
        if (c.running_count == 0) return;
        if (monotonic_milliseconds() >= give_up_ms) break;
        pause_for_part_commands(END_POLL_MS);
    }
    end_progress_line();
    fprintf(stderr, "*** Not waiting for %u commands still running\n", c.running_count);
}
