#pragma once

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "platform/automation/container.h"
#include "platform/window/window.h"

// Everything kestravion-play does with windows, in one place: the host
// window the controls live in, where each control goes, pumping, waiting for
// the pictures and writing the snapshot. The window is drawn off screen (the
// window layer's headless backend).
namespace kestravion_play {

class PlayerWindow {
public:
    // A window for the button strip and `streams` displays of the default
    // size; nullptr with `why` set when it cannot be made.
    static std::unique_ptr<PlayerWindow> Create(std::size_t streams, std::string& why);
    ~PlayerWindow();
    PlayerWindow(const PlayerWindow&) = delete;
    PlayerWindow& operator=(const PlayerWindow&) = delete;

    platform::HWND Handle() const noexcept { return Window; }

    // Where the source control's strip goes, and display `index` before the
    // pictures' sizes are known.
    platform::RECT StripPlace() const noexcept;
    platform::RECT DisplayPlace(std::size_t index) const noexcept;

    // Lays the displays out in a grid of cells as large as the largest
    // picture, and fits the window around them. Displays with a picture keep
    // their size; those without one (a file without video) fill their cell.
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
    explicit PlayerWindow(platform::HWND window, std::size_t streams) : Window(window), Streams(streams) {}

    platform::HWND Window;
    std::size_t Streams;
};

}  // namespace kestravion_play
