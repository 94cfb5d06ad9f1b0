#include <gtest/gtest.h>

#include <ostream>
#include <string>

#include "platform/window/text.h"

using namespace platform;

namespace {

// ---------------------------------------------------------------- UTF-8 in

struct Utf8Case {
    const char* Name;
    std::string Input;
    std::u16string Expected;
};

void PrintTo(const Utf8Case& c, std::ostream* out) { *out << c.Name; }

class Utf8ToUtf16 : public ::testing::TestWithParam<Utf8Case> {};

TEST_P(Utf8ToUtf16, GivesTheCharactersAndOneReplacementPerMalformedSequence) {
    EXPECT_EQ(ToUtf16(GetParam().Input), GetParam().Expected);
}

INSTANTIATE_TEST_SUITE_P(
    Text, Utf8ToUtf16,
    ::testing::Values(
        Utf8Case{"Empty", "", u""},
        Utf8Case{"Ascii", "/media/a.webm", u"/media/a.webm"},
        Utf8Case{"TwoThreeAndFourByteCharacters", "caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x8E\xB5",
                 u"caf\u00E9 \u20AC \U0001F3B5"},
        Utf8Case{"TheLargestCharacterBecomesAPair", "\xF4\x8F\xBF\xBF", u"\xDBFF\xDFFF"},
        Utf8Case{"NoncharactersAreKept", "\xEF\xBF\xBF\xEF\xBF\xBE", u"\xFFFF\xFFFE"},
        Utf8Case{"AStrayContinuationByteOnItsOwn", "a\x80" "b", u"a\uFFFDb"},
        Utf8Case{"BytesThatStartNothing", "\xF8\xFF\xFE", u"\uFFFD\uFFFD\uFFFD"},
        Utf8Case{"ASequenceCutShortByAnAsciiByte", "\xE2\x82" "A", u"\uFFFDA"},
        Utf8Case{"ASequenceCutShortByAnotherLead", "\xE2\xC3\xA9", u"\uFFFD\u00E9"},
        Utf8Case{"ASequenceCutShortByTheEnd", "ok\xF0\x9F\x8E", u"ok\uFFFD"},
        Utf8Case{"OverlongFormsAsAWhole", "\xC0\x80|\xC1\xBF|\xE0\x80\xAF|\xF0\x8F\xBF\xBF",
                 u"\uFFFD|\uFFFD|\uFFFD|\uFFFD"},
        Utf8Case{"AnEncodedSurrogateAsAWhole", "\xED\xA0\x80\xED\xBF\xBF", u"\uFFFD\uFFFD"},
        Utf8Case{"AnEncodedSurrogatePairIsNoPair", "\xED\xA0\xBD\xED\xBE\xB5", u"\uFFFD\uFFFD"},
        Utf8Case{"AboveTheLastCharacterAsAWhole", "\xF4\x90\x80\x80\xF7\xBF\xBF\xBF", u"\uFFFD\uFFFD"},
        Utf8Case{"AnEmbeddedZeroIsACharacter", std::string("a\0b", 3), std::u16string(u"a\0b", 3)}));

// ---------------------------------------------------------------- UTF-16 in

struct Utf16Case {
    const char* Name;
    std::u16string Input;
    std::string Expected;
};

void PrintTo(const Utf16Case& c, std::ostream* out) { *out << c.Name; }

class Utf16ToUtf8 : public ::testing::TestWithParam<Utf16Case> {};

TEST_P(Utf16ToUtf8, JoinsPairsAndReplacesLoneSurrogates) {
    EXPECT_EQ(ToUtf8(GetParam().Input), GetParam().Expected);
}

INSTANTIATE_TEST_SUITE_P(
    Text, Utf16ToUtf8,
    ::testing::Values(
        Utf16Case{"Empty", u"", ""},
        Utf16Case{"OneTwoAndThreeByteCharacters", u"a\u00E9\u20AC\uFFFF", "a\xC3\xA9\xE2\x82\xAC\xEF\xBF\xBF"},
        Utf16Case{"APairBecomesOneFourByteCharacter", u"\xD83C\xDFB5", "\xF0\x9F\x8E\xB5"},
        Utf16Case{"TheLastPair", u"\xDBFF\xDFFF", "\xF4\x8F\xBF\xBF"},
        Utf16Case{"ALoneHighSurrogateBeforeACharacter", u"\xD83C" u"a", "\xEF\xBF\xBD" "a"},
        Utf16Case{"ALoneHighSurrogateAtTheEnd", u"a\xD83C", "a\xEF\xBF\xBD"},
        Utf16Case{"ALoneLowSurrogate", u"\xDFB5" u"a", "\xEF\xBF\xBD" "a"},
        Utf16Case{"LowThenHighIsNoPair", u"\xDFB5\xD83C", "\xEF\xBF\xBD\xEF\xBF\xBD"},
        Utf16Case{"TwoHighsThenALowPairTheSecond", u"\xD83C\xD83C\xDFB5", "\xEF\xBF\xBD\xF0\x9F\x8E\xB5"}));

TEST(TextConversion, EveryCharacterSurvivesTheRoundTripBothWays) {
    for (char32_t c = 0; c <= 0x10FFFF; ++c) {
        if (c >= 0xD800 && c <= 0xDFFF) continue;
        std::u16string wide;
        if (c < 0x10000) {
            wide = std::u16string(1, static_cast<char16_t>(c));
        } else {
            wide = {static_cast<char16_t>(0xD800 + ((c - 0x10000) >> 10)),
                    static_cast<char16_t>(0xDC00 + ((c - 0x10000) & 0x3FF))};
        }
        const std::string narrow = ToUtf8(wide);
        const unsigned code = static_cast<unsigned>(c);
        ASSERT_EQ(narrow.size(), c < 0x80 ? 1u : c < 0x800 ? 2u : c < 0x10000 ? 3u : 4u) << std::hex << code;
        ASSERT_EQ(ToUtf16(narrow), wide) << std::hex << code;
    }
}

TEST(TextConversion, WhatComesOutOfEitherDirectionIsWellFormed) {
    // Any UTF-16 text, lone surrogates included, gives UTF-8 that converts
    // back without a replacement of its own.
    const std::u16string wide = u"x\xD800\xDC00\xDBFF\xD800y\xDFFF\xDC00z";
    const std::u16string back = ToUtf16(ToUtf8(wide));
    EXPECT_EQ(back, u"x\U00010000\uFFFD\uFFFDy\uFFFD\uFFFDz");
    EXPECT_EQ(ToUtf16(ToUtf8(back)), back);
    // Any bytes give UTF-16 without a lone surrogate.
    std::string bytes;
    for (int b = 0; b < 256; ++b) bytes += static_cast<char>(b);
    for (char16_t unit : ToUtf16(bytes)) {
        EXPECT_FALSE(unit >= 0xD800 && unit <= 0xDFFF) << static_cast<unsigned>(unit);
    }
}

// ---------------------------------------------------------------- case

TEST(TextCase, FoldsTheAsciiCapitalsAndNothingElse) {
    EXPECT_EQ(LowerAscii("EngineTestWindow"), "enginetestwindow");
    EXPECT_EQ(LowerAscii("@AZ[`az{"), "@az[`az{");
    // Bytes of multi-byte characters and single bytes above 0x7F stay as
    // they are: "ÄÉ" in UTF-8 and "\xC9" alone.
    EXPECT_EQ(LowerAscii("\xC3\x84\xC3\x89-\xC9"), "\xC3\x84\xC3\x89-\xC9");
    EXPECT_EQ(LowerAscii(std::string_view("A\0B", 3)), std::string("a\0b", 3));
    EXPECT_EQ(LowerAscii(""), "");
}

TEST(TextCase, NamesMatchWithoutCaseOnlyInTheirAsciiLetters) {
    EXPECT_TRUE(EqualsNoCase("SAMPLE.SampleCtrl.1", "sample.samplectrl.1"));
    EXPECT_TRUE(EqualsNoCase("", ""));
    EXPECT_FALSE(EqualsNoCase("Level", "Levels"));
    EXPECT_FALSE(EqualsNoCase("@", "`")) << "neighbours of the letters are not letters";
    EXPECT_FALSE(EqualsNoCase("[", "{"));
    EXPECT_TRUE(EqualsNoCase("caf\xC3\xA9", "CAF\xC3\xA9"));
    EXPECT_FALSE(EqualsNoCase("\xC3\xA9", "\xC3\x89")) << "é and É are different names";
    EXPECT_FALSE(EqualsNoCase("Stra\xC3\x9F" "e", "STRASSE"));
}

}  // namespace
