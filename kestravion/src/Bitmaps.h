#pragma once

#include <cstdint>
#include <vector>

// The pictures the module carries, drawn here in code: pixels 0x00RRGGBB,
// rows packed top to bottom, ready for a BitmapResource.
namespace kestravion {

// The button strip, kStripBitmapWidth x kButtonSize: for Play, Pause and
// Stop in turn, the button at rest (raised, grey, a white inner frame around
// a white sign) and then lit (sunken, filled green, yellow or red).
std::vector<std::uint32_t> ButtonStripPixels();

// The toolbox pictures, kToolboxWidth x kToolboxHeight.
inline constexpr int kToolboxWidth = 16;
inline constexpr int kToolboxHeight = 15;
std::vector<std::uint32_t> SourceToolboxPixels();
std::vector<std::uint32_t> ConsumerToolboxPixels();

}  // namespace kestravion
