#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

// Folder and text helpers shared by the registry, the property bag and the
// variants. Files themselves are read and written through platform/file.
namespace platform::detail {

// The longest registry or property file read: far beyond any real one, short
// of what a stray device or a wrong file name could make a reader swallow.
inline constexpr std::uint64_t kMaxSettingsFileBytes = 16u << 20;

// Creates a folder and its parents (mode 0700 for new ones). False with `error`.
bool MakeFolders(const std::string& path, std::string* error);

// The text without the white space at either end.
std::string_view Trim(std::string_view text) noexcept;
// "major.minor" (spaces around it allowed), each part 0 to 65535. False for
// anything else, with major and minor unchanged.
bool ParseMajorMinor(std::string_view text, std::uint16_t& major, std::uint16_t& minor) noexcept;

// The text with backslashes, double quotes and control characters escaped
// (\n, \t, \r, \xHH), so that a message shows it on one line as it is.
std::string Escape(std::string_view text);
// A text from a file or a caller, fit for a message: in double quotes, with
// quotes, backslashes and control characters escaped (\n, \t, \r, \xHH), and
// cut after `longest` bytes with "..." and the full length after it.
std::string QuoteExcerpt(std::string_view text, std::size_t longest = 60);

}  // namespace platform::detail
