// Unit tests of output preparation on the fault paths of the file system, made to happen by
// replacing the system calls behind the file services.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <algorithm>
#include <cstdlib>
#include <string>
#include <vector>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/posix/file_posix.h"
#include "settings/settings.h"
#include "wave/output_file.h"
#include "wave/wave_header.h"
#include "wave/write_buffer.h"
#include "scratch_directory.h"

namespace {

const uint32_t default_length = 882044; /* 5 s of 44100 Hz 16-bit stereo and the header */

class OpenOutput : public ::testing::Test {
  protected:
    void SetUp() override {
        directory = make_scratch_directory();
        ASSERT_FALSE(directory.empty());
        path = directory + "/out.wav";
        recording_settings = default_settings;
        derive_wave_format();
        snprintf(recording_settings.output_path, OUTPUT_PATH_SIZE, "%s", path.c_str());
    }
    void TearDown() override {
        file_system_calls = system_file_calls;
        unlink(path.c_str());
        rmdir(directory.c_str());
    }
    /* Leaves a file of size bytes at the output path. */
    void make_file(off_t size) {
        FILE* f = fopen(path.c_str(), "wb");
        ASSERT_NE(f, nullptr);
        ASSERT_EQ(ftruncate(fileno(f), size), 0);
        fclose(f);
    }
    off_t file_size() {
        struct stat status;
        return stat(path.c_str(), &status) == 0 ? status.st_size : -1;
    }
    std::string directory;
    std::string path;
};

int no_room(int, off_t, off_t) {
    return ENOSPC;
}
int io_error(int, off_t, off_t) {
    return EIO;
}
int not_supported(int, off_t, off_t) {
    return EOPNOTSUPP;
}
int invalid(int, off_t, off_t) {
    return EINVAL;
}
int failing_truncate(int, off_t) {
    errno = EIO;
    return -1;
}
int failing_seek(FILE*, off_t, int) {
    errno = EIO;
    return -1;
}
/* Seeks anywhere but to the start. */
int failing_rewind(FILE* stream, off_t offset, int whence) {
    if (offset == 0) return failing_seek(stream, offset, whence);
    return fseeko(stream, offset, whence);
}
off_t wrong_position(FILE* stream) {
    return ftello(stream) + 1;
}
int failing_fstat(int, struct stat*) {
    errno = EIO;
    return -1;
}
ssize_t failing_write_at(int, const void*, size_t, off_t) {
    errno = ENOSPC;
    return -1;
}
int failing_sync(int) {
    errno = EIO;
    return -1;
}
int zero_io_error(int, off_t, off_t) {
    errno = EIO;
    return -1;
}
int zero_not_supported(int, off_t, off_t) {
    errno = EOPNOTSUPP;
    return -1;
}

/* Puts one failing call in place, prepares the output and ends the process. */
void open_with(FileSystemCalls calls) {
    file_system_calls = calls;
    open_output();
    exit(0);
}

TEST_F(OpenOutput, ReportsEachFailureToSizeOrReserveTheFile) {
    struct Case {
        const char* what;
        off_t existing; /* -1: no file */
        void (*fault)(FileSystemCalls*);
        const char* reason; /* the third line: the system's reason */
    } cases[] = {
        {"no room to reserve a new file", -1, [](FileSystemCalls* c) { c->allocate = no_room; },
         "No space left on device"},
        {"no room to reserve a reused file", default_length,
         [](FileSystemCalls* c) { c->allocate = no_room; }, "No space left on device"},
        {"the reservation fails otherwise", 100, [](FileSystemCalls* c) { c->allocate = io_error; },
         "Input/output error"},
        {"the file's status is unknown", 100,
         [](FileSystemCalls* c) { c->stat_descriptor = failing_fstat; }, "Input/output error"},
        {"the cut-back fails", 10000000,
         [](FileSystemCalls* c) { c->truncate_descriptor = failing_truncate; },
         "Input/output error"},
        {"the seek to the last byte fails", 0, [](FileSystemCalls* c) { c->seek = failing_seek; },
         "Input/output error"},
        {"the grown file ends elsewhere", 100, [](FileSystemCalls* c) { c->tell = wrong_position; },
         "Input/output error"},
        {"the rewind of a file of the right size fails", default_length,
         [](FileSystemCalls* c) { c->seek = failing_rewind; }, "Input/output error"},
        {"the rewind after the cut-back fails", 10000000,
         [](FileSystemCalls* c) { c->seek = failing_rewind; }, "Input/output error"},
        {"the empty header cannot be written", -1,
         [](FileSystemCalls* c) { c->write_at = failing_write_at; }, "No space left on device"},
        {"the empty header over an old file cannot be synced", 100,
         [](FileSystemCalls* c) { c->sync_data = failing_sync; }, "Input/output error"},
        {"the earlier take cannot be zeroed", 10000000,
         [](FileSystemCalls* c) { c->zero_range = zero_io_error; }, "Input/output error"},
    };
    for (const Case& c : cases) {
        unlink(path.c_str());
        if (c.existing >= 0) make_file(c.existing);
        FileSystemCalls calls = system_file_calls;
        c.fault(&calls);
        const std::string message = "^Error initialzing output: " + path +
                                    "\nCould be bad drive, bad file name, or disk full.\n" +
                                    c.reason + "\n$";
        EXPECT_EXIT(open_with(calls), ::testing::ExitedWithCode(255), message) << c.what;
    }
}

TEST_F(OpenOutput, CarriesOnWhereTheFileSystemCannotReserve) {
    int (*answers[])(int, off_t, off_t) = {not_supported, invalid};
    for (auto answer : answers) {
        unlink(path.c_str());
        file_system_calls.allocate = answer;
        open_output();
        EXPECT_EQ(file_size(), (off_t)default_length);
        EXPECT_EQ(ftello(disk_write_buffer.stream), 0);
        EXPECT_EQ(disk_write_buffer.pending, 44);
        fclose(disk_write_buffer.stream);
        release_output_buffer();
    }
}

TEST_F(OpenOutput, NamesTheFileItWritesAndLeavesTheNameAsGiven) {
    const std::string given = directory + "/out";
    snprintf(recording_settings.output_path, OUTPUT_PATH_SIZE, "%s", given.c_str());
    open_output();
    EXPECT_STREQ(disk_write_buffer.path, path.c_str());
    EXPECT_STREQ(recording_settings.output_path, given.c_str());
    EXPECT_EQ(file_size(), (off_t)default_length);
    fclose(disk_write_buffer.stream);
    release_output_buffer();
}

TEST_F(OpenOutput, PutsTheEmptyHeaderFirstAndZeroesAnEarlierTakeWhereItCan) {
    struct Case {
        off_t existing;
        int (*zero)(int, off_t, off_t);
        bool zeroed; /* the earlier take's bytes read as zeros */
    } cases[] = {
        {10000000, system_file_calls.zero_range, true},
        {1000, system_file_calls.zero_range, true},
        {10000000, zero_not_supported, false},
    };
    for (const Case& c : cases) {
        FILE* f = fopen(path.c_str(), "wb");
        ASSERT_NE(f, nullptr);
        std::string old((size_t)c.existing, '\x5a');
        ASSERT_EQ(fwrite(old.data(), 1, old.size(), f), old.size());
        fclose(f);
        file_system_calls.zero_range = c.zero;
        open_output();
        fclose(disk_write_buffer.stream);
        release_output_buffer();
        f = fopen(path.c_str(), "rb");
        ASSERT_NE(f, nullptr);
        std::string bytes(default_length, '\0');
        ASSERT_EQ(fread(&bytes[0], 1, bytes.size(), f), bytes.size());
        fclose(f);
        EXPECT_EQ(bytes.substr(0, 4), "RIFF") << c.existing;
        EXPECT_EQ(bytes.substr(36, 8), std::string("data\0\0\0\0", 8)) << c.existing;
        size_t kept = std::min((size_t)c.existing, (size_t)default_length);
        size_t left = std::count(bytes.begin() + 44, bytes.begin() + (long)kept, '\x5a');
        EXPECT_EQ(left, c.zeroed ? 0 : kept - 44) << c.existing;
        unlink(path.c_str());
    }
}

TEST_F(OpenOutput, MeasuresAndCutsBackFilesOf2GiBAndMore) {
    /* Sparse files just past 2 GiB and 4 GiB: read as 32-bit sizes they would look negative or
       100 bytes long. */
    const off_t sizes[] = {(off_t)0x80000064, (off_t)0x100000064};
    for (off_t size : sizes) {
        make_file(size);
        open_output();
        EXPECT_EQ(file_size(), (off_t)default_length) << size;
        fclose(disk_write_buffer.stream);
        release_output_buffer();
    }
}

/* The sizes preparation asks of the system: every seek, and the reservation. */
struct AskedSizes {
    std::vector<off_t> seeks;
    std::vector<off_t> reservations;
};
AskedSizes asked;

int recording_seek(FILE* stream, off_t offset, int whence) {
    asked.seeks.push_back(offset);
    return fseeko(stream, offset, whence);
}
int recording_allocate(int, off_t offset, off_t length) {
    asked.reservations.push_back(offset + length);
    return 0;
}

/* Mono 8-bit at rate for seconds: the data size is rate * seconds. */
void set_mono_8_bit(uint16_t rate, int32_t seconds) {
    recording_settings.format.nChannels = 1;
    recording_settings.format.wBitsPerSample = 8;
    recording_settings.format.nSamplesPerSec = rate;
    recording_settings.seconds = seconds;
    recording_settings.queue_seconds = 1;
    derive_wave_format();
}

/* The 32-bit RIFF size field of the staged header. */
uint32_t staged_riff_size() {
    const unsigned char* p = (const unsigned char*)disk_write_buffer.buffer + 4;
    return (uint32_t)p[0] | (uint32_t)p[1] << 8 | (uint32_t)p[2] << 16 | (uint32_t)p[3] << 24;
}

TEST_F(OpenOutput, PreparesTheTrueLengthOnBothSidesOfTheRiffLimit) {
    /* Data sizes around 4 GiB, as sparse files whose reservation is only asked for. Up to a RIFF
       size (data + 36) of 0xFFFFFFFE the file is plain RIFF, even when its length passes 2^32
       (the lengths that once wrapped to a few bytes in 32 bits); one step more (0xFFFFFFFE
       itself cannot be reached: data / 2 is prime) and it is RF64 with an 80-byte header. */
    struct Case {
        uint16_t rate;
        int32_t seconds;
        const char* kind;
        uint64_t length;
        uint32_t riff_size;
    } cases[] = {
        {2581, 1664071, "RIFF", 0xFFFFFFFFull, 0xFFFFFFF7u},
        {2812, 1527371, "RIFF", 0x100000000ull, 0xFFFFFFF8u},
        {51989, 82613, "RIFF", 0x100000005ull, 0xFFFFFFFDu},
        {52987, 81057, "RF64", 4294967259ull + 80, 0xFFFFFFFFu},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.rate);
        unlink(path.c_str());
        asked = AskedSizes();
        set_mono_8_bit(c.rate, c.seconds);
        file_system_calls.seek = recording_seek;
        file_system_calls.allocate = recording_allocate;
        open_output();
        EXPECT_EQ(asked.seeks, (std::vector<off_t>{(off_t)c.length - 1, 0}));
        EXPECT_EQ(asked.reservations, (std::vector<off_t>{(off_t)c.length}));
        EXPECT_EQ(file_size(), (off_t)c.length);
        EXPECT_EQ(std::string(disk_write_buffer.buffer, 4), c.kind);
        EXPECT_EQ(disk_write_buffer.pending, c.kind[1] == 'F' ? 80 : 44);
        /* The staged header counts no audio yet; the one for the full take has the true size. */
        const uint32_t header_size = (uint32_t)disk_write_buffer.pending;
        EXPECT_EQ(staged_riff_size(), c.kind[1] == 'F' ? 0xFFFFFFFFu : header_size - 8);
        unsigned char full[WAVE_HEADER_SIZE_MAX];
        ASSERT_EQ(wave_header_image(c.length - header_size, full), header_size);
        EXPECT_EQ(std::string((const char*)full, 4), c.kind);
        EXPECT_EQ((uint32_t)full[4] | (uint32_t)full[5] << 8 | (uint32_t)full[6] << 16 |
                      (uint32_t)full[7] << 24,
                  c.riff_size);
        fclose(disk_write_buffer.stream);
        release_output_buffer();
    }
}

TEST_F(OpenOutput, RefusesOnlyABufferCountBeyond32BitsBeforeAnythingIsOpened) {
    struct Case {
        int32_t seconds;
        int32_t per_second;
        const char* message;
    } cases[] = {
        {214748365, 10, "214748365 seconds \\(at most 214748364 at 10 buffers/sec\\)"},
        {107374183, 20, "107374183 seconds \\(at most 107374182 at 20 buffers/sec\\)"},
    };
    for (const Case& c : cases) {
        set_mono_8_bit(8000, c.seconds);
        recording_settings.buffers_per_second = c.per_second;
        const std::string message =
            std::string("^Recording too long for a wave file: ") + c.message + "\n$";
        EXPECT_EXIT(open_output(), ::testing::ExitedWithCode(255), message) << c.seconds;
        EXPECT_EQ(file_size(), -1) << c.seconds;
    }
}

} // namespace
