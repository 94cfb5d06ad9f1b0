#pragma once

#include <cstdint>
#include <string>
#include <string_view>

// File and text helpers shared by the registry and the property bag.
namespace platform::detail {

// Reads a whole file. False with `error` naming the file and the reason.
bool ReadWholeFile(const std::string& path, std::string& content, std::string* error);

// Writes `content` to a new temporary file in the same folder, flushes it to
// disk and renames it over `path`: readers see the old file or the new one,
// never a part. The folder must exist. False with `error` set; the temporary
// file is removed on failure.
bool WriteFileAtomically(const std::string& path, std::string_view content, std::string* error);

// Creates a folder and its parents (mode 0700 for new ones). False with `error`.
bool MakeFolders(const std::string& path, std::string* error);

// The text without the white space at either end.
std::string_view Trim(std::string_view text) noexcept;
// "major.minor" (spaces around it allowed), each part 0 to 65535. False for
// anything else, with major and minor unchanged.
bool ParseMajorMinor(std::string_view text, std::uint16_t& major, std::uint16_t& minor) noexcept;

}  // namespace platform::detail
