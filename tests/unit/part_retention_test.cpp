// Unit tests of which files are a take's parts, by name, and of the removals with -k over a
// scratch directory, with the directory calls made to fail.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "platform/posix/directory_posix.h"
#include "scratch_directory.h"
#include "settings/settings.h"
#include "wave/part_retention.h"

namespace {

TEST(MatchPartPath, TellsTheTakesPartsFromEveryOtherName) {
    struct Case {
        const char* take_path;
        const char* path;
        PartMatch expected;
    } cases[] = {
        /* Numbered parts: 4 digits or more, a counter from 2, the marker of a part in progress. */
        {"rec/take.wav", "rec/take-0001.wav", PART_OF_TAKE},
        {"rec/take.wav", "rec/take-12345.wav", PART_OF_TAKE},
        {"rec/take.wav", "rec/take-0001-2.wav", PART_OF_TAKE},
        {"rec/take.wav", "rec/take-0001-17.wav", PART_OF_TAKE},
        {"rec/take.wav", "rec/take-0001.wav.part", PART_OF_TAKE},
        {"rec/take.wav", "rec/take-0001-3.wav.part", PART_OF_TAKE},
        {"rec//take.wav", "rec//take-0001.wav", PART_OF_TAKE},
        {"take.wav", "take-0042.wav", PART_OF_TAKE},
        {"rec/take.wav", "rec/take-001.wav", PART_OTHER},
        {"rec/take.wav", "rec/take-0001-1.wav", PART_OTHER},
        {"rec/take.wav", "rec/take-0001-02.wav", PART_OTHER},
        {"rec/take.wav", "rec/take-0001.wav.partial", PART_OTHER},
        {"rec/take.wav", "rec/take-0001.part", PART_OTHER},
        {"rec/take.wav", "rec/take.wav", PART_OTHER},
        {"rec/take.wav", "rec/take-0001.WAV", PART_OTHER},
        {"rec/take.wav", "rec/take-0001x.wav", PART_OTHER},
        {"rec/take.wav", "rec/take-abcd.wav", PART_OTHER},
        {"rec/take.wav", "rec/retake-0001.wav", PART_OTHER},
        {"rec/take.wav", "rec/take-0001.wav~", PART_OTHER},
        {"rec/take.wav", "other/take-0001.wav", PART_OTHER},
        {"rec/take.wav", "rec/sub/take-0001.wav", PART_OTHER},
        {"take.wav", "x/take-0001.wav", PART_OTHER},
        /* Patterns: each conversion only as strftime writes it. */
        {"rec-%Y%m%d-%H%M.wav", "rec-20261208-0642.wav", PART_OF_TAKE},
        {"rec-%Y%m%d-%H%M.wav", "rec-20261208-0642-2.wav", PART_OF_TAKE},
        {"rec-%Y%m%d-%H%M.wav", "rec-20261208-0642.wav.part", PART_OF_TAKE},
        {"rec-%Y%m%d-%H%M.wav", "rec-20261308-0642.wav", PART_OTHER},
        {"rec-%Y%m%d-%H%M.wav", "rec-20261200-0642.wav", PART_OTHER},
        {"rec-%Y%m%d-%H%M.wav", "rec-20261208-2442.wav", PART_OTHER},
        {"rec-%Y%m%d-%H%M.wav", "rec-20261208-0660.wav", PART_OTHER},
        {"rec-%Y%m%d-%H%M.wav", "rec-2026128-0642.wav", PART_OTHER},
        {"rec-%Y%m%d-%H%M.wav", "rec-20261208-06420.wav", PART_OTHER},
        {"rec-%Y%m%d-%H%M.wav", "rec-20261208-0642-0001.wav", PART_OTHER},
        {"rec-%Y%m%d-%H%M.wav", "rec-2026x208-0642.wav", PART_OTHER},
        {"%a-%b-%d.wav", "Tue-Dec-08.wav", PART_OF_TAKE},
        {"%A %B.wav", "Tuesday December.wav", PART_OF_TAKE},
        {"%a-%b-%d.wav", "Tue-12-08.wav", PART_OTHER},
        {"day-%F.wav", "day-2026-12-08.wav", PART_OF_TAKE},
        {"day-%F.wav", "day-20261208.wav", PART_OTHER},
        {"at-%T.wav", "at-06:42:59.wav", PART_OF_TAKE},
        {"at-%R.wav", "at-06:42.wav", PART_OF_TAKE},
        {"%j-%y.wav", "342-26.wav", PART_OF_TAKE},
        {"%j-%y.wav", "367-26.wav", PART_OTHER},
        {"d%e.wav", "d 8.wav", PART_OF_TAKE},
        {"d%e.wav", "d31.wav", PART_OF_TAKE},
        {"d%e.wav", "d08.wav", PART_OTHER},
        {"%s.wav", "1796083200.wav", PART_OF_TAKE},
        {"%s.wav", "-2.wav", PART_OTHER},
        {"%H%%.wav", "06%.wav", PART_OF_TAKE},
        {"%H%%.wav", "06.wav", PART_OTHER},
        {"%H%z.wav", "06+0100.wav", PART_OF_TAKE},
        {"%H%Z.wav", "06CET.wav", PART_OF_TAKE},
        {"%H%Z.wav", "06.wav", PART_OTHER},
        {"rec.%H", "rec.06", PART_OF_TAKE},
        {"rec.%H", "rec-2.06", PART_OF_TAKE},
        {"rec.%H", "rec.06-2", PART_OTHER},
        {"%H.wav", "x/06.wav", PART_OTHER},
        /* Directory levels below the first with a conversion: no counters, no markers. */
        {"/srv/radio/%Y/%m/%d/%H00.wav", "/srv/radio/2026/12/08/0600.wav", PART_OF_TAKE},
        {"/srv/radio/%Y/%m/%d/%H00.wav", "/srv/radio/2026/12/08/0600-2.wav", PART_OF_TAKE},
        {"/srv/radio/%Y/%m/%d/%H00.wav", "/srv/radio/2026/12/08/0600.wav.part", PART_OF_TAKE},
        {"/srv/radio/%Y/%m/%d/%H00.wav", "/srv/radio/2026/13/08/0600.wav", PART_OTHER},
        {"/srv/radio/%Y/%m/%d/%H00.wav", "/srv/radio/2026/12/0600.wav", PART_OTHER},
        {"/srv/radio/%Y/%m/%d/%H00.wav", "/srv/radio/2026/12/08/x/0600.wav", PART_OTHER},
        {"/srv/radio/%Y/%m/%d/%H00.wav", "/srv/radio/2026-2/12/08/0600.wav", PART_OTHER},
        {"/srv/radio/%Y/%m/%d/%H00.wav", "/srv/radio/2026/12/08.part/0600.wav", PART_OTHER},
        {"/srv/radio/%Y/%m/%d/%H00.wav", "/srv/tv/2026/12/08/0600.wav", PART_OTHER},
        {"/srv/radio/%Y/%m/%d/%H00.wav", "/srv/radio/2026/12/08/0630.wav", PART_OTHER},
        {"a/%Y/live/%H.wav", "a/2026/live/06.wav", PART_OF_TAKE},
        {"a/%Y/live/%H.wav", "a/2026/dead/06.wav", PART_OTHER},
        /* Conversions whose output cannot be told: nothing is the take's. */
        {"%c.wav", "Tue Dec  8 06:42:43 2026.wav", PART_UNMATCHABLE},
        {"%x.wav", "12/08/26.wav", PART_UNMATCHABLE},
        {"%D.wav", "12/08/26.wav", PART_UNMATCHABLE},
        {"%Ey.wav", "26.wav", PART_UNMATCHABLE},
        {"%-d.wav", "8.wav", PART_UNMATCHABLE},
        {"%_H.wav", " 6.wav", PART_UNMATCHABLE},
        {"%4Y.wav", "2026.wav", PART_UNMATCHABLE},
        {"rec%", "rec%", PART_UNMATCHABLE},
        {"/srv/%Q/%H.wav", "/srv/x/06.wav", PART_UNMATCHABLE},
    };
    for (const Case& c : cases)
        EXPECT_EQ(match_part_path(c.take_path, c.path), c.expected)
            << c.take_path << " against " << c.path;
}

/* Stand-in directory calls and what they have done: reads and unlinks so far, the read from
   which on reads fail, the one unlink that fails (from 0). */
int reads, unlinks, fail_reads_after, failing_unlink;
unsigned long long free_bytes, freed_by_unlink;

DIR* refused_open(const char*) {
    errno = EACCES;
    return nullptr;
}
struct dirent* read_then_fail(DIR* directory) {
    if (reads++ >= fail_reads_after) {
        errno = EIO;
        return nullptr;
    }
    return readdir(directory);
}
int failing_stat_entry(DIR*, const char*, struct stat*) {
    errno = EIO;
    return -1;
}
int counted_unlink(const char* path) {
    if (unlinks++ == failing_unlink) {
        errno = EPERM;
        return -1;
    }
    if (unlink(path) != 0) return -1;
    free_bytes += freed_by_unlink;
    return 0;
}
int stated_free_space(const char*, struct statvfs* status) {
    memset(status, 0, sizeof *status);
    status->f_frsize = 1024;
    status->f_bavail = free_bytes / 1024;
    return 0;
}
int failing_free_space(const char*, struct statvfs*) {
    errno = EIO;
    return -1;
}

/* A scratch directory with the parts of the take "take.wav", each modified hours_ago[i] hours
   ago (take-0001.wav the first), and -k1. */
struct OldParts {
    std::string directory;
    std::string take;
    std::vector<std::string> parts;
};

OldParts make_old_parts(std::vector<int> hours_ago) {
    OldParts made;
    made.directory = make_scratch_directory();
    made.take = made.directory + "/take.wav";
    for (size_t i = 0; i < hours_ago.size(); i++) {
        char name[32];
        snprintf(name, sizeof name, "/take-%04zu.wav", i + 1);
        std::string path = made.directory + name;
        FILE* file = fopen(path.c_str(), "wb");
        if (file) fclose(file);
        struct timespec times[2];
        clock_gettime(CLOCK_REALTIME, &times[0]);
        times[0].tv_sec -= hours_ago[i] * 3600L;
        times[1] = times[0];
        utimensat(AT_FDCWD, path.c_str(), times, 0);
        made.parts.push_back(path);
    }
    recording_settings = default_settings;
    recording_settings.part_seconds = 60;
    recording_settings.keep_hours = 1;
    return made;
}

/* The parts still there, by number ("13": take-0001.wav and take-0003.wav). */
std::string parts_left(const OldParts& made) {
    std::string left;
    for (size_t i = 0; i < made.parts.size(); i++)
        if (access(made.parts[i].c_str(), F_OK) == 0) left += std::to_string(i + 1);
    return left;
}

void remove_scratch(const OldParts& made) {
    for (const std::string& part : made.parts)
        unlink(part.c_str());
    rmdir(made.directory.c_str());
}

TEST(RemoveExpiredParts, RemovesOnlyTheOldPartsOrNothingWhenTheDirectoryCallsFail) {
    struct Case {
        const char* fault;
        DirectorySystemCalls calls;
        int reads_before_failing, failing_unlink;
        const char* left;
        const char* line; /* on standard error, after the scratch directory's path */
    } cases[] = {
        {"none", system_directory_calls, 1000, 1000, "4", "/take-0002.wav: older than 1 hour"},
        {"opendir", system_directory_calls, 1000, 1000, "234", "/: Permission denied"},
        {"readdir", system_directory_calls, 2, 1000, "234", "/: Input/output error"},
        {"fstatat", system_directory_calls, 1000, 1000, "234", "/: Input/output error"},
        {"unlink", system_directory_calls, 1000, 0, "234", "/take-0003.wav: Operation not"},
    };
    cases[1].calls.open_directory = refused_open;
    cases[2].calls.read_directory = read_then_fail;
    cases[3].calls.stat_entry = failing_stat_entry;
    for (Case& c : cases)
        c.calls.unlink_path = counted_unlink;
    for (const Case& c : cases) {
        /* The first part is the one being recorded; the fourth is new. */
        OldParts made = make_old_parts({5, 2, 3, 0});
        directory_system_calls = c.calls;
        reads = unlinks = 0;
        fail_reads_after = c.reads_before_failing;
        failing_unlink = c.failing_unlink;
        freed_by_unlink = 0;
        testing::internal::CaptureStderr();
        remove_expired_parts(made.take.c_str(), made.parts[0].c_str(), nullptr);
        std::string said = testing::internal::GetCapturedStderr();
        directory_system_calls = system_directory_calls;
        EXPECT_EQ(parts_left(made), std::string("1") + c.left) << c.fault;
        EXPECT_NE(said.find(made.directory + c.line), std::string::npos) << c.fault << ": " << said;
        remove_scratch(made);
    }
}

TEST(MakeRoomForPart, RemovesTheOldestPartsUntilTheNextFitsAndNeverTheCurrentOrNextOne) {
    const uint64_t mb = 1 << 20;
    struct Case {
        const char* what;
        uint64_t free_mb, length_mb;
        bool free_space_fails;
        const char* left;
    } cases[] = {
        {"room enough", 10, 2, false, "12345"},
        {"one part's room short", 2, 2, false, "1345"},
        {"three parts' room short", 1, 3, false, "15"},
        {"more than every part", 0, 50, false, "15"},
        {"free space unknown", 0, 2, true, "12345"},
        {"without -k", 0, 2, false, "12345"},
    };
    for (const Case& c : cases) {
        /* The first part is being recorded, the fifth is the one prepared; the second is the oldest
           of the others. */
        OldParts made = make_old_parts({9, 8, 6, 7, 10});
        if (strcmp(c.what, "without -k") == 0) recording_settings.keep_hours = 0;
        DirectorySystemCalls calls = system_directory_calls;
        calls.unlink_path = counted_unlink;
        calls.file_system_status = c.free_space_fails ? failing_free_space : stated_free_space;
        directory_system_calls = calls;
        unlinks = 0;
        failing_unlink = 1000;
        free_bytes = c.free_mb * mb;
        freed_by_unlink = mb;
        testing::internal::CaptureStderr();
        make_room_for_part(made.take.c_str(), made.parts[4].c_str(), c.length_mb * mb,
                           made.parts[0].c_str());
        std::string said = testing::internal::GetCapturedStderr();
        directory_system_calls = system_directory_calls;
        EXPECT_EQ(parts_left(made), c.left) << c.what << ": " << said;
        if (strcmp(c.left, "1345") == 0) {
            EXPECT_NE(said.find("/take-0002.wav: room for " + made.parts[4]), std::string::npos)
                << said;
        }
        remove_scratch(made);
    }
    recording_settings = default_settings;
}

} // namespace
