// Unit tests of the POSIX file layer with its system calls made to fail: the output's lock, the
// open of an output, the standard descriptors' guard and the take's lock.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/file_services.h"
#include "platform/posix/file_posix.h"
#include "scratch_directory.h"

namespace {

/* The descriptors the stand-in calls saw closed, and the ones the guard duplicated. */
int closes, duplicates;

int counting_close(int fd) {
    closes++;
    return close(fd);
}
int no_descriptors(const char*, int, mode_t) {
    errno = EMFILE;
    return -1;
}
int not_permitted(const char*, int, mode_t) {
    errno = EACCES;
    return -1;
}
int failing_fstat(int, struct stat*) {
    errno = EIO;
    return -1;
}
int held_elsewhere(int, int) {
    errno = EWOULDBLOCK;
    return -1;
}
int no_locks(int, int) {
    errno = ENOLCK;
    return -1;
}
int failing_set_flags(int fd, int command, int argument) {
    if (command == F_SETFL) {
        errno = EIO;
        return -1;
    }
    return fcntl(fd, command, argument);
}
FILE* no_stream(int, const char*) {
    errno = ENOMEM;
    return nullptr;
}

class FileLayer : public ::testing::Test {
  protected:
    void SetUp() override {
        directory = make_scratch_directory();
        ASSERT_FALSE(directory.empty());
        path = directory + "/out.wav";
        closes = duplicates = 0;
        file_system_calls = system_file_calls;
        file_system_calls.close_descriptor = counting_close;
    }
    void TearDown() override {
        file_system_calls = system_file_calls;
        unlink(path.c_str());
        unlink((directory + "/fifo").c_str());
        rmdir(directory.c_str());
    }
    std::string directory;
    std::string path;
};

TEST_F(FileLayer, AnswersEachFailureOfTheOutputsLock) {
    struct Case {
        const char* what;
        bool existing; /* the output is there before */
        void (*fault)(FileSystemCalls*);
        int result; /* what lock_output_file returns */
        int error;  /* errno after -1 */
        bool left;  /* the output is there after */
    } cases[] = {
        {"another process holds it", true,
         [](FileSystemCalls* c) { c->lock_descriptor = held_elsewhere; }, 1, 0, true},
        {"a file system without locks", false,
         [](FileSystemCalls* c) { c->lock_descriptor = no_locks; }, 0, 0, true},
        {"no descriptor to open it with", false,
         [](FileSystemCalls* c) { c->open_path = no_descriptors; }, -1, EMFILE, false},
        {"no permission either way", true, [](FileSystemCalls* c) { c->open_path = not_permitted; },
         -1, EACCES, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        unlink(path.c_str());
        if (c.existing) fclose(fopen(path.c_str(), "wb"));
        FileSystemCalls calls = file_system_calls;
        c.fault(&file_system_calls);
        bool created = true;
        errno = 0;
        int result = lock_output_file(path.c_str(), &created);
        int error = errno;
        file_system_calls = calls;
        EXPECT_EQ(result, c.result);
        if (result < 0) {
            EXPECT_EQ(error, c.error);
        }
        EXPECT_EQ(access(path.c_str(), F_OK) == 0, c.left);
    }
}

/* The open of a part with one failing call (fault), in a process of its own: ends with the
   errno of the failed open, or 100 when it opened or closed other than expected_closes
   descriptors. */
void open_part_with(const std::string& path, void (*fault)(FileSystemCalls*), int expected_closes) {
    refuse_special_outputs();
    fault(&file_system_calls);
    closes = 0;
    errno = 0;
    bool failed = open_file_stream(path.c_str(), "wb") == nullptr;
    int error = errno;
    exit(failed && closes == expected_closes ? error : 100);
}

TEST_F(FileLayer, OpensAPartOnlyWhenEveryStepSucceedsAndClosesWhatItOpened) {
    struct Case {
        const char* what;
        void (*fault)(FileSystemCalls*);
        bool opened; /* a descriptor was open when the step failed */
        int error;   /* errno of the failed open */
    } cases[] = {
        {"the open fails", [](FileSystemCalls* c) { c->open_path = no_descriptors; }, false,
         EMFILE},
        {"its status is unknown", [](FileSystemCalls* c) { c->stat_descriptor = failing_fstat; },
         true, EIO},
        {"blocking cannot be set again", [](FileSystemCalls* c) { c->control = failing_set_flags; },
         true, EIO},
        {"no stream on the descriptor", [](FileSystemCalls* c) { c->stream_of = no_stream; }, true,
         ENOMEM},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        unlink(path.c_str());
        EXPECT_EXIT(open_part_with(path, c.fault, c.opened ? 1 : 0),
                    ::testing::ExitedWithCode(c.error), "");
    }
    FILE* stream = open_file_stream(path.c_str(), "wb");
    ASSERT_NE(stream, nullptr);
    fclose(stream);
}

TEST_F(FileLayer, NeverWaitsForAFifosReaderAndRefusesSpecialFilesForParts) {
    std::string fifo = directory + "/fifo";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0666), 0);
    FILE* null_device = open_file_stream("/dev/null", "wb");
    ASSERT_NE(null_device, nullptr);
    fclose(null_device);
    /* In a child of its own: the refusal lasts for the rest of the process. */
    EXPECT_EXIT(
        {
            refuse_special_outputs();
            bool created;
            int refused = 0;
            errno = 0;
            if (!open_file_stream(fifo.c_str(), "wb") && errno == ENXIO) refused |= 1;
            errno = 0;
            if (!open_file_stream("/dev/null", "wb") && errno == EINVAL) refused |= 2;
            errno = 0;
            if (!open_file_stream(fifo.c_str(), "r+b") && errno == EINVAL) refused |= 4;
            errno = 0;
            if (lock_output_file(fifo.c_str(), &created) == -1 && errno == EINVAL) refused |= 8;
            FILE* regular = open_file_stream(path.c_str(), "wb");
            if (regular && !(fcntl(fileno(regular), F_GETFL) & O_NONBLOCK) &&
                lock_output_file(path.c_str(), &created) == 0)
                refused |= 16;
            exit(refused);
        },
        ::testing::ExitedWithCode(31), "");
}

int closed_output_only(int fd, int command, int argument) {
    if (fd == 1 && command == F_GETFD) {
        errno = EBADF;
        return -1;
    }
    return fcntl(fd, command, argument);
}
int null_at_42(const char*, int, mode_t) {
    return 42;
}
int recording_dup2(int fd, int new_fd) {
    if (fd == 42 && new_fd == 1) duplicates++;
    return new_fd;
}
int pretend_close(int) {
    closes++;
    return 0;
}

TEST_F(FileLayer, GuardNotesWhichStandardDescriptorsWereClosed) {
    EXPECT_FALSE(standard_descriptor_closed(1));
    EXPECT_EXIT(
        {
            file_system_calls.control = closed_output_only;
            file_system_calls.open_path = null_at_42;
            file_system_calls.duplicate = recording_dup2;
            file_system_calls.close_descriptor = pretend_close;
            guard_standard_descriptors();
            exit(standard_descriptor_closed(0) | standard_descriptor_closed(1) << 1 |
                 standard_descriptor_closed(2) << 2 | (duplicates == 1) << 3 | (closes == 1) << 4);
        },
        ::testing::ExitedWithCode(2 | 8 | 16), "");
}

/* Locks the take's name in directory, then under other spellings, from directory; prints what
   each call returns to standard error and ends the process. */
void lock_take_spellings(const std::string& directory) {
    if (mkdir((directory + "/sub").c_str(), 0777) != 0 || chdir(directory.c_str()) != 0) exit(1);
    fprintf(stderr, "%d", lock_take_name((directory + "/take.wav").c_str()));
    const char* spellings[] = {"take.wav", "./take.wav", "sub/../take.wav", "other.wav",
                               "sub/take.wav"};
    for (const char* name : spellings)
        fprintf(stderr, " %d", lock_take_name(name));
    rmdir("sub");
    exit(0);
}

TEST_F(FileLayer, HoldsATakesNameUnderEverySpellingOfItsDirectory) {
    EXPECT_EXIT(lock_take_spellings(directory), ::testing::ExitedWithCode(0), "^0 1 1 1 0 0$");
}

int no_socket(int, int, int) {
    errno = EMFILE;
    return -1;
}
int address_in_use(int, const struct sockaddr*, socklen_t) {
    errno = EADDRINUSE;
    return -1;
}
int address_refused(int, const struct sockaddr*, socklen_t) {
    errno = EACCES;
    return -1;
}

TEST_F(FileLayer, GoesOnUnguardedWhenTheTakesNameCannotBeHeld) {
    struct Case {
        const char* what;
        void (*fault)(FileSystemCalls*);
        int result; /* what lock_take_name returns */
        int closes; /* sockets closed */
    } cases[] = {
        {"no socket", [](FileSystemCalls* c) { c->make_socket = no_socket; }, 0, 0},
        {"the name is taken", [](FileSystemCalls* c) { c->bind_socket = address_in_use; }, 1, 1},
        {"the name is refused", [](FileSystemCalls* c) { c->bind_socket = address_refused; }, 0, 1},
        {"the directory cannot be told",
         [](FileSystemCalls* c) { c->stat_path = [](const char*, struct stat*) { return -1; }; }, 0,
         0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        c.fault(&file_system_calls);
        closes = 0;
        EXPECT_EQ(lock_take_name((directory + "/take.wav").c_str()), c.result);
        EXPECT_EQ(closes, c.closes);
        file_system_calls = system_file_calls;
        file_system_calls.close_descriptor = counting_close;
    }
}

} // namespace

namespace {

/* The directory the stand-in open was asked for, and the descriptors it synced. */
std::string opened_directory;
int syncs;

int recording_open(const char* path, int flags, mode_t mode) {
    opened_directory = path;
    return open(path, flags, mode);
}
int counting_sync(int fd) {
    syncs++;
    return fsync(fd);
}

} // namespace

TEST_F(FileLayer, SyncsTheDirectoryThatHoldsAPathAndClosesIt) {
    struct Case {
        const char* path;
        const char* directory; /* "": the scratch directory */
        int result;
        int reason;
    } cases[] = {
        {"take-0001.wav", ".", 0, 0},
        {"/take-0001.wav", "/", 0, 0},
        {"", "", 0, 0},
        {"missing/take-0001.wav", "missing", -1, ENOENT},
    };
    file_system_calls.open_path = recording_open;
    file_system_calls.sync_descriptor = counting_sync;
    for (const Case& c : cases) {
        std::string path = c.path[0] ? c.path : directory + "/take-0001.wav";
        opened_directory.clear();
        closes = syncs = 0;
        errno = 0;
        EXPECT_EQ(sync_file_directory(path.c_str()), c.result) << path;
        EXPECT_EQ(opened_directory, c.directory[0] ? c.directory : directory) << path;
        EXPECT_EQ(syncs, c.result == 0 ? 1 : 0) << path;
        EXPECT_EQ(closes, c.result == 0 ? 1 : 0) << path;
        if (c.result != 0) {
            EXPECT_EQ(errno, c.reason) << path;
        }
    }
    file_system_calls.sync_descriptor = [](int) {
        errno = EIO;
        return -1;
    };
    closes = 0;
    EXPECT_EQ(sync_file_directory((directory + "/x.wav").c_str()), -1);
    EXPECT_EQ(errno, EIO);
    EXPECT_EQ(closes, 1);
}
