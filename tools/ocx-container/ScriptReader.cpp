#include "ScriptReader.h"

#include <cctype>
#include <charconv>
#include <cstdint>
#include <istream>
#include <limits>

#include "platform/window/text.h"

using platform::OLE_COLOR;
using platform::Variant;

namespace ocx_container {
namespace {

bool ParseInt(std::string_view text, long long& value) {
    if (text.empty()) return false;
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    return ec == std::errc() && end == text.data() + text.size();
}

bool FitsLong(long long value) {
    return value >= std::numeric_limits<std::int32_t>::min() && value <= std::numeric_limits<std::int32_t>::max();
}

}  // namespace

LineStatus ReadScriptLine(std::istream& in, std::string& line) {
    line.clear();
    bool tooLong = false;
    bool any = false;
    std::streambuf* source = in.rdbuf();
    for (;;) {
        const int c = source ? source->sbumpc() : std::char_traits<char>::eof();
        if (c == std::char_traits<char>::eof()) {
            in.setstate(std::ios::eofbit);
            if (!any) return LineStatus::End;
            break;
        }
        any = true;
        if (c == '\n') break;
        if (tooLong) continue;
        if (line.size() == kMaxLineBytes) {
            tooLong = true;
            line.clear();
            line.shrink_to_fit();
            continue;
        }
        line += static_cast<char>(c);
    }
    return tooLong ? LineStatus::TooLong : LineStatus::Line;
}

bool Tokenize(std::string_view line, std::vector<Token>& tokens, std::string& problem) {
    if (line.find('\0') != std::string_view::npos) {
        problem = "the line holds a NUL character";
        return false;
    }
    std::size_t i = 0;
    while (i < line.size()) {
        if (std::isspace(static_cast<unsigned char>(line[i]))) {
            ++i;
            continue;
        }
        if (line[i] == '#') break;
        Token token;
        if (line[i] == '"') {
            token.Quoted = true;
            ++i;
            bool closed = false;
            while (i < line.size()) {
                char c = line[i++];
                if (c == '"') {
                    closed = true;
                    break;
                }
                if (c == '\\' && i < line.size()) {
                    char escaped = line[i++];
                    token.Text += escaped == 'n' ? '\n' : escaped == 't' ? '\t' : escaped;
                } else {
                    token.Text += c;
                }
            }
            if (!closed) {
                problem = "a quoted text has no closing quote";
                return false;
            }
        } else {
            while (i < line.size() && !std::isspace(static_cast<unsigned char>(line[i]))) {
                token.Text += line[i++];
            }
        }
        if (tokens.size() == kMaxWords) {
            problem = "more than " + std::to_string(kMaxWords) + " words on one line";
            return false;
        }
        tokens.push_back(std::move(token));
    }
    return true;
}

Variant Literal(const Token& token) {
    if (token.Quoted) return Variant(token.Text);
    if (platform::EqualsNoCase(token.Text, "true")) return Variant(true);
    if (platform::EqualsNoCase(token.Text, "false")) return Variant(false);
    std::string_view digits = token.Text;
    bool negative = !digits.empty() && (digits.front() == '-' || digits.front() == '+');
    if (negative) digits.remove_prefix(1);
    if (digits.size() > 2 && digits[0] == '0' && (digits[1] == 'x' || digits[1] == 'X')) {
        unsigned long long hex = 0;
        auto body = digits.substr(2);
        auto [end, ec] = std::from_chars(body.data(), body.data() + body.size(), hex, 16);
        if (ec == std::errc() && end == body.data() + body.size()) {
            bool minus = token.Text.front() == '-';
            if (!minus && hex > 0x7FFFFFFFull && hex <= 0xFFFFFFFFull) {
                return Variant::MakeColor(static_cast<OLE_COLOR>(hex));  // colours are written so
            }
            if (hex <= 0x80000000ull) {
                long long value = minus ? -static_cast<long long>(hex) : static_cast<long long>(hex);
                if (FitsLong(value)) return Variant(static_cast<std::int32_t>(value));
            }
            return Variant(minus ? -static_cast<double>(hex) : static_cast<double>(hex));
        }
    }
    long long integer = 0;
    std::string_view whole = token.Text;
    if (!whole.empty() && whole.front() == '+') whole.remove_prefix(1);
    if (ParseInt(whole, integer)) {
        if (FitsLong(integer)) return Variant(static_cast<std::int32_t>(integer));
        return Variant(static_cast<double>(integer));
    }
    double real = 0;
    auto [end, ec] = std::from_chars(whole.data(), whole.data() + whole.size(), real);
    if (!whole.empty() && ec == std::errc() && end == whole.data() + whole.size()) return Variant(real);
    return Variant(token.Text);
}

bool ParseCount(std::string_view text, int low, int high, int& value) {
    long long parsed = 0;
    if (!ParseInt(text, parsed) || parsed < low || parsed > high) return false;
    value = static_cast<int>(parsed);
    return true;
}

}  // namespace ocx_container
