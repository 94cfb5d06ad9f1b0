#pragma once

#include <optional>
#include <string>

// Which display the script's windows go to. Windows stay off screen (the
// headless backend) until a script asks for a display; then every window of
// the process is a real X window, and controls can be placed inside windows
// other toolkits own (a Tk frame).
namespace ocx {

// Connects to `name` (nullopt or "": $DISPLAY) and sends every window there
// from now on. Only before the first control of the process: its thread's
// hidden window already lives on the backend chosen then. Calling it again
// once a display is in use does nothing. ControlError when the display
// cannot be opened or windows already exist. GIL held.
void UseDisplay(const std::optional<std::string>& name);

// True once UseDisplay has connected.
bool DisplayInUse() noexcept;

}  // namespace ocx
