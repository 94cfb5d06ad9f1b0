#pragma once

#include <string>
#include <string_view>

// Text as this platform keeps it: the controls' "ANSI" strings are UTF-8, the
// media interfaces' wide strings UTF-16. Names that compare without case
// (window classes, members, ProgIDs, registry keys) fold ASCII letters only,
// so the same two names match in every locale and a byte of a multi-byte
// character is never changed.
namespace platform {

// UTF-8 to UTF-16. Each malformed sequence becomes one U+FFFD: a byte that
// starts no sequence (a stray continuation byte, 0xF8 to 0xFF) on its own; a
// sequence cut short, with the continuation bytes it had; a complete one that
// is overlong, encodes a surrogate or lies above U+10FFFF, as a whole.
// Characters above U+FFFF become surrogate pairs.
std::u16string ToUtf16(std::string_view text);

// UTF-16 to UTF-8. A surrogate that is not half of a high-then-low pair
// becomes U+FFFD, so the result is always valid UTF-8.
std::string ToUtf8(std::u16string_view text);

// A copy with the ASCII capitals A to Z made small; every other byte is kept.
std::string LowerAscii(std::string_view text);

// Whether the two are equal once their ASCII letters are folded.
bool EqualsNoCase(std::string_view a, std::string_view b) noexcept;

}  // namespace platform
