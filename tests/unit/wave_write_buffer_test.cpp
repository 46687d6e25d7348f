// Unit tests of the staging buffer, watched through a stream that records every write it gets.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "settings/settings.h"
#include "wave/durable_header.h"
#include "wave/write_buffer.h"

namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

/* What the recording stream received: one entry per write call, and all bytes in order. */
struct StreamLog {
    std::vector<size_t> writes;
    std::string bytes;
    size_t accept; /* bytes the stream takes before every write fails */
};

ssize_t log_write(void* cookie, const char* data, size_t size) {
    StreamLog* log = (StreamLog*)cookie;
    log->writes.push_back(size);
    size_t taken = size < log->accept ? size : log->accept;
    log->bytes.append(data, taken);
    log->accept -= taken;
    if (taken < size) errno = ENOSPC;
    return (ssize_t)taken; /* a cookie stream reports an error as 0 bytes written */
}

/* Sets the write buffer up with write_size bytes and an unbuffered recording stream, as
   open_output leaves it. */
void start_output(StreamLog* log, int32_t write_size) {
    recording_settings = default_settings;
    recording_settings.write_size = write_size;
    /* The name as given; the file being written is the output's own path. */
    snprintf(recording_settings.output_path, OUTPUT_PATH_SIZE, "%s", "take");
    snprintf(disk_write_buffer.path, OUTPUT_PATH_SIZE, "%s", "take.wav");
    cookie_io_functions_t io = {};
    io.write = log_write;
    FILE* stream = fopencookie(log, "w", io);
    setvbuf(stream, nullptr, _IONBF, 0);
    disk_write_buffer.buffer = (char*)malloc((size_t)write_size);
    disk_write_buffer.pending = 0;
    disk_write_buffer.stream = stream;
    /* A stream without a file: no header to keep true, whatever an earlier test left. */
    durable_header = DurableHeader();
}

void finish_output() {
    fclose(disk_write_buffer.stream);
    release_output_buffer();
}

std::string pattern(size_t length, char first) {
    std::string bytes(length, '\0');
    for (size_t i = 0; i < length; i++)
        bytes[i] = (char)(first + i % 61);
    return bytes;
}

TEST(BufferedWrite, SendsOnlyFullBuffersAndTheRestAtTheFlush) {
    StreamLog log = {{}, {}, SIZE_MAX};
    start_output(&log, 512);
    std::string header = pattern(44, 'A'), first = pattern(1000, 'a'), second = pattern(1000, '0');
    buffered_write(header.data(), 44);
    EXPECT_THAT(log.writes, IsEmpty());
    buffered_write(first.data(), 1000);
    buffered_write(second.data(), 1000);
    EXPECT_THAT(log.writes, ElementsAre(512, 512, 512));
    EXPECT_EQ(disk_write_buffer.pending, 508);
    flush_output();
    EXPECT_THAT(log.writes, ElementsAre(512, 512, 512, 508));
    EXPECT_EQ(log.bytes, header + first + second);
    finish_output();
}

TEST(BufferedWrite, HoldsAnExactlyFullBufferUntilTheNextByte) {
    StreamLog log = {{}, {}, SIZE_MAX};
    start_output(&log, 512);
    std::string bytes = pattern(513, 'a');
    buffered_write(bytes.data(), 512);
    EXPECT_THAT(log.writes, IsEmpty());
    EXPECT_EQ(disk_write_buffer.pending, 512);
    buffered_write(bytes.data() + 512, 1);
    EXPECT_THAT(log.writes, ElementsAre(512));
    flush_output();
    EXPECT_THAT(log.writes, ElementsAre(512, 1));
    EXPECT_EQ(log.bytes, bytes);
    finish_output();
}

TEST(FlushOutput, MakesNoStreamCallWhenNothingIsPending) {
    StreamLog log = {{}, {}, SIZE_MAX};
    start_output(&log, 512);
    flush_output();
    EXPECT_THAT(log.writes, IsEmpty());
    std::string bytes = pattern(600, 'a');
    buffered_write(bytes.data(), 600);
    flush_output();
    flush_output();
    EXPECT_THAT(log.writes, ElementsAre(512, 88));
    finish_output();
}

/* Appends blocks of the given lengths to a stream that takes only accept bytes, then flushes. */
TEST(SwitchOutput, SendsThePendingBytesToTheFileItLeavesAndTheRestToTheNewOne) {
    StreamLog first = {{}, {}, SIZE_MAX}, second = {{}, {}, SIZE_MAX};
    start_output(&first, 512);
    disk_write_buffer.header_offset = 7;
    cookie_io_functions_t io = {};
    io.write = log_write;
    FILE* next = fopencookie(&second, "w", io);
    setvbuf(next, nullptr, _IONBF, 0);
    std::string before = pattern(600, 'a'), after = pattern(30, '0');
    buffered_write(before.data(), 600);
    switch_output(next, "take-0002.wav");
    EXPECT_EQ(first.bytes, before);
    EXPECT_THAT(first.writes, ElementsAre(512, 88));
    EXPECT_EQ(disk_write_buffer.stream, next);
    EXPECT_EQ(disk_write_buffer.header_offset, 0);
    EXPECT_STREQ(disk_write_buffer.path, "take-0002.wav");
    EXPECT_STREQ(recording_settings.output_path, "take");
    buffered_write(after.data(), 30);
    close_output();
    EXPECT_EQ(second.bytes, after);
    EXPECT_EQ(disk_write_buffer.stream, nullptr);
    release_output_buffer();
}

void write_to_short_stream(size_t accept, std::vector<int32_t> appends) {
    StreamLog log = {{}, {}, accept};
    start_output(&log, 512);
    std::string bytes = pattern(4096, 'a');
    for (int32_t length : appends)
        buffered_write(bytes.data(), length);
    flush_output();
    exit(0);
}

TEST(BufferedWrite, EndsTheProcessOnAShortWrite) {
    struct Case {
        size_t accept;
        std::vector<int32_t> appends;
    } cases[] = {
        {700, {2000}},        /* the second full buffer is cut short */
        {0, {513}},           /* the first full buffer fails at once */
        {100, {10, 10, 110}}, /* the flush is cut short */
        {10, {12}},           /* the flush of a few bytes */
    };
    for (const Case& c : cases)
        EXPECT_EXIT(write_to_short_stream(c.accept, c.appends), ::testing::ExitedWithCode(255),
                    "^Error writing to file: take\\.wav\nNo space left on device\n$")
            << "accepting " << c.accept;
    EXPECT_EXIT(write_to_short_stream(4096, {2000, 2000}), ::testing::ExitedWithCode(0), "^$");
}

} // namespace
