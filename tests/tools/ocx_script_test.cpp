#include <gtest/gtest.h>

#include <limits>
#include <ostream>
#include <sstream>
#include <string>
#include <vector>

#include "ScriptReader.h"

using namespace ocx_container;
using platform::Variant;

namespace {

std::vector<Token> Read(std::string_view line) {
    std::vector<Token> tokens;
    std::string problem;
    EXPECT_TRUE(Tokenize(line, tokens, problem)) << problem;
    return tokens;
}

TEST(ScriptTokens, WordsQuotedTextsEscapesAndComments) {
    const auto tokens = Read("  call Echo \"a \\\"b\\\" \\\\ \\n\\t\\x\" bare#word \"\" # the rest is a comment");
    ASSERT_EQ(tokens.size(), 5u);
    EXPECT_EQ(tokens[0].Text, "call");
    EXPECT_FALSE(tokens[0].Quoted);
    EXPECT_EQ(tokens[2].Text, "a \"b\" \\ \n\tx");
    EXPECT_TRUE(tokens[2].Quoted);
    EXPECT_EQ(tokens[3].Text, "bare#word") << "# starts a comment only where a word could start";
    EXPECT_EQ(tokens[4].Text, "");
    EXPECT_TRUE(tokens[4].Quoted) << "an empty quoted text is still a word";
    EXPECT_TRUE(Read("# only a comment").empty());
    EXPECT_TRUE(Read(" \t ").empty());
}

TEST(ScriptTokens, AnUnclosedQuoteIsRefused) {
    for (std::string_view line : {"echo \"open", "echo \"ends in a backslash\\", "\""}) {
        std::vector<Token> tokens;
        std::string problem;
        EXPECT_FALSE(Tokenize(line, tokens, problem)) << line;
        EXPECT_EQ(problem, "a quoted text has no closing quote");
    }
}

TEST(ScriptTokens, ANulOrTooManyWordsAreRefused) {
    std::vector<Token> tokens;
    std::string problem;
    EXPECT_FALSE(Tokenize(std::string_view("call Echo \"cut\0short\"", 21), tokens, problem));
    EXPECT_EQ(problem, "the line holds a NUL character");
    std::string words;
    for (std::size_t i = 0; i < kMaxWords; ++i) words += "w ";
    tokens.clear();
    EXPECT_TRUE(Tokenize(words, tokens, problem)) << problem;
    tokens.clear();
    EXPECT_FALSE(Tokenize(words + "one-more", tokens, problem));
    EXPECT_EQ(problem, "more than 256 words on one line");
}

TEST(ScriptLines, ALineTooLongIsSkippedWholeAndReadingGoesOn) {
    std::istringstream in("first\r\n" + std::string(kMaxLineBytes + 1, 'x') + "\n" + std::string(kMaxLineBytes, 'y') +
                          "\nlast");
    std::string line;
    EXPECT_EQ(ReadScriptLine(in, line), LineStatus::Line);
    EXPECT_EQ(line, "first\r");
    EXPECT_EQ(ReadScriptLine(in, line), LineStatus::TooLong);
    EXPECT_TRUE(line.empty());
    EXPECT_EQ(ReadScriptLine(in, line), LineStatus::Line);
    EXPECT_EQ(line.size(), kMaxLineBytes);
    EXPECT_EQ(ReadScriptLine(in, line), LineStatus::Line);
    EXPECT_EQ(line, "last");
    EXPECT_EQ(ReadScriptLine(in, line), LineStatus::End);
}

struct LiteralCase {
    const char* Name;
    Token Word;
    Variant Expected;
};

void PrintTo(const LiteralCase& c, std::ostream* out) { *out << c.Name; }

class ScriptLiteral : public ::testing::TestWithParam<LiteralCase> {};

TEST_P(ScriptLiteral, IsTypedByHowItIsWritten) {
    const Variant value = Literal(GetParam().Word);
    EXPECT_TRUE(value == GetParam().Expected)
        << GetParam().Word.Text << " read as " << value.ToDisplayString() << " of type " << value.Vt();
}

Token Word(const char* text) { return Token{text, false}; }
Token Quoted(const char* text) { return Token{text, true}; }

const LiteralCase kLiterals[] = {
    {"Decimal", Word("42"), Variant(std::int32_t{42})},
    {"Signed", Word("+12"), Variant(std::int32_t{12})},
    {"Negative", Word("-7"), Variant(std::int32_t{-7})},
    {"LargestLong", Word("2147483647"), Variant(std::int32_t{2147483647})},
    {"AboveALongIsADouble", Word("2147483648"), Variant(2147483648.0)},
    {"SmallestLong", Word("-2147483648"), Variant(std::numeric_limits<std::int32_t>::min())},
    {"BelowALongIsADouble", Word("-2147483649"), Variant(-2147483649.0)},
    {"Hex", Word("0xFF"), Variant(std::int32_t{255})},
    {"HexAnyCase", Word("0X7fffffff"), Variant(std::int32_t{0x7FFFFFFF})},
    {"HexWithTheTopBitIsAColour", Word("0x80000000"), Variant::MakeColor(0x80000000u)},
    {"LargestColour", Word("0xFFFFFFFF"), Variant::MakeColor(0xFFFFFFFFu)},
    {"HexAboveAColourIsADouble", Word("0x100000000"), Variant(4294967296.0)},
    {"NegativeHex", Word("-0x80000000"), Variant(std::numeric_limits<std::int32_t>::min())},
    {"NegativeHexBelowALong", Word("-0x80000001"), Variant(-2147483649.0)},
    {"Fraction", Word("1.5"), Variant(1.5)},
    {"Exponent", Word("-2.5e3"), Variant(-2500.0)},
    {"TrueInAnyCase", Word("TRUE"), Variant(true)},
    {"False", Word("false"), Variant(false)},
    {"QuotedIsAlwaysText", Quoted("42"), Variant("42")},
    {"QuotedTrueIsText", Quoted("true"), Variant("true")},
    {"BareWord", Word("hello"), Variant("hello")},
    {"HalfAHexNumber", Word("0x"), Variant("0x")},
    {"BadHexDigits", Word("0xFG"), Variant("0xFG")},
    {"ASignAlone", Word("-"), Variant("-")},
    {"ANumberNoDoubleHolds", Word("1e999"), Variant("1e999")},
    {"TrailingLetters", Word("12px"), Variant("12px")},
};

INSTANTIATE_TEST_SUITE_P(Script, ScriptLiteral, ::testing::ValuesIn(kLiterals));

TEST(ScriptNumbers, ACountIsADecimalNumberInItsRange) {
    int value = -1;
    EXPECT_TRUE(ParseCount("4096", 1, 4096, value));
    EXPECT_EQ(value, 4096);
    EXPECT_TRUE(ParseCount("-32768", -32768, 32767, value));
    EXPECT_EQ(value, -32768);
    for (std::string_view refused : {"", "0", "4097", "+5", " 5", "5 ", "5x", "0x10", "1.0", "99999999999999999999"}) {
        value = 7;
        EXPECT_FALSE(ParseCount(refused, 1, 4096, value)) << "'" << refused << "'";
        EXPECT_EQ(value, 7) << "a refused count leaves the value";
    }
}

}  // namespace
