#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "control/Scanner.h"
#include "control/TextCursor.h"

using namespace kavro;

TEST(TextCursor, CountLines) {
    struct Case {
        const char* text;
        int lines;
    } cases[] = {
        {"", 0},
        {"a", 1},
        {"a\n", 1},
        {"a\nb", 2},
        {"\n", 1},
        {"\n\n", 2},
        {"CMD:MD MCTP/1.0 CS\n@1@0@1\nEND\n", 3},
        {"CMD:MD MCTP/1.0 CS\n@1@0@1\nEND", 3},
        {"CMD:MD MCTP/1.0 CS\r\n@1@0@1\r\nEND\r\n", 3},
    };
    for (const Case& c : cases) {
        TextCursor cur;
        InitCursor(cur, c.text);
        char line[kLineBufferSize];
        ReadLine(cur, line, sizeof line);  // counting must rewind whatever was read
        EXPECT_EQ(c.lines, CountLines(cur)) << '"' << c.text << '"';
        EXPECT_EQ(0u, cur.position);
        EXPECT_EQ(static_cast<int>(std::string(c.text).size()), cur.length);
    }
    TextCursor none;
    InitCursor(none, nullptr);
    EXPECT_EQ(0, none.length);
    EXPECT_EQ(0, CountLines(none));
}

TEST(TextCursor, ReadLineKeepsLineFeedAndStopsAtEnd) {
    TextCursor cur;
    InitCursor(cur, "CMD:X\n@1@2\nEND");
    char line[kLineBufferSize];
    ASSERT_TRUE(ReadLine(cur, line, sizeof line));
    EXPECT_STREQ("CMD:X\n", line);
    ASSERT_TRUE(ReadLine(cur, line, sizeof line));
    EXPECT_STREQ("@1@2\n", line);
    ASSERT_TRUE(ReadLine(cur, line, sizeof line));
    EXPECT_STREQ("END", line);
    EXPECT_FALSE(ReadLine(cur, line, sizeof line));

    TextCursor none;
    InitCursor(none, nullptr);
    EXPECT_FALSE(ReadLine(none, line, sizeof line));
}

TEST(TextCursor, OverlongLineIsConsumedWholeAndReadsEmpty) {
    // The value of the long line would read as a different number if it were cut.
    std::string text = "@" + std::string(30, '1') + "\n@5@6\n";
    TextCursor cur;
    InitCursor(cur, text.c_str());
    char line[16];
    memset(line, 'x', sizeof line);
    ASSERT_TRUE(ReadLine(cur, line, sizeof line));
    EXPECT_STREQ("", line);
    ASSERT_TRUE(ReadLine(cur, line, sizeof line));
    EXPECT_STREQ("@5@6\n", line);
    EXPECT_FALSE(ReadLine(cur, line, sizeof line));

    // Exactly filling the buffer (15 characters + NUL) still fits.
    TextCursor fit;
    InitCursor(fit, "@12345678901234");
    ASSERT_TRUE(ReadLine(fit, line, sizeof line));
    EXPECT_STREQ("@12345678901234", line);
}

TEST(Scanner, TemplateCases) {
    struct Case {
        const char* text;
        const char* format;
        int count;
        std::vector<int32_t> values;
    } cases[] = {
        {"@1@0@1\n", "@%d@%d@%d\n", 3, {1, 0, 1}},
        {"@1@0@50@60@70@\n", "@%d@%d@%d@%d@%d@\n", 5, {1, 0, 50, 60, 70}},
        {"@-5@+7@ 9", "@%d@%d@%d", 3, {-5, 7, 9}},  // sign and leading blanks
        {"@1@2", "@%d@%d@%d", 2, {1, 2}},           // text ends early
        {"@1@x@3", "@%d@%d@%d", 1, {1}},            // stops at the first mismatch
        {"#1@2", "@%d@%d", 0, {}},                  // literal mismatch before any value
        {"@1@-", "@%d@%d", 1, {1}},                 // sign without digits
        {"", "@%d", 0, {}},                         // empty text
        {"@2147483647@-2147483648", "@%d@%d", 2, {2147483647, INT32_MIN}},
        {"@2147483648@1", "@%d@%d", 0, {}},  // out of range is not converted
        {"@99999999999999999999999", "@%d", 0, {}},
        {"@1 \t\r\n@2", "@%d\n@%d", 2, {1, 2}},  // template blank matches any run
        {"@1@2", "@%d \n@%d", 2, {1, 2}},        // ... also none
        {"5%@6", "%d%%@%d", 2, {5, 6}},          // literal percent
        {"@1@2@3@4@5@6@7@8garbage", "@%d@%d@%d@%d@%d@%d@%d@%d\n", 8, {1, 2, 3, 4, 5, 6, 7, 8}},
    };
    for (const Case& c : cases) {
        int32_t v[8] = {};
        EXPECT_EQ(c.count, ScanValues(c.text, c.format, v, 8)) << c.text << " / " << c.format;
        for (size_t i = 0; i < c.values.size(); ++i) EXPECT_EQ(c.values[i], v[i]) << c.text << " #" << i;
        // Within the 32-bit range the count is the one the C library's scanf gives (EOF read as 0).
        if (std::string(c.text).find("99999") == std::string::npos &&
            std::string(c.text).find("2147483648@") == std::string::npos) {
            int w[8];
            int n = sscanf(c.text, c.format, &w[0], &w[1], &w[2], &w[3], &w[4], &w[5], &w[6], &w[7]);
            EXPECT_EQ(n < 0 ? 0 : n, c.count) << "scanf disagrees on " << c.text;
        }
    }
    int32_t v[2] = {};
    EXPECT_EQ(0, ScanValues("@abc", "@%s", v, 2));  // no other conversion is used on replies
}

TEST(Scanner, NeverWritesPastMaxValues) {
    int32_t v[3] = {0, 0, -1};
    EXPECT_EQ(2, ScanValues("@1@2@3@4", "@%d@%d@%d@%d", v, 2));
    EXPECT_EQ(1, v[0]);
    EXPECT_EQ(2, v[1]);
    EXPECT_EQ(-1, v[2]);
    EXPECT_EQ(0, ScanValues(nullptr, "@%d", v, 3));
    EXPECT_EQ(0, ScanValues("@1", nullptr, v, 3));
}
