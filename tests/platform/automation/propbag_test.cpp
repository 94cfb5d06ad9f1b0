#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "platform/automation/propexchange.h"

namespace {

using namespace platform;

bool Mentions(const std::vector<std::string>& issues, const std::string& text) {
    for (const auto& issue : issues) {
        if (issue.find(text) != std::string::npos) return true;
    }
    return false;
}

TEST(PropertyBag, ReadsWhatAPersonWritesAndSkipsWhatItCannotRead) {
    std::vector<std::string> issues;
    PropertyBag bag = PropertyBag::Parse(
        "# saved by hand\n"
        "\n"
        "  Monitor = true  \n"
        "this line has no equals sign\n"
        " = 5\n"
        "Caption = \"a \\\"quoted\\\" text\\nover two lines\"\n"
        "Broken = \"never closed\n"
        "Volume = 0.5\n"
        "monitor = false\n",
        &issues);
    EXPECT_EQ(bag.Size(), 3u);
    ASSERT_NE(bag.Find("MONITOR"), nullptr) << "names compare without case";
    EXPECT_EQ(*bag.Find("Monitor"), "false") << "a name given twice keeps the later value";
    EXPECT_EQ(*bag.Find("Caption"), "a \"quoted\" text\nover two lines");
    EXPECT_EQ(*bag.Find("Volume"), "0.5");
    EXPECT_EQ(bag.Find("Broken"), nullptr);
    EXPECT_EQ(bag.LineOf("Volume"), 8);
    EXPECT_EQ(issues.size(), 4u);
    EXPECT_TRUE(Mentions(issues, "line 4: no '='"));
    EXPECT_TRUE(Mentions(issues, "line 5: the entry has no name"));
    EXPECT_TRUE(Mentions(issues, "line 7: the string has no closing quote"));
    EXPECT_TRUE(Mentions(issues, "line 9: \"monitor\" was already given on line 3"));
}

TEST(PropertyBag, WarningsShowControlCharactersEscapedAndLongValuesCut) {
    const std::string huge(3 << 20, 'v');
    std::vector<std::string> issues;
    PropertyBag bag = PropertyBag::Parse(
        "bell\a and escape\x1B with no equals sign\n"
        "Flag = " +
            huge +
            "\n"
            "Text = \"bad \\q\x07\"\n",
        &issues);
    CPropExchange px(CPropExchange::Mode::Load, &bag, &issues);
    BOOL flag = FALSE;
    PX_Bool(&px, "Flag", flag, FALSE);
    ASSERT_EQ(issues.size(), 3u);
    EXPECT_TRUE(Mentions(issues, "line 1: no '=' in \"bell\\x07 and escape\\x1B with no equals sign\"")) << issues[0];
    EXPECT_TRUE(Mentions(issues, "line 3: unknown escape \\q in a string")) << issues[1];
    EXPECT_TRUE(Mentions(issues, "... (3145728 bytes) is not a boolean")) << issues[2].substr(0, 200);
    for (const std::string& issue : issues) {
        EXPECT_LT(issue.size(), 200u);
        for (const char c : issue) EXPECT_FALSE(static_cast<unsigned char>(c) < 0x20) << issue;
    }
}

TEST(PropertyBag, FilesAreReadWithinABoundAndOnlyWhenRegular) {
    char pattern[] = "/tmp/propbag-files-XXXXXX";
    ASSERT_NE(::mkdtemp(pattern), nullptr);
    const std::string folder = pattern;
    const std::string fifo = folder + "/fifo";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    const std::string big = folder + "/big";
    std::ofstream(big).close();
    ASSERT_EQ(::truncate(big.c_str(), (16 << 20) + 1), 0);
    for (const std::string& path : {std::string("/dev/zero"), fifo, big}) {
        PropertyBag bag;
        std::string error;
        EXPECT_FALSE(PropertyBag::LoadFile(path, bag, nullptr, &error)) << path;
        EXPECT_NE(error.find(path), std::string::npos) << error;
        if (path == big) {
            EXPECT_NE(error.find("16 MiB"), std::string::npos) << error;
        }
    }
    // Saving never replaces what is not a plain file, and says so.
    PropertyBag bag;
    bag.Write("Level", "1");
    std::string error;
    EXPECT_FALSE(bag.SaveFile("/dev/full", "", &error));
    EXPECT_NE(error.find("/dev/full"), std::string::npos) << error;
    struct stat info {};
    ASSERT_EQ(::stat("/dev/full", &info), 0);
    EXPECT_TRUE(S_ISCHR(info.st_mode));
    EXPECT_FALSE(bag.SaveFile(fifo, "", &error));
    ASSERT_EQ(::stat(fifo.c_str(), &info), 0);
    EXPECT_TRUE(S_ISFIFO(info.st_mode));
    std::error_code ignored;
    std::filesystem::remove_all(folder, ignored);
}

TEST(PropertyBag, TextFormRoundTripsAwkwardValues) {
    PropertyBag bag;
    ASSERT_TRUE(bag.Write("Plain", "value"));
    ASSERT_TRUE(bag.Write("Spaces", "  padded  "));
    ASSERT_TRUE(bag.Write("Quote", "\"starts with a quote"));
    ASSERT_TRUE(bag.Write("Lines", "one\ntwo\\three"));
    ASSERT_TRUE(bag.Write("Empty", ""));
    ASSERT_TRUE(bag.Write("Hash", "# not a comment"));
    EXPECT_FALSE(bag.Write("Bad=Name", "x"));
    EXPECT_FALSE(bag.Write("#Comment", "x"));
    EXPECT_FALSE(bag.Write(" Padded", "x"));

    std::vector<std::string> issues;
    PropertyBag back = PropertyBag::Parse(bag.ToText("header line\nsecond"), &issues);
    EXPECT_TRUE(issues.empty()) << issues.front();
    for (const std::string& name : bag.Names()) {
        ASSERT_NE(back.Find(name), nullptr) << name;
        EXPECT_EQ(*back.Find(name), *bag.Find(name)) << name;
    }
    EXPECT_EQ(back.Size(), bag.Size());
}

TEST(PropertyExchange, LoadingTakesDefaultsForMissingAndUnreadableEntries) {
    std::vector<std::string> issues;
    PropertyBag bag = PropertyBag::Parse("Flag = perhaps\nLevel = 0.25\nColour = 0x000000FF\n", &issues);
    CPropExchange px(CPropExchange::Mode::Load, &bag, &issues);
    BOOL flag = TRUE;
    double level = 0, missing = 0;
    OLE_COLOR colour = 0;
    std::int32_t count = 7;
    EXPECT_FALSE(PX_Bool(&px, "Flag", flag, FALSE));
    EXPECT_EQ(flag, FALSE);
    EXPECT_TRUE(Mentions(issues, "line 1: \"Flag\": \"perhaps\" is not a boolean; the default false is used"));
    EXPECT_TRUE(PX_Double(&px, "Level", level, 0.75));
    EXPECT_EQ(level, 0.25);
    EXPECT_TRUE(PX_Double(&px, "Missing", missing, 0.75));
    EXPECT_EQ(missing, 0.75);
    EXPECT_TRUE(PX_Color(&px, "Colour", colour, 0));
    EXPECT_EQ(colour, 0x000000FFu);
    EXPECT_TRUE(PX_Long(&px, "Count", count, -1));
    EXPECT_EQ(count, -1);
}

TEST(PropertyExchange, SavingWritesEveryValueSoThatLoadingGivesItBack) {
    PropertyBag bag;
    {
        CPropExchange px(CPropExchange::Mode::Save, &bag, nullptr);
        DWORD version = 0;
        px.ExchangeVersion(version, 0x00010000, TRUE);
        BOOL flag = TRUE;
        double level = 1.0 / 3.0;
        OLE_COLOR colour = 0x8000000F;
        std::string caption = "two\nlines";
        PX_Bool(&px, "Flag", flag, FALSE);
        PX_Double(&px, "Level", level, 0.0);
        PX_Color(&px, "Colour", colour, 0);
        PX_String(&px, "Caption", caption, "");
    }
    EXPECT_EQ(*bag.Find("_Version"), "1.0");
    std::vector<std::string> issues;
    PropertyBag back = PropertyBag::Parse(bag.ToText(), &issues);
    CPropExchange px(CPropExchange::Mode::Load, &back, &issues);
    BOOL flag = FALSE;
    double level = 0;
    OLE_COLOR colour = 0;
    std::string caption;
    PX_Bool(&px, "Flag", flag, FALSE);
    PX_Double(&px, "Level", level, 0.0);
    PX_Color(&px, "Colour", colour, 0);
    PX_String(&px, "Caption", caption, "");
    EXPECT_TRUE(issues.empty());
    EXPECT_EQ(flag, TRUE);
    EXPECT_EQ(level, 1.0 / 3.0);
    EXPECT_EQ(colour, 0x8000000Fu);
    EXPECT_EQ(caption, "two\nlines");
}

TEST(PropertyExchange, ResetAppliesDefaultsAndCountsAsLoading) {
    CPropExchange px(CPropExchange::Mode::Reset, nullptr, nullptr);
    EXPECT_TRUE(px.IsLoading());
    BOOL flag = TRUE;
    double level = 9;
    PX_Bool(&px, "Flag", flag, FALSE);
    PX_Double(&px, "Level", level, 0.75);
    EXPECT_EQ(flag, FALSE);
    EXPECT_EQ(level, 0.75);
}

TEST(PropertyExchange, VersionStampsAreReadAndNewerOnesReported) {
    struct Case {
        const char* Text;
        DWORD Expected;
        bool Reported;
    };
    for (const Case& c : {Case{"", 0x00010000, false}, Case{"_Version = 1.0\n", 0x00010000, false},
                          Case{"_Version = 65536\n", 0x00010000, false}, Case{"_Version = 0.9\n", 0x00000009, false},
                          Case{"_Version = 2.1\n", 0x00020001, true}, Case{"_Version = one\n", 0x00010000, true}}) {
        std::vector<std::string> issues;
        PropertyBag bag = PropertyBag::Parse(c.Text, &issues);
        CPropExchange px(CPropExchange::Mode::Load, &bag, &issues);
        DWORD version = 0;
        EXPECT_TRUE(px.ExchangeVersion(version, 0x00010000, TRUE)) << c.Text;
        EXPECT_EQ(version, c.Expected) << c.Text;
        EXPECT_EQ(px.GetVersion(), c.Expected) << c.Text;
        EXPECT_EQ(!issues.empty(), c.Reported) << c.Text;
    }
    PropertyBag older = PropertyBag::Parse("_Version = 0.9\n", nullptr);
    CPropExchange strict(CPropExchange::Mode::Load, &older, nullptr);
    DWORD version = 0;
    EXPECT_FALSE(strict.ExchangeVersion(version, 0x00010000, FALSE)) << "without conversion another version is refused";
}

// The saved file takes the permissions the process's creation mask allows,
// whatever the mask is; saving reads the mask without changing it.
TEST(PropertyBag, SavedFilesFollowTheCreationMask) {
    char pattern[] = "/tmp/propbag-mask-XXXXXX";
    ASSERT_NE(::mkdtemp(pattern), nullptr);
    const std::string folder = pattern;
    PropertyBag bag;
    bag.Write("Caption", "masked", true);
    for (const mode_t mask : {mode_t{027}, mode_t{002}}) {
        // A new file each time: one that exists keeps the mode it has.
        const std::string path = folder + "/saved-" + std::to_string(mask);
        const mode_t previous = ::umask(mask);
        std::string error;
        const bool saved = bag.SaveFile(path, "", &error);
        const mode_t during = ::umask(previous);
        EXPECT_TRUE(saved) << error;
        EXPECT_EQ(during, mask);
        struct stat info {};
        EXPECT_EQ(::stat(path.c_str(), &info), 0);
        EXPECT_EQ(info.st_mode & 0777, 0666u & ~mask) << "mask " << mask;
    }
    std::error_code ignored;
    std::filesystem::remove_all(folder, ignored);
}

}  // namespace
