#include "fileio.h"

#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <charconv>
#include <cstring>

namespace platform::detail {

namespace {

std::string Reason(int error) { return std::strerror(error); }

}  // namespace

bool MakeFolders(const std::string& path, std::string* error) {
    if (path.empty()) return true;
    std::size_t pos = 0;
    while (pos != std::string::npos) {
        pos = path.find('/', pos + 1);
        std::string part = path.substr(0, pos);
        if (part.empty()) continue;
        if (::mkdir(part.c_str(), 0700) != 0 && errno != EEXIST) {
            if (error) *error = "cannot create the folder " + part + ": " + Reason(errno);
            return false;
        }
    }
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0 || !S_ISDIR(info.st_mode)) {
        if (error) *error = path + " is not a folder";
        return false;
    }
    return true;
}

std::string_view Trim(std::string_view text) noexcept {
    while (!text.empty() && std::isspace(static_cast<unsigned char>(text.front()))) {
        text.remove_prefix(1);
    }
    while (!text.empty() && std::isspace(static_cast<unsigned char>(text.back()))) {
        text.remove_suffix(1);
    }
    return text;
}

bool ParseMajorMinor(std::string_view text, std::uint16_t& major, std::uint16_t& minor) noexcept {
    text = Trim(text);
    const auto dot = text.find('.');
    if (dot == std::string_view::npos) return false;
    const std::string_view parts[2] = {text.substr(0, dot), text.substr(dot + 1)};
    unsigned values[2] = {};
    for (int i = 0; i < 2; ++i) {
        const auto [end, ec] = std::from_chars(parts[i].data(), parts[i].data() + parts[i].size(), values[i]);
        if (parts[i].empty() || ec != std::errc() || end != parts[i].data() + parts[i].size() || values[i] > 0xFFFF)
            return false;
    }
    major = static_cast<std::uint16_t>(values[0]);
    minor = static_cast<std::uint16_t>(values[1]);
    return true;
}

std::string Escape(std::string_view text) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(text.size());
    for (const char ch : text) {
        const auto c = static_cast<unsigned char>(ch);
        switch (c) {
            case '"': out += "\\\""; break;
            case '\\': out += "\\\\"; break;
            case '\n': out += "\\n"; break;
            case '\t': out += "\\t"; break;
            case '\r': out += "\\r"; break;
            default:
                if (c < 0x20 || c == 0x7F) {
                    out += "\\x";
                    out += kHex[c >> 4];
                    out += kHex[c & 15];
                } else {
                    out += ch;
                }
        }
    }
    return out;
}

std::string QuoteExcerpt(std::string_view text, std::size_t longest) {
    std::size_t shown = std::min(text.size(), longest);
    // Never cut inside a UTF-8 sequence: back up to the start of the one cut.
    if (shown < text.size()) {
        while (shown > 0 && (static_cast<unsigned char>(text[shown]) & 0xC0) == 0x80) --shown;
    }
    std::string out = "\"" + Escape(text.substr(0, shown)) + "\"";
    if (shown < text.size()) out += "... (" + std::to_string(text.size()) + " bytes)";
    return out;
}

}  // namespace platform::detail
