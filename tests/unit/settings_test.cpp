// Unit tests of the command-line parser and the wave format it derives.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "settings/settings.h"

namespace {

/* Parses the given arguments (without the program name) from the default settings. */
void parse(std::vector<std::string> args) {
    recording_settings = default_settings;
    std::vector<char*> argv{const_cast<char*>("wavtap")};
    for (auto& a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    parse_switches((int)args.size() + 1, argv.data());
}

const RecordingSettings& s = recording_settings;

TEST(ReadSwitchNumber, TakesOnlyAWholeNumberWithinTheSigned32BitRange) {
    struct Case {
        const char* text;
        bool taken;
        int32_t value; /* when taken */
    } cases[] = {
        {"", true, 0},
        {" ", true, 0},
        {"abc", false, 0},
        {"42", true, 42},
        {"  \t42", true, 42},
        {"+7", true, 7},
        {"-3", true, -3},
        {"12x34", false, 0},
        {"48k", false, 0},
        {"44.1", false, 0},
        {"1m", false, 0},
        {"42 ", false, 0},
        {"- 5", false, 0},
        {"-", false, 0},
        {"+", false, 0},
        {"2147483647", true, 2147483647},
        {"-2147483648", true, INT32_MIN},
        {"0002147483647", true, 2147483647},
        {"2147483648", false, 0},
        {"-2147483649", false, 0},
        {"4294967296", false, 0},
        {"4294967297", false, 0},
        {"4294967306", false, 0},
        {"99999999999999999999", false, 0},
    };
    for (const Case& c : cases) {
        int32_t value = -12345;
        EXPECT_EQ(read_switch_number(c.text, &value), c.taken) << '"' << c.text << '"';
        EXPECT_EQ(value, c.taken ? c.value : -12345) << '"' << c.text << '"';
    }
}

TEST(ParseSwitches, LeavesTheDefaultsWithOnlyAFileName) {
    parse({"out.wav"});
    EXPECT_EQ(s.seconds, 5);
    EXPECT_EQ(s.queue_seconds, 5);
    EXPECT_EQ(s.buffers_per_second, 10);
    EXPECT_EQ(s.device_number, 0);
    EXPECT_EQ(s.write_size, 131072);
    EXPECT_EQ(s.sync_seconds, 1);
    EXPECT_EQ(s.prompt, 0);
    EXPECT_EQ(s.quiet, 0);
    EXPECT_EQ(s.bext, 0);
    EXPECT_STREQ(s.output_path, "out.wav");
    EXPECT_EQ(s.format.wFormatTag, 1);
    EXPECT_EQ(s.format.nChannels, 2);
    EXPECT_EQ(s.format.nSamplesPerSec, 44100u);
    EXPECT_EQ(s.format.wBitsPerSample, 16);
    EXPECT_EQ(s.format.nBlockAlign, 4);
    EXPECT_EQ(s.format.nAvgBytesPerSec, 176400u);
    EXPECT_EQ(s.format.cbSize, 0);
}

TEST(ParseSwitches, AppliesEachAcceptedValue) {
    struct Case {
        std::vector<std::string> args;
        int32_t RecordingSettings::*field;
        int32_t expected;
    } cases[] = {
        {{"-s30", "x"}, &RecordingSettings::seconds, 30},
        {{"-S10", "x"}, &RecordingSettings::seconds, 10},
        {{"-s1", "-s9", "x"}, &RecordingSettings::seconds, 9},
        {{"-s60", "-#q60", "x"}, &RecordingSettings::queue_seconds, 60},
        {{"-s9", "-#Q1", "x"}, &RecordingSettings::queue_seconds, 1},
        {{"-#b20", "x"}, &RecordingSettings::buffers_per_second, 20},
        {{"-#b1", "x"}, &RecordingSettings::buffers_per_second, 1},
        {{"-#w1000", "x"}, &RecordingSettings::write_size, 512},
        {{"-#W4096", "x"}, &RecordingSettings::write_size, 4096},
        {{"-#w512", "x"}, &RecordingSettings::write_size, 512},
        {{"-#w1048575", "x"}, &RecordingSettings::write_size, 1048064},
        {{"-#s0", "x"}, &RecordingSettings::sync_seconds, 0},
        {{"-#S3600", "x"}, &RecordingSettings::sync_seconds, 3600},
        {{"-i3", "x"}, &RecordingSettings::device_number, 3},
        {{"-i-7", "x"}, &RecordingSettings::device_number, -7},
        {{"-p7", "x"}, &RecordingSettings::prompt, 1},
        {{"-qx", "x"}, &RecordingSettings::quiet, 1},
        {{"-e", "x"}, &RecordingSettings::bext, 1},
        {{"-E", "x"}, &RecordingSettings::bext, 1},
        {{"-q", "x"}, &RecordingSettings::bext, 0},
        {{"-s2", "-#q10", "x"}, &RecordingSettings::queue_seconds, 2},
        {{"-t3600", "x"}, &RecordingSettings::part_seconds, 3600},
        {{"-t3600", "-a", "x"}, &RecordingSettings::align_parts, 1},
        {{"-A", "-t86400", "x"}, &RecordingSettings::part_seconds, 86400},
        {{"-t1", "-a", "x"}, &RecordingSettings::align_parts, 1},
        {{"-t900", "-U", "x"}, &RecordingSettings::utc, 1},
        {{"-t900", "x"}, &RecordingSettings::align_parts, 0},
        {{"-t60", "-M", "x"}, &RecordingSettings::mark_parts, 1},
        {{"-m", "-t60", "x"}, &RecordingSettings::mark_parts, 1},
        {{"-t60", "x"}, &RecordingSettings::mark_parts, 0},
        {{"-s0", "-T60", "x"}, &RecordingSettings::seconds, 0},
        {{"-t1", "-s0", "x"}, &RecordingSettings::queue_seconds, 5},
        {{"-s3", "-t1", "x"}, &RecordingSettings::queue_seconds, 3},
        {{"-s2147483647", "x"}, &RecordingSettings::seconds, 2147483647},
        {{"-s+7", "x"}, &RecordingSettings::seconds, 7},
        {{"-#w 4096", "x"}, &RecordingSettings::write_size, 4096},
        {{"-t60", "-k1", "x"}, &RecordingSettings::keep_hours, 1},
        {{"-K87600", "-t1", "x"}, &RecordingSettings::keep_hours, 87600},
        {{"-t60", "-k5", "-k24", "x"}, &RecordingSettings::keep_hours, 24},
        {{"-t60", "x"}, &RecordingSettings::keep_hours, 0},
        {{"x"}, &RecordingSettings::silence_level, SILENCE_OFF},
        {{"-d0", "x"}, &RecordingSettings::silence_level, 0},
        {{"-d16", "x"}, &RecordingSettings::silence_seconds, 10},
        {{"-D128:86400", "x"}, &RecordingSettings::silence_level, 128},
        {{"-d3:86400", "x"}, &RecordingSettings::silence_seconds, 86400},
        {{"-d3:1", "x"}, &RecordingSettings::silence_seconds, 1},
        {{"-d3:20", "-d5", "x"}, &RecordingSettings::silence_seconds, 10},
    };
    for (const Case& c : cases) {
        parse(c.args);
        EXPECT_EQ(s.*c.field, c.expected) << c.args[0] << ' ' << c.args[1];
    }
}

TEST(ParseSwitches, SetsTheFormatFromChannelsBitsAndRate) {
    struct Case {
        std::vector<std::string> args;
        WORD channels, bits, block_align;
        DWORD rate, bytes_per_second;
    } cases[] = {
        {{"x"}, 2, 16, 4, 44100, 176400},
        {{"-c1", "-b8", "x"}, 1, 8, 1, 44100, 44100},
        {{"-C1", "-B16", "-f22050", "x"}, 1, 16, 2, 22050, 44100},
        {{"-f1", "x"}, 2, 16, 4, 1, 4},
        {{"-f65535", "x"}, 2, 16, 4, 65535, 262140},
        {{"-f65536", "x"}, 2, 16, 4, 65536, 262144},
        {{"-f96000", "x"}, 2, 16, 4, 96000, 384000},
        {{"-F768000", "-c1", "-b8", "x"}, 1, 8, 1, 768000, 768000},
    };
    for (const Case& c : cases) {
        parse(c.args);
        SCOPED_TRACE(c.args[0]);
        EXPECT_EQ(s.format.nChannels, c.channels);
        EXPECT_EQ(s.format.wBitsPerSample, c.bits);
        EXPECT_EQ(s.format.nBlockAlign, c.block_align);
        EXPECT_EQ(s.format.nSamplesPerSec, c.rate);
        EXPECT_EQ(s.format.nAvgBytesPerSec, c.bytes_per_second);
        EXPECT_EQ(s.format.wFormatTag, WAVE_FORMAT_PCM);
    }
}

TEST(ParseSwitches, MakesTheFormatExtensibleForMoreBitsFloatOrChannels) {
    struct Case {
        std::vector<std::string> args;
        WORD tag, channels, bits, block_align;
        DWORD mask, subformat; /* the sub-format GUID's first field: 1 PCM, 3 float */
    } cases[] = {
        {{"-c2", "-b16", "x"}, WAVE_FORMAT_PCM, 2, 16, 4, 0, 0},
        {{"-c1", "-b24", "x"}, WAVE_FORMAT_EXTENSIBLE, 1, 24, 3, 0x4, 1},
        {{"-c2", "-b32", "x"}, WAVE_FORMAT_EXTENSIBLE, 2, 32, 8, 0x3, 1},
        {{"-c2", "-B32F", "x"}, WAVE_FORMAT_EXTENSIBLE, 2, 32, 8, 0x3, 3},
        {{"-b32f", "-b16", "x"}, WAVE_FORMAT_PCM, 2, 16, 4, 0, 0},
        {{"-c3", "-b8", "x"}, WAVE_FORMAT_EXTENSIBLE, 3, 8, 3, 0x7, 1},
        {{"-c4", "x"}, WAVE_FORMAT_EXTENSIBLE, 4, 16, 8, 0x33, 1},
        {{"-c5", "x"}, WAVE_FORMAT_EXTENSIBLE, 5, 16, 10, 0x37, 1},
        {{"-c6", "-b32f", "x"}, WAVE_FORMAT_EXTENSIBLE, 6, 32, 24, 0x3F, 3},
        {{"-c7", "x"}, WAVE_FORMAT_EXTENSIBLE, 7, 16, 14, 0x13F, 1},
        {{"-c8", "-b24", "x"}, WAVE_FORMAT_EXTENSIBLE, 8, 24, 24, 0x63F, 1},
    };
    for (const Case& c : cases) {
        parse(c.args);
        SCOPED_TRACE(c.args[0] + " " + c.args[1]);
        EXPECT_EQ(s.format.wFormatTag, c.tag);
        EXPECT_EQ(s.format.nChannels, c.channels);
        EXPECT_EQ(s.format.wBitsPerSample, c.bits);
        EXPECT_EQ(s.format.nBlockAlign, c.block_align);
        EXPECT_EQ(s.format.nAvgBytesPerSec, c.block_align * 44100u);
        if (c.tag == WAVE_FORMAT_PCM) {
            EXPECT_EQ(s.format.cbSize, 0);
            continue;
        }
        const WAVEFORMATEXTENSIBLE& ex = s.format_extensible;
        const unsigned char suffix[8] = {0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71};
        EXPECT_EQ(s.format.cbSize, 22);
        EXPECT_EQ(ex.Samples.wValidBitsPerSample, c.bits);
        EXPECT_EQ(ex.dwChannelMask, c.mask);
        EXPECT_EQ(ex.SubFormat.Data1, c.subformat);
        EXPECT_EQ(ex.SubFormat.Data2, 0);
        EXPECT_EQ(ex.SubFormat.Data3, 0x10);
        EXPECT_EQ(memcmp(ex.SubFormat.Data4, suffix, 8), 0);
    }
}

TEST(ParseSwitches, TakesANumberAfterIAsTheDeviceNumberAndAnythingElseAsItsName) {
    struct Case {
        std::vector<std::string> args;
        int32_t number;
        const char* name;
    } cases[] = {
        {{"-i3", "x"}, 3, ""},
        {{"-i", "x"}, 0, ""},
        {{"-i-7", "x"}, -7, ""},
        {{"-i +2", "x"}, 2, ""},
        {{"-ihw:1,0", "x"}, 0, "hw:1,0"},
        {{"-Ipulse", "x"}, 0, "pulse"},
        {{"-i3x", "x"}, 0, "3x"},
        {{"-i-", "x"}, 0, "-"},
        {{"-i2", "-iUSB Audio", "x"}, 0, "USB Audio"},
        {{"-ipulse", "-i2", "x"}, 2, ""},
        {{"-i" + std::string(127, 'n'), "x"}, 0, ""},
    };
    cases[10].name = cases[10].args[0].c_str() + 2;
    for (const Case& c : cases) {
        parse(c.args);
        EXPECT_EQ(s.device_number, c.number) << c.args[0];
        EXPECT_STREQ(s.device_name, c.name) << c.args[0];
    }
}

TEST(ParseSwitches, TakesTheRestOfXAsTheProgramSpacesAndAll) {
    struct Case {
        std::vector<std::string> args;
        const char* program;
    } cases[] = {
        {{"-t60", "-x/usr/bin/hand-on", "x"}, "/usr/bin/hand-on"},
        {{"-X/opt/my tools/on part", "-t60", "x"}, "/opt/my tools/on part"},
        {{"-t60", "-xfirst", "-xsecond", "x"}, "second"},
        {{"-t60", "-x" + std::string(259, 'p'), "x"}, ""},
        {{"-t60", "x"}, ""},
    };
    cases[3].program = cases[3].args[1].c_str() + 2;
    for (const Case& c : cases) {
        parse(c.args);
        EXPECT_STREQ(s.part_command, c.program) << c.args[0];
    }
    EXPECT_EXIT(parse({"-t60", "-x" + std::string(260, 'p'), "x"}), ::testing::ExitedWithCode(255),
                ::testing::HasSubstr("Illegal switch '-xppp"));
}

TEST(ParseSwitches, TakesArgumentsThatStartWithASlashAsFileNames) {
    const char* names[] = {"/srv/takes/interview", "/s30", "/qa.wav", "/?", "/"};
    for (const char* name : names) {
        parse({"-s2", name});
        EXPECT_STREQ(s.output_path, name);
        EXPECT_EQ(s.seconds, 2) << name;
        EXPECT_EQ(s.quiet, 0) << name;
    }
}

TEST(ParseSwitches, TakesLoneDashAndSlashAsFileNames) {
    parse({"-"});
    EXPECT_STREQ(s.output_path, "-");
    parse({"/"});
    EXPECT_STREQ(s.output_path, "/");
}

TEST(ParseSwitches, LetsAnEmptyArgumentLeaveRoomForALaterName) {
    parse({"", "b.wav"});
    EXPECT_STREQ(s.output_path, "b.wav");
}

TEST(ParseSwitches, AcceptsANameOfExactly259Characters) {
    std::string name(259, 'n');
    parse({name});
    EXPECT_EQ(std::string(s.output_path), name);
}

using ParseSwitchesDeathTest = ::testing::Test;

TEST(ParseSwitchesDeathTest, RejectsIllegalSwitchesAndValues) {
    std::string long_name = "-i" + std::string(128, 'n');
    const char* illegal[] = {"-#q0",
                             "-#q61",
                             "-#b0",
                             "-#b21",
                             "-#w511",
                             "-#s-1",
                             "-#s3601",
                             "-s0",
                             "-s-3",
                             "-c9",
                             "-c0",
                             "-b12",
                             "-b0",
                             "-x",
                             "-#",
                             "-#x5",
                             "-zz",
                             "-s4294967296",
                             "-f0",
                             "-f-1",
                             "-f768001",
                             "-f4295063296",
                             "-f",
                             "-fx",
                             "--helpx",
                             "--",
                             "-b16f",
                             "-b24F",
                             "-bf",
                             "-b64",
                             long_name.c_str(),
                             "-t0",
                             "-t-5",
                             "-t",
                             "-f48k",
                             "-f44.1k",
                             "-F44100x",
                             "-s1m",
                             "-s4294967306",
                             "-s2147483648",
                             "-s-",
                             "-c4294967298",
                             "-c2x",
                             "-t4294967297",
                             "-t1.5",
                             "-#q5s",
                             "-#b4294967306",
                             "-#w4294967808",
                             "-#w4096k",
                             "-b16x",
                             "-b32fx",
                             "-b4294967312",
                             "-i4294967299",
                             "-i-2147483649",
                             "-a",
                             "-a1",
                             "-k1",
                             "-K24",
                             "-d129",
                             "-d-1",
                             "-d5:0",
                             "-d5:86401",
                             "-d5:",
                             "-d5:x",
                             "-d5:3:2",
                             "-dx",
                             "-m",
                             "-x/bin/true"};
    for (const char* arg : illegal) {
        std::string message = std::string("Illegal switch '") + arg +
                              "', or bad switch value.\nGet help by starting the program without "
                              "arguments.\n";
        EXPECT_EXIT(parse({arg, "a.wav"}), ::testing::ExitedWithCode(255),
                    ::testing::HasSubstr(message))
            << arg;
    }
    /* A length that wraps to 0 is not a take until stopped. */
    EXPECT_EXIT(parse({"-s4294967296", "-t1", "a.wav"}), ::testing::ExitedWithCode(255),
                ::testing::HasSubstr("Illegal switch '-s4294967296'"));
    /* Aligned parts must divide a day; the -t that does not is named. */
    struct Aligned {
        std::vector<std::string> args;
        const char* named;
    } aligned[] = {
        {{"-t7", "-a", "a.wav"}, "-t7"},
        {{"-a", "-t3601", "a.wav"}, "-t3601"},
        {{"-t60", "-a", "-t86401", "a.wav"}, "-t86401"},
        {{"-t172800", "-a", "a.wav"}, "-t172800"},
        /* The hours kept with parts: 1..87600, a number. */
        {{"-t60", "-k0", "a.wav"}, "-k0"},
        {{"-t60", "-k87601", "a.wav"}, "-k87601"},
        {{"-t60", "-k", "a.wav"}, "-k"},
        {{"-t60", "-k-1", "a.wav"}, "-k-1"},
        {{"-t60", "-k2h", "a.wav"}, "-k2h"},
    };
    for (const Aligned& c : aligned)
        EXPECT_EXIT(parse(c.args), ::testing::ExitedWithCode(255),
                    ::testing::HasSubstr(std::string("Illegal switch '") + c.named + "'"))
            << c.named;
}

TEST(ParseSwitchesDeathTest, RefusesPartsToStandardOutput) {
    EXPECT_EXIT(parse({"-t1", "-"}), ::testing::ExitedWithCode(255),
                ::testing::StrEq("Parts need an output file, not standard output.\n"));
}

TEST(ParseSwitchesDeathTest, EndsWithStatusZeroForHelpVersionAndTheDeviceList) {
    const char* arguments[] = {"--help", "-h", "-H", "--version", "-l", "-L"};
    for (const char* arg : arguments) {
        EXPECT_EXIT(parse({"-s3", arg, "-zz"}), ::testing::ExitedWithCode(0), "") << arg;
        EXPECT_EXIT(parse({"-zz", arg}), ::testing::ExitedWithCode(255),
                    ::testing::HasSubstr("Illegal switch '-zz'"))
            << arg;
    }
    EXPECT_EXIT(parse({"-?", "a.wav"}), ::testing::ExitedWithCode(255), "");
}

TEST(ParseSwitchesDeathTest, FailsOnTheFirstOffendingArgument) {
    EXPECT_EXIT(parse({"-zz", "a.wav", "b.wav"}), ::testing::ExitedWithCode(255),
                ::testing::HasSubstr("Illegal switch '-zz'"));
    EXPECT_EXIT(parse({"a.wav", "b.wav", "-zz"}), ::testing::ExitedWithCode(255),
                ::testing::HasSubstr("Too many file names. Get help by\nstarting the program "
                                     "without arguments.\n"));
}

TEST(ParseSwitchesDeathTest, RefusesANameTooLongToStoreInsteadOfCuttingIt) {
    std::string name(260, 'n');
    EXPECT_EXIT(parse({name}), ::testing::ExitedWithCode(255),
                ::testing::HasSubstr("File name too long: " + name + "\n"));
}

} // namespace
