// Unit tests of the output path's completion with a default extension.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "platform/path.h"
#include "settings/settings.h"

namespace {

std::string repeat(char c, size_t count) {
    return std::string(count, c);
}

TEST(CompletePathExtension, AddsWavOnlyWhereTheLastComponentHasNoExtension) {
    struct Case {
        std::string path;
        std::string completed;
    } cases[] = {
        {"rec", "rec.wav"},
        {"out.raw", "out.raw"},
        {"rec.", "rec."},
        {"my.dir/rec", "my.dir/rec.wav"},
        {"my.dir\\rec", "my.dir\\rec.wav"},
        {"C:rec", "C:rec.wav"},
        {"C:\\audio\\rec", "C:\\audio\\rec.wav"},
        {"dir/.profile", "dir/.profile"},
        {"a.b\\c.d/rec", "a.b\\c.d/rec.wav"},
        {repeat('n', 255), repeat('n', 255) + ".wav"},                   /* 259 characters fit */
        {"abc/" + repeat('n', 251), "abc/" + repeat('n', 251) + ".wav"}, /* so do these */
        {repeat('d', 254) + "/" + "x.y", repeat('d', 254) + "/x.y"},     /* a 255-character part */
    };
    for (const Case& c : cases) {
        char path[OUTPUT_PATH_SIZE];
        snprintf(path, sizeof path, "%s", c.path.c_str());
        ASSERT_EQ(complete_path_extension(path, sizeof path, ".wav"), 0) << c.path;
        EXPECT_EQ(path, c.completed);
    }
}

TEST(CompletePathExtension, RefusesAPathWhoseLastComponentIsEmptyAndLeavesItAlone) {
    const char* cases[] = {"/", "dir/", "dir\\", "", "C:", "C:\\", "a.b/"};
    for (const char* given : cases) {
        char path[OUTPUT_PATH_SIZE];
        snprintf(path, sizeof path, "%s", given);
        EXPECT_EQ(complete_path_extension(path, sizeof path, ".wav"), 1) << given;
        EXPECT_STREQ(path, given);
    }
}

TEST(CompletePathExtension, RefusesPathsItWouldHaveToCutAndLeavesThemAlone) {
    std::string cases[] = {
        repeat('n', 256),                                /* a name of 256 characters */
        "abcd/" + repeat('n', 251),                      /* 260 characters once completed */
        repeat('d', 255) + "/x",                         /* a directory of 256 characters */
        "x." + repeat('e', 255),                         /* an extension of 256 characters */
        "C:" + repeat('d', 200) + "/" + repeat('n', 56), /* 259 characters without room */
    };
    for (const std::string& given : cases) {
        char path[OUTPUT_PATH_SIZE];
        ASSERT_LT(given.size(), sizeof path);
        snprintf(path, sizeof path, "%s", given.c_str());
        EXPECT_EQ(complete_path_extension(path, sizeof path, ".wav"), -1) << given;
        EXPECT_EQ(path, given);
    }
}

/* The offset a part's counter goes before: the extension that completion sees, so that a name
   completion left alone keeps its extension last. */
TEST(PathExtensionOffset, IsWhereCompletionFindsTheExtension) {
    struct Case {
        const char* path;
        size_t offset;
    } cases[] = {
        {"rec.wav", 3},   {"rec", 3},     {"my.dir/rec", 10}, {"my.dir\\rec", 10}, {"C:rec", 5},
        {"C:rec.wav", 5}, {"rec.x:y", 3}, {"a:b.c:d", 3},     {"dir/.profile", 4}, {"rec-%H.%M", 6},
    };
    EXPECT_EQ(path_extension_offset(""), 0u);
    for (const Case& c : cases) {
        EXPECT_EQ(path_extension_offset(c.path), c.offset) << c.path;
        char path[OUTPUT_PATH_SIZE];
        snprintf(path, sizeof path, "%s", c.path);
        ASSERT_EQ(complete_path_extension(path, sizeof path, ".wav"), 0) << c.path;
        EXPECT_EQ(strcmp(path, c.path) == 0, c.offset < strlen(c.path)) << c.path;
    }
}

} // namespace
