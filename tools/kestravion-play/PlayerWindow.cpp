#include "PlayerWindow.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <mutex>
#include <thread>

#include "kestravion/KestravionIds.h"
#include "platform/window/host.h"

namespace kestravion_play {

using namespace platform;

namespace {

constexpr int kMargin = 8;
constexpr SIZE kDefaultDisplay{320, 240};
constexpr auto kPollStep = std::chrono::milliseconds(5);
constexpr LONG kMinimumCell = 16;
constexpr const char* kWindowClass = "KestravionPlayWindow";

// Columns of the grid: as many as rows, or one more.
std::size_t Columns(std::size_t count) {
    return std::max<std::size_t>(1, static_cast<std::size_t>(std::ceil(std::sqrt(static_cast<double>(count)))));
}

POINT CellOrigin(std::size_t index, std::size_t count, SIZE cell) {
    const std::size_t columns = Columns(count);
    const LONG column = static_cast<LONG>(index % columns);
    const LONG row = static_cast<LONG>(index / columns);
    return POINT{kMargin + column * (cell.cx + kMargin),
                 2 * kMargin + kestravion::kButtonSize + row * (cell.cy + kMargin)};
}

SIZE WindowSize(std::size_t count, SIZE cell) {
    const LONG columns = static_cast<LONG>(Columns(count));
    const LONG rows = static_cast<LONG>((std::max<std::size_t>(count, 1) + columns - 1) / columns);
    return SIZE{std::max<LONG>(kMargin + columns * (cell.cx + kMargin), 2 * kMargin + kestravion::kStripWidth),
                2 * kMargin + kestravion::kButtonSize + rows * (cell.cy + kMargin)};
}

bool AsksForPaint(HWND window) {
    RECT update{};
    return GetUpdateRect(window, &update, FALSE) != FALSE;
}

// The window and every window inside it, parents first.
void CollectTree(HWND window, std::vector<HWND>& windows) {
    windows.push_back(window);
    for (HWND child = GetWindow(window, GW_CHILD); child; child = GetWindow(child, GW_HWNDNEXT)) {
        CollectTree(child, windows);
    }
}

// The video windows a display holds: its visible children.
std::vector<HWND> VideoWindows(const std::vector<HostedControl*>& displays) {
    std::vector<HWND> windows;
    for (HostedControl* display : displays) {
        for (HWND child = GetWindow(display->Window(), GW_CHILD); child; child = GetWindow(child, GW_HWNDNEXT)) {
            if (IsWindowVisible(child)) windows.push_back(child);
        }
    }
    return windows;
}

}  // namespace

std::unique_ptr<PlayerWindow> PlayerWindow::Create(std::size_t streams, std::uint64_t into, std::string& why) {
    static std::once_flag once;
    std::call_once(once, [] {
        WNDCLASS windowClass{};
        windowClass.lpfnWndProc = &PlayerWindow::Procedure;
        windowClass.lpszClassName = kWindowClass;
        windowClass.hbrBackground = static_cast<HBRUSH>(GetStockObject(WHITE_BRUSH));
        RegisterClass(&windowClass);
    });
    HWND frame = 0;
    if (into != 0) {
        frame = host::AttachForeignWindow(into);
        if (!frame) {
            char id[24];
            std::snprintf(id, sizeof id, "0x%llx", static_cast<unsigned long long>(into));
            why = GetLastError() == ERROR_NOT_SUPPORTED ? std::string("--into needs a display")
                                                        : std::string("there is no X window ") + id + " on the display";
            return nullptr;
        }
    }
    std::unique_ptr<PlayerWindow> player(new PlayerWindow(streams, frame));
    if (frame) {
        RECT client{};
        GetClientRect(frame, &client);
        player->Window = CreateWindowEx(0, kWindowClass, "kestravion-play", WS_CHILD | WS_VISIBLE | WS_CLIPCHILDREN, 0,
                                        0, client.right, client.bottom, frame, nullptr, nullptr, nullptr);
    } else {
        const SIZE size = WindowSize(streams, kDefaultDisplay);
        player->Window = CreateWindowEx(0, kWindowClass, "kestravion-play", WS_OVERLAPPED | WS_VISIBLE, 0, 0, size.cx,
                                        size.cy, 0, nullptr, nullptr, nullptr);
    }
    if (!player->Window) {
        why = "cannot make the player's window";
        return nullptr;
    }
    SetWindowLongPtr(player->Window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(player.get()));
    if (frame) {
        SetWindowLongPtr(frame, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(player.get()));
        SetWindowLongPtr(frame, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(&PlayerWindow::FrameProcedure));
    }
    return player;
}

PlayerWindow::~PlayerWindow() {
    if (IsWindow(Window)) {
        SetWindowLongPtr(Window, GWLP_USERDATA, 0);
        DestroyWindow(Window);
    }
    // Lets go of the other program's window; that window itself stays.
    if (IsWindow(Frame)) {
        SetWindowLongPtr(Frame, GWLP_USERDATA, 0);
        DestroyWindow(Frame);
    }
}

bool PlayerWindow::Open() const noexcept { return IsWindow(Window) != FALSE; }

LRESULT PlayerWindow::Procedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    auto* player = reinterpret_cast<PlayerWindow*>(GetWindowLongPtr(window, GWLP_USERDATA));
    if (player && message == WM_SIZE && !player->Arranging) player->FitToClient();
    if (player && message == WM_DESTROY) SetWindowLongPtr(window, GWLP_USERDATA, 0);
    return DefWindowProc(window, message, wParam, lParam);
}

LRESULT PlayerWindow::FrameProcedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    auto* player = reinterpret_cast<PlayerWindow*>(GetWindowLongPtr(window, GWLP_USERDATA));
    if (player && message == WM_SIZE && IsWindow(player->Window)) {
        SetWindowPos(player->Window, 0, 0, 0, LOWORD(static_cast<std::uintptr_t>(lParam)),
                     HIWORD(static_cast<std::uintptr_t>(lParam)), SWP_NOZORDER);
        return 0;
    }
    return DefWindowProc(window, message, wParam, lParam);
}

RECT PlayerWindow::StripPlace() const noexcept {
    return RECT{kMargin, kMargin, kMargin + kestravion::kStripWidth, kMargin + kestravion::kButtonSize};
}

RECT PlayerWindow::DisplayPlace(std::size_t index) const noexcept {
    const POINT origin = CellOrigin(index, Streams, kDefaultDisplay);
    return RECT{origin.x, origin.y, origin.x + kDefaultDisplay.cx, origin.y + kDefaultDisplay.cy};
}

void PlayerWindow::Arrange(const std::vector<HostedControl*>& displays, const std::vector<bool>& withPicture) {
    Displays = displays;
    std::vector<SIZE> sizes;
    SIZE cell{0, 0};
    for (std::size_t i = 0; i < displays.size(); ++i) {
        RECT client{};
        GetClientRect(displays[i]->Window(), &client);
        sizes.push_back(SIZE{client.right, client.bottom});
        if (withPicture[i]) {
            cell.cx = std::max(cell.cx, client.right);
            cell.cy = std::max(cell.cy, client.bottom);
        }
    }
    if (cell.cx == 0 || cell.cy == 0) cell = kDefaultDisplay;
    Shape = cell;
    if (Frame) {
        FitToClient();
        return;
    }
    for (std::size_t i = 0; i < displays.size(); ++i) {
        const POINT origin = CellOrigin(i, displays.size(), cell);
        const SIZE size = withPicture[i] ? sizes[i] : cell;
        displays[i]->Control()->SetObjectRects(RECT{origin.x, origin.y, origin.x + size.cx, origin.y + size.cy});
    }
    const SIZE size = WindowSize(displays.size(), cell);
    Arranging = true;
    SetWindowPos(Window, 0, 0, 0, size.cx, size.cy, SWP_NOMOVE | SWP_NOZORDER);
    Arranging = false;
}

void PlayerWindow::FitToClient() {
    if (Displays.empty()) return;
    RECT client{};
    GetClientRect(Window, &client);
    const LONG columns = static_cast<LONG>(Columns(Displays.size()));
    const LONG rows = static_cast<LONG>((Displays.size() + columns - 1) / columns);
    const LONG top = 2 * kMargin + kestravion::kButtonSize;
    // The largest cell of the pictures' shape that the grid fits; the
    // smallest still shows a picture, and a smaller window clips the grid.
    const LONG width = std::max<LONG>(kMinimumCell, (client.right - kMargin) / columns - kMargin);
    const LONG height = std::max<LONG>(kMinimumCell, (client.bottom - top) / rows - kMargin);
    const bool wide = static_cast<long long>(width) * Shape.cy <= static_cast<long long>(height) * Shape.cx;
    const SIZE cell = wide ? SIZE{width, std::max<LONG>(kMinimumCell, width * Shape.cy / Shape.cx)}
                           : SIZE{std::max<LONG>(kMinimumCell, height * Shape.cx / Shape.cy), height};
    for (std::size_t i = 0; i < Displays.size(); ++i) {
        if (!Displays[i]->Control() || !IsWindow(Displays[i]->Window())) continue;
        const POINT origin = CellOrigin(i, Displays.size(), cell);
        Displays[i]->Control()->SetObjectRects(RECT{origin.x, origin.y, origin.x + cell.cx, origin.y + cell.cy});
    }
}

bool PlayerWindow::PumpUntil(const std::function<bool()>& done, std::chrono::milliseconds limit) {
    return PumpMessagesUntil(done, limit);
}

bool PlayerWindow::PaintAll(std::chrono::milliseconds limit) {
    return PumpMessagesUntil(
        [this] {
            std::vector<HWND> windows;
            CollectTree(Window, windows);
            return std::none_of(windows.begin(), windows.end(), AsksForPaint);
        },
        limit);
}

void PlayerWindow::AwaitNewPictures(const std::vector<HostedControl*>& displays, std::chrono::milliseconds limit) {
    // Nothing is painted meanwhile: a new frame shows as the renderer's
    // request to repaint its window, which painting would answer and hide.
    const std::vector<HWND> videos = VideoWindows(displays);
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!std::all_of(videos.begin(), videos.end(), AsksForPaint) && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(kPollStep);
    }
    PaintAll(limit);
}

bool PlayerWindow::SavePng(const std::string& path, std::string& why) const {
    const Image picture = host::CaptureWindow(Window);
    if (picture.Empty()) {
        why = "the player's window shows nothing to write";
        return false;
    }
    return picture.SavePng(path, &why);
}

}  // namespace kestravion_play
