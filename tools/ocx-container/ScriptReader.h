#pragma once

#include <iosfwd>
#include <string>
#include <string_view>
#include <vector>

#include "platform/automation/variant.h"

// How the test container reads a script line: words, quoted texts and the
// values they stand for.
namespace ocx_container {

// Bounds of one script line: its length, and the words on it.
inline constexpr std::size_t kMaxLineBytes = 1u << 20;
inline constexpr std::size_t kMaxWords = 256;

enum class LineStatus { Line, TooLong, End };

// Reads the next line of a script, without its line break. A line longer
// than kMaxLineBytes is read to its end but not kept (TooLong, line empty);
// End when nothing is left.
LineStatus ReadScriptLine(std::istream& in, std::string& line);

struct Token {
    std::string Text;     // a quoted text without its quotes, escapes resolved
    bool Quoted = false;  // written in double quotes: always a text
};

// Splits a line into words and "quoted texts" (\n, \t, and \ before any other
// character are escapes inside quotes); # outside quotes ends the line. False,
// with problem set, for a quote that is not closed, a NUL character anywhere
// (it would cut a text short), or more than kMaxWords words.
bool Tokenize(std::string_view line, std::vector<Token>& tokens, std::string& problem);

// The value a word is written as: a quoted text is a text; true and false (any
// case) a bool; a whole number a long when 32 bits hold it and a double
// otherwise; 0x80000000 to 0xFFFFFFFF a colour (colours are written so); a
// number with a fraction or an exponent a double; anything else a text.
platform::Variant Literal(const Token& token);

// A whole number from low to high, written in decimal and nothing else.
// False, with value unchanged, for anything else.
bool ParseCount(std::string_view text, int low, int high, int& value);

}  // namespace ocx_container
