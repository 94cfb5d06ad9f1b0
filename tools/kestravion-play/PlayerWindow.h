#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/automation/container.h"
#include "platform/window/window.h"

// Everything kestravion-play does with windows, in one place: the host
// window the controls live in, where each control goes, pumping, waiting for
// the pictures and writing the snapshot. The window is drawn off screen (the
// window layer's headless backend) or shown on a display: a top-level window
// of its own, or a child filling another program's window.
namespace kestravion_play {

class PlayerWindow {
public:
    // A window for the button strip and `streams` displays of the default
    // size; nullptr with `why` set when it cannot be made. With `into` (an X
    // window id of another program, on a display) the window fills that one
    // and follows its size.
    static std::unique_ptr<PlayerWindow> Create(std::size_t streams, std::uint64_t into, std::string& why);
    ~PlayerWindow();
    PlayerWindow(const PlayerWindow&) = delete;
    PlayerWindow& operator=(const PlayerWindow&) = delete;

    platform::HWND Handle() const noexcept { return Window; }
    // False once the window is gone: closed by its user, or taken with the
    // other program's window it lived in.
    bool Open() const noexcept;

    // Where the source control's strip goes, and display `index` before the
    // pictures' sizes are known.
    platform::RECT StripPlace() const noexcept;
    platform::RECT DisplayPlace(std::size_t index) const noexcept;

    // Lays the displays out in a grid of cells as large as the largest
    // picture, and fits the window around them. Displays with a picture keep
    // their size; those without one (a file without video) fill their cell.
    // Inside another program's window, and whenever the window's size changes
    // from outside later, the cells share the window's area instead.
    void Arrange(const std::vector<platform::HostedControl*>& displays, const std::vector<bool>& withPicture);

    // Dispatches this thread's messages for up to `limit`, or until done()
    // holds; done() is checked between messages.
    static bool PumpUntil(const std::function<bool()>& done, std::chrono::milliseconds limit);

    // Paints every window that asks for it; false when some still ask after `limit`.
    bool PaintAll(std::chrono::milliseconds limit);

    // After a seek: waits until the picture in each display has been
    // replaced by a new frame (the display's video window asks to be painted
    // again), up to `limit`, then paints. Displays without video do not count.
    void AwaitNewPictures(const std::vector<platform::HostedControl*>& displays, std::chrono::milliseconds limit);

    // Writes the whole window, the controls and pictures in it, as a PNG file.
    bool SavePng(const std::string& path, std::string& why) const;

private:
    PlayerWindow(std::size_t streams, platform::HWND frame) : Streams(streams), Frame(frame) {}

    static platform::LRESULT Procedure(platform::HWND window, platform::UINT message, platform::WPARAM wParam,
                                       platform::LPARAM lParam);
    static platform::LRESULT FrameProcedure(platform::HWND window, platform::UINT message, platform::WPARAM wParam,
                                            platform::LPARAM lParam);
    // Shares the client area out among the displays, each filling its cell.
    void FitToClient();

    platform::HWND Window = 0;
    std::size_t Streams;
    platform::HWND Frame = 0;  // the stand-in of the other program's window, or 0
    std::vector<platform::HostedControl*> Displays;
    platform::SIZE Shape{320, 240};  // the pictures' cell before fitting: its width to height
    bool Arranging = false;          // our own resize, not one to fit
};

}  // namespace kestravion_play
