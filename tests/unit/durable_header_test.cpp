// Unit tests of the header kept true on disk: what it may count, when a sync is due, and the order
// of data, syncs and header writes the output makes, watched through the file calls.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <unistd.h>
#include <vector>

#include "platform/posix/file_posix.h"
#include "settings/settings.h"
#include "wave/durable_header.h"
#include "wave/output_file.h"
#include "wave/write_buffer.h"
#include "scratch_directory.h"

namespace {

using ::testing::ElementsAre;

TEST(CountableAudio, CountsTheWholeFramesBeyondTheHeader) {
    struct Case {
        uint16_t channels;
        uint16_t bits;
        uint64_t stream_bytes;
        uint64_t audio;
    } cases[] = {
        {2, 16, 0, 0},           /* nothing written */
        {2, 16, 44, 0},          /* the header alone */
        {2, 16, 47, 0},          /* less than a frame */
        {2, 16, 48, 4},          /* one frame */
        {2, 16, 131072, 131028}, /* the first write of the defaults */
        {2, 16, 131075, 131028}, /* a cut frame is not counted */
        {2, 24, 68 + 13, 12},    /* extensible header, 6-byte frames */
        {1, 8, 44 + 7, 7},
    };
    for (const Case& c : cases) {
        recording_settings = default_settings;
        recording_settings.format.nChannels = c.channels;
        recording_settings.format.wBitsPerSample = c.bits;
        derive_wave_format();
        EXPECT_EQ(countable_audio(c.stream_bytes), c.audio)
            << c.channels << 'x' << c.bits << ' ' << c.stream_bytes;
    }
}

TEST(SyncIsDue, ComesOnceTheIntervalHasPassedAndNeverWithoutOne) {
    struct Case {
        int64_t now_ms;
        int64_t last_ms;
        int32_t interval;
        bool due;
    } cases[] = {
        {1999, 1000, 1, false},    {2000, 1000, 1, true},      {5000, 1000, 1, true},
        {5999, 1000, 5, false},    {6000, 1000, 5, true},      {1000000, 0, 0, false},
        {0, -3600000, 3600, true}, {0, -3599999, 3600, false},
    };
    for (const Case& c : cases)
        EXPECT_EQ(sync_is_due(c.now_ms, c.last_ms, c.interval), c.due)
            << c.now_ms << ' ' << c.last_ms << ' ' << c.interval;
}

/* The calls on the output since the output was opened: "W" for a data write of the stream is not
   seen here (it goes through stdio), "H<n>" a header written for n audio bytes, "S" a sync,
   "T<n>" a cut to n bytes. */
std::vector<std::string> calls;

ssize_t logged_write_at(int fd, const void* bytes, size_t length, off_t offset) {
    const unsigned char* p = (const unsigned char*)bytes;
    uint32_t data_size =
        (uint32_t)p[40] | (uint32_t)p[41] << 8 | (uint32_t)p[42] << 16 | (uint32_t)p[43] << 24;
    calls.push_back("H" + std::to_string(data_size));
    return pwrite(fd, bytes, length, offset);
}
int logged_sync(int fd) {
    calls.push_back("S");
    return fdatasync(fd);
}
int logged_truncate(int fd, off_t length) {
    calls.push_back("T" + std::to_string(length));
    return ftruncate(fd, length);
}
ssize_t failing_write_at(int, const void*, size_t, off_t) {
    errno = EIO;
    return -1;
}
int failing_sync(int) {
    errno = EIO;
    return -1;
}

class DurableOutput : public ::testing::Test {
  protected:
    void SetUp() override {
        directory = make_scratch_directory();
        ASSERT_FALSE(directory.empty());
        path = directory + "/out.wav";
        recording_settings = default_settings;
        recording_settings.write_size = 4096;
        derive_wave_format();
        snprintf(recording_settings.output_path, OUTPUT_PATH_SIZE, "%s", path.c_str());
    }
    void TearDown() override {
        file_system_calls = system_file_calls;
        unlink(path.c_str());
        rmdir(directory.c_str());
    }
    /* Opens the output with every header write, sync and cut logged from then on. */
    void open_logged(int32_t sync_seconds) {
        recording_settings.sync_seconds = sync_seconds;
        open_output();
        file_system_calls.write_at = logged_write_at;
        file_system_calls.sync_data = logged_sync;
        file_system_calls.truncate_descriptor = logged_truncate;
        calls.clear();
    }
    void close_output() {
        fclose(disk_write_buffer.stream);
        release_output_buffer();
    }
    std::string directory;
    std::string path;
};

TEST_F(DurableOutput, CountsEachWriteAtOnceWithoutAnInterval) {
    open_logged(0);
    std::string audio(10000, '\x11');
    buffered_write(audio.data(), 10000); /* two writes of 4096: the header and 8148 bytes */
    EXPECT_THAT(calls, ElementsAre("H4052", "H8148"));
    settle_output();
    EXPECT_THAT(calls, ElementsAre("H4052", "H8148", "H10000", "S", "H10000", "S"));
    close_output();
}

TEST_F(DurableOutput, CountsOnlyWhatASyncMadeDurable) {
    /* The first write is synced at once, the next ones wait for the interval (an hour here). */
    open_logged(3600);
    std::string audio(10000, '\x11');
    buffered_write(audio.data(), 10000);
    EXPECT_THAT(calls, ElementsAre("S", "H4052"));
    settle_output();
    EXPECT_THAT(calls, ElementsAre("S", "H4052", "S", "H10000", "S"));
    close_output();
}

TEST_F(DurableOutput, CutsBackAfterTheSyncAndTheHeader) {
    open_logged(3600);
    std::string audio(10000, '\x11');
    buffered_write(audio.data(), 10000);
    calls.clear();
    rewrite_output_header(9000);
    EXPECT_THAT(calls, ElementsAre("S", "H9000", "T9044", "S"));
    settle_output(); /* the cut-back was the end: nothing more */
    EXPECT_THAT(calls, ElementsAre("S", "H9000", "T9044", "S"));
    close_output();
}

/* Opens the output, puts fault in place and writes until the header is brought up. */
void write_with_fault(const char* path, void (*fault)(FileSystemCalls*)) {
    recording_settings = default_settings;
    recording_settings.write_size = 4096;
    recording_settings.sync_seconds = 1;
    derive_wave_format();
    snprintf(recording_settings.output_path, OUTPUT_PATH_SIZE, "%s", path);
    open_output();
    fault(&file_system_calls);
    std::string audio(10000, '\x11');
    buffered_write(audio.data(), 10000);
    exit(0);
}

TEST_F(DurableOutput, EndsTheProcessWhenTheHeaderOrTheSyncFails) {
    void (*faults[])(FileSystemCalls*) = {
        [](FileSystemCalls* c) { c->write_at = failing_write_at; },
        [](FileSystemCalls* c) { c->sync_data = failing_sync; },
    };
    for (auto fault : faults)
        EXPECT_EXIT(write_with_fault(path.c_str(), fault), ::testing::ExitedWithCode(255),
                    "^Error writing to file: " + path + "\nInput/output error\n$");
}

} // namespace
