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

const Utf8Case kUtf8Cases[] = {
    {"Empty", "", u""},
    {"Ascii", "/media/a.webm", u"/media/a.webm"},
    {"TwoThreeAndFourByteCharacters", "caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x8E\xB5", u"caf\u00E9 \u20AC \U0001F3B5"},
    {"TheLargestCharacterBecomesAPair", "\xF4\x8F\xBF\xBF", u"\xDBFF\xDFFF"},
    {"NoncharactersAreKept", "\xEF\xBF\xBF\xEF\xBF\xBE", u"\xFFFF\xFFFE"},
    {"AStrayContinuationByteOnItsOwn", "a\x80z", u"a\uFFFDz"},
    {"BytesThatStartNothing", "\xF8\xFF\xFE", u"\uFFFD\uFFFD\uFFFD"},
    {"ASequenceCutShortByAnAsciiByte", "\xE2\x82z", u"\uFFFDz"},
    {"ASequenceCutShortByAnotherLead", "\xE2\xC3\xA9", u"\uFFFD\u00E9"},
    {"ASequenceCutShortByTheEnd", "ok\xF0\x9F\x8E", u"ok\uFFFD"},
    {"OverlongFormsAsAWhole", "\xC0\x80|\xC1\xBF|\xE0\x80\xAF|\xF0\x8F\xBF\xBF", u"\uFFFD|\uFFFD|\uFFFD|\uFFFD"},
    {"AnEncodedSurrogateAsAWhole", "\xED\xA0\x80\xED\xBF\xBF", u"\uFFFD\uFFFD"},
    {"AnEncodedSurrogatePairIsNoPair", "\xED\xA0\xBD\xED\xBE\xB5", u"\uFFFD\uFFFD"},
    {"AboveTheLastCharacterAsAWhole", "\xF4\x90\x80\x80\xF7\xBF\xBF\xBF", u"\uFFFD\uFFFD"},
    {"AnEmbeddedZeroIsACharacter", std::string("a\0b", 3), std::u16string(u"a\0b", 3)},
};

INSTANTIATE_TEST_SUITE_P(Text, Utf8ToUtf16, ::testing::ValuesIn(kUtf8Cases));

// ---------------------------------------------------------------- UTF-16 in

struct Utf16Case {
    const char* Name;
    std::u16string Input;
    std::string Expected;
};

void PrintTo(const Utf16Case& c, std::ostream* out) { *out << c.Name; }

class Utf16ToUtf8 : public ::testing::TestWithParam<Utf16Case> {};

TEST_P(Utf16ToUtf8, JoinsPairsAndReplacesLoneSurrogates) { EXPECT_EQ(ToUtf8(GetParam().Input), GetParam().Expected); }

const Utf16Case kUtf16Cases[] = {
    {"Empty", u"", ""},
    {"OneTwoAndThreeByteCharacters", u"a\u00E9\u20AC\uFFFF", "a\xC3\xA9\xE2\x82\xAC\xEF\xBF\xBF"},
    {"APairBecomesOneFourByteCharacter", u"\xD83C\xDFB5", "\xF0\x9F\x8E\xB5"},
    {"TheLastPair", u"\xDBFF\xDFFF", "\xF4\x8F\xBF\xBF"},
    {"ALoneHighSurrogateBeforeACharacter", u"\xD83Cz", "\xEF\xBF\xBDz"},
    {"ALoneHighSurrogateAtTheEnd", u"z\xD83C", "z\xEF\xBF\xBD"},
    {"ALoneLowSurrogate", u"\xDFB5z", "\xEF\xBF\xBDz"},
    {"LowThenHighIsNoPair", u"\xDFB5\xD83C", "\xEF\xBF\xBD\xEF\xBF\xBD"},
    {"TwoHighsThenALowPairTheSecond", u"\xD83C\xD83C\xDFB5", "\xEF\xBF\xBD\xF0\x9F\x8E\xB5"},
};

INSTANTIATE_TEST_SUITE_P(Text, Utf16ToUtf8, ::testing::ValuesIn(kUtf16Cases));

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
    EXPECT_FALSE(EqualsNoCase("stra\u00DFe", "STRASSE")) << "no folding changes a length";
}

}  // namespace
