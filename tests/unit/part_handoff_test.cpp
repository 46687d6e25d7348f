// Unit tests of the hand-on of finished parts with the system calls made to fail or stand in:
// the marked names, the renames, the programs' limits, their starts and how they ended.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <vector>

#include "platform/posix/file_posix.h"
#include "platform/posix/part_commands_posix.h"
#include "scratch_directory.h"
#include "settings/settings.h"
#include "wave/part_handoff.h"

namespace {

/* The stand-in programs: the argument each got, the error the next start fails with, and how
   the ones that ended did (a wait status by process id; the others still run). */
std::vector<std::string> started;
int start_error;
pid_t next_pid;
std::map<pid_t, int> ended;

int standing_in_spawn(pid_t* pid, const char*, const posix_spawn_file_actions_t*,
                      const posix_spawnattr_t*, char* const argv[], char* const[]) {
    if (start_error != 0) {
        int error = start_error;
        start_error = 0;
        return error;
    }
    started.push_back(argv[1]);
    *pid = next_pid++;
    return 0;
}

pid_t standing_in_wait(pid_t pid, int* status, int) {
    auto it = ended.find(pid);
    if (it == ended.end()) return 0;
    *status = it->second;
    ended.erase(it);
    return pid;
}

int failing_rename(const char*, const char*) {
    errno = EXDEV;
    return -1;
}

int failing_sync(int) {
    errno = EIO;
    return -1;
}

class PartHandoff : public ::testing::Test {
  protected:
    void SetUp() override {
        directory = make_scratch_directory();
        ASSERT_FALSE(directory.empty());
        recording_settings = default_settings;
        recording_settings.part_seconds = 1;
        strcpy(recording_settings.part_command, "/bin/on-part");
        started.clear();
        ended.clear();
        start_error = 0;
        next_pid = 1000;
        part_command_calls = {standing_in_spawn, standing_in_wait};
    }
    void TearDown() override {
        /* Every program ends, so that the next test starts with none. */
        for (int i = 0; i < 64; i++) {
            for (pid_t pid = 1000; pid < next_pid; pid++)
                ended[pid] = 0;
            poll_part_commands();
        }
        part_command_calls = system_part_command_calls;
        file_system_calls = system_file_calls;
        recording_settings = default_settings;
        std::string command = "rm -rf " + directory;
        EXPECT_EQ(system(command.c_str()), 0);
    }
    /* Hands on the part whose final name is name, in the scratch directory; returns its path. */
    std::string finish(const std::string& name) {
        char path[OUTPUT_PATH_SIZE];
        snprintf(path, sizeof path, "%s/%s", directory.c_str(), name.c_str());
        std::string final_path = path;
        EXPECT_TRUE(mark_part_name(path, false));
        if (recording_settings.mark_parts) fclose(fopen(path, "wb"));
        hand_on_finished_part();
        return final_path;
    }
    std::string directory;
};

TEST_F(PartHandoff, RunsFourProgramsAtOnceAndKeepsSixteenPartsWaitingInOrder) {
    std::vector<std::string> paths;
    testing::internal::CaptureStderr();
    for (int i = 1; i <= 22; i++)
        paths.push_back(finish("p" + std::to_string(i) + ".wav"));
    std::string skipped = testing::internal::GetCapturedStderr();
    EXPECT_EQ(started, std::vector<std::string>(paths.begin(), paths.begin() + 4));
    EXPECT_EQ(skipped, "*** Not running /bin/on-part for " + paths[20] +
                           ": 20 commands still running\n*** Not running /bin/on-part for " +
                           paths[21] + ": 20 commands still running\n");
    /* Two end: the two oldest waiting parts take their places, and no more. */
    ended[1001] = 0;
    ended[1003] = 0;
    poll_part_commands();
    EXPECT_EQ(started, std::vector<std::string>(paths.begin(), paths.begin() + 6));
    poll_part_commands();
    EXPECT_EQ(started.size(), 6u);
    for (pid_t pid = 1000; pid < 1006; pid++)
        ended[pid] = 0;
    poll_part_commands();
    EXPECT_EQ(started, std::vector<std::string>(paths.begin(), paths.begin() + 10));
}

TEST_F(PartHandoff, ReportsAProgramThatDidNotEndWithStatusZero) {
    struct Case {
        int status;
        const char* reported;
    } cases[] = {
        {0, ""},
        {3 << 8, " exited with status 3\n"},
        {255 << 8, " exited with status 255\n"},
        {SIGKILL, " was ended by signal 9\n"},
        {SIGSEGV | 0x80, " was ended by signal 11\n"},
    };
    for (const Case& c : cases) {
        std::string path = finish("part.wav");
        ended[next_pid - 1] = c.status;
        testing::internal::CaptureStderr();
        poll_part_commands();
        std::string reported = testing::internal::GetCapturedStderr();
        EXPECT_EQ(reported, c.reported[0] ? "*** /bin/on-part " + path + c.reported : "")
            << c.status;
    }
}

TEST_F(PartHandoff, ReportsAProgramThatCannotStartAndStartsTheNextOne) {
    start_error = EAGAIN;
    testing::internal::CaptureStderr();
    finish("p1.wav");
    std::string second = finish("p2.wav");
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "*** Could not run /bin/on-part: Resource temporarily unavailable\n");
    EXPECT_EQ(started, std::vector<std::string>{second});
}

TEST_F(PartHandoff, ReportsARenameOrDirectorySyncThatFailsAndGoesOn) {
    recording_settings.mark_parts = 1;
    struct Case {
        int (*rename_path)(const char*, const char*);
        int (*sync_descriptor)(int);
        const char* reported; /* after "*** ": %s the final path */
        bool final_name;      /* the final name is handed on, not the marked one */
    } cases[] = {
        {rename, fsync, "", true},
        {failing_rename, fsync, "Could not rename %s.part to %s: Invalid cross-device link\n",
         false},
        {rename, failing_sync, "Could not sync the directory of %s: Input/output error\n", true},
    };
    int n = 0;
    for (const Case& c : cases) {
        file_system_calls.rename_path = c.rename_path;
        file_system_calls.sync_descriptor = c.sync_descriptor;
        std::string name = "p" + std::to_string(++n) + ".wav";
        testing::internal::CaptureStderr();
        std::string path = finish(name);
        std::string reported = testing::internal::GetCapturedStderr();
        char expected[4 * OUTPUT_PATH_SIZE] = "";
        if (c.reported[0]) {
            strcpy(expected, "*** ");
            snprintf(expected + 4, sizeof expected - 4, c.reported, path.c_str(), path.c_str());
        }
        EXPECT_EQ(reported, expected) << name;
        EXPECT_EQ(started.back(), c.final_name ? path : path + ".part") << name;
        struct stat status;
        EXPECT_EQ(stat(path.c_str(), &status) == 0, c.final_name) << name;
    }
}

TEST_F(PartHandoff, MarksANameAndReusesAnEarlierFileAtTheFinalName) {
    struct Case {
        int32_t mark;
        bool earlier;  /* a file is at the final name */
        size_t length; /* characters in the final path; 0: as it comes */
        bool marked;   /* the name is marked */
        bool reused;   /* the earlier file is at the marked name now */
    } cases[] = {
        {1, false, 0, true, false},
        {1, true, 0, true, true},
        {0, true, 0, false, false},
        {1, true, OUTPUT_PATH_SIZE - 6, true, true},
        {1, true, OUTPUT_PATH_SIZE - 5, false, false},
    };
    int n = 0;
    for (const Case& c : cases) {
        recording_settings.mark_parts = c.mark;
        std::string final_path = directory + "/p" + std::to_string(++n) + ".wav";
        if (c.length) final_path.insert(directory.size() + 1, c.length - final_path.size(), 'n');
        if (c.earlier) fclose(fopen(final_path.c_str(), "wb"));
        struct stat before = {}, after = {};
        stat(final_path.c_str(), &before);
        char path[OUTPUT_PATH_SIZE];
        snprintf(path, sizeof path, "%s", final_path.c_str());
        EXPECT_EQ(mark_part_name(path, true), c.marked || !c.mark) << n;
        EXPECT_EQ(std::string(path), c.marked ? final_path + ".part" : final_path) << n;
        EXPECT_EQ(stat((final_path + ".part").c_str(), &after) == 0 &&
                      after.st_ino == before.st_ino,
                  c.reused)
            << n;
    }
}

} // namespace
