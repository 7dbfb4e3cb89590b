#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "record/MakeParentDirs.h"

using namespace kavro;

namespace {

bool IsDir(const std::string& p) {
    struct stat st;
    return stat(p.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool Exists(const std::string& p) {
    struct stat st;
    return stat(p.c_str(), &st) == 0;
}

void Touch(const std::string& p) {
    FILE* f = fopen(p.c_str(), "wb");
    ASSERT_NE(nullptr, f) << p;
    fclose(f);
}

class MakeParentDirsTest : public ::testing::Test {
protected:
    void SetUp() override {
        char tmpl[] = "/tmp/kavro_dirs_XXXXXX";
        ASSERT_NE(nullptr, mkdtemp(tmpl));
        base = tmpl;
        char cwd[4096];
        ASSERT_NE(nullptr, getcwd(cwd, sizeof(cwd)));
        oldCwd = cwd;
    }
    void TearDown() override {
        if (chdir(oldCwd.c_str()) != 0) ADD_FAILURE() << "cannot return to " << oldCwd;
        std::string cmd = "rm -rf '" + base + "'";
        if (system(cmd.c_str()) != 0) ADD_FAILURE() << "cleanup failed";
    }
    std::string base, oldCwd;
};

}  // namespace

TEST_F(MakeParentDirsTest, RefusesPathsWithoutFolder) {
    EXPECT_FALSE(MakeParentDirs(nullptr));
    EXPECT_FALSE(MakeParentDirs(""));
    EXPECT_FALSE(MakeParentDirs("clip.rec"));
}

TEST_F(MakeParentDirsTest, SlashPaths) {
    Touch(base + "/plain");
    struct Case {
        std::string path;
        bool result;
        std::string mustBeDir;
    } cases[] = {
        {base + "/clip.rec", true, base},                        // folder already there
        {base + "/x/y/z/clip.rec", true, base + "/x/y/z"},       // whole chain created
        {base + "/x/y/other.rec", true, base + "/x/y"},          // partly there
        {base + "/plain/clip.rec", false, ""},                   // folder is a file
        {base + "/plain/sub/clip.rec", false, ""},               // creation below a file fails
        {base + "/w\\v/clip.rec", true, base + "/w\\v"},         // '\' is a plain character here
        {base + "//double//clip.rec", true, base + "//double"},  // empty steps are harmless
    };
    for (const Case& c : cases) {
        EXPECT_EQ(c.result, MakeParentDirs(c.path.c_str())) << c.path;
        if (!c.mustBeDir.empty()) {
            EXPECT_TRUE(IsDir(c.mustBeDir)) << c.mustBeDir;
        }
    }
    EXPECT_FALSE(Exists(base + "/plain/sub"));
    EXPECT_FALSE(Exists(base + "/w"));
}

// Without a '/' the backslash separates; on this system the folders are literal names
// containing backslashes, and the leading drive part is taken to exist.
TEST_F(MakeParentDirsTest, BackslashPathsCreateEachPrefix) {
    ASSERT_EQ(0, chdir(base.c_str()));
    EXPECT_TRUE(MakeParentDirs("D:\\rec\\cam1\\clip.rec"));
    EXPECT_TRUE(IsDir(base + "/D:\\rec"));
    EXPECT_TRUE(IsDir(base + "/D:\\rec\\cam1"));
    EXPECT_FALSE(Exists(base + "/D:"));
    // Existing folder: nothing to do.
    EXPECT_TRUE(MakeParentDirs("D:\\rec\\cam1\\second.rec"));
    // A path starting with the separator has an empty folder, which never exists.
    EXPECT_FALSE(MakeParentDirs("\\clip.rec"));
}

TEST_F(MakeParentDirsTest, MixedSeparatorsSplitOnlyAtSlash) {
    ASSERT_EQ(0, chdir(base.c_str()));
    // "a\b" is one name and, as the first part, is taken to exist: creating "a\b/c" fails.
    EXPECT_FALSE(MakeParentDirs("a\\b/c/clip.rec"));
    ASSERT_EQ(0, mkdir("a\\b", 0777));
    EXPECT_TRUE(MakeParentDirs("a\\b/c/clip.rec"));
    EXPECT_TRUE(IsDir(base + "/a\\b/c"));
    EXPECT_FALSE(Exists(base + "/a"));
}
